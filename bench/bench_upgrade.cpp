// A whole firmware upgrade of the 45 KB sample image against the virtual
// loader with its modelled USB and flash timing, on the real clock. Long
// fixed waits are taken out (skip_long_waits_clock.h); host time is then
// compared with the loader's modelled wire time, and includes the RAM
// loader's modelled enumeration (1000 ms), which the upgrade awaits on the port.
#include "skip_long_waits_clock.h"

#include "firmware/upgrade_job.h"
#include "firmware/upgrade_sequence.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "loader/loader_protocol.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/virtual_device.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;

void BM_UpgradeAgainstVirtualLoader(benchmark::State& state)
{
    vardo::bench::SkipLongWaitsClock clock;
    vardo::platform::ScopedClock scoped(clock);
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    double wireMs = 0;
    double hostMs = 0;
    for (auto _ : state) {
        vardo::sim::Bus::instance().reset();
        vardo::sim::VirtualEncoderDevice device;
        vardo::device::EncoderSlot slot;
        if (!slot.rescan() || slot.get()->enterLoader() != vardo::device::Result::Ok) {
            state.SkipWithError("the virtual encoder did not enter its loader");
            break;
        }
        device.loader().resetWireTime();
        vardo::firmware::UpgradeSequence sequence(nullptr);

        const auto start = SteadyClock::now();
        // With the restart and the look for the encoder (nothing is written back: no settings are known).
        const bool ok = sequence.run(image);
        const auto stop = SteadyClock::now();
        if (!ok) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        const double host = std::chrono::duration<double>(stop - start).count();
        state.SetIterationTime(host);
        hostMs += host * 1000;
        // The RAM loader's enumeration is the device's time too, now that it is awaited on the port.
        wireMs += static_cast<double>(device.loader().wireTimeUs()) / 1000
                  + vardo::sim::LoaderTiming{}.ramLoaderStartMs;

        slot.close();
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0) {
        state.counters["host_ms"] = hostMs / n;
        state.counters["wire_ms"] = wireMs / n;
        state.counters["host_over_wire_pct"] = (hostMs / wireMs - 1.0) * 100.0;
    }
    vardo::sim::Bus::instance().reset();
}

// The time from an arrival at atMs to the first report the device received after it.
template <class Records>
double firstReportAfter(const Records& received, std::uint64_t atMs)
{
    for (const auto& r : received)
        if (r.atMs >= atMs)
            return static_cast<double>(r.atMs - atMs);
    return -1;
}

// The whole upgrade of one encoder on its port, as `upgrade` runs it, on the
// real clock with the enumerations the virtual device models (the loader after
// ENTER_BSL, the RAM loader, the application after the restart). Host time is
// compared with the device's own (wire time and enumerations); for each
// arrival, the time until the host's first report to it.
void BM_WholeUpgradeOnItsPort(benchmark::State& state)
{
    namespace fw = vardo::firmware;
    fw::FirmwareImage image;
    if (fw::loadFirmwareImage(std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt", image).result
        != fw::ImageCheck::Ok) {
        state.SkipWithError("no sample image");
        return;
    }
    const fw::LoaderTexts texts = fw::findLoaderTexts().texts;
    double hostMs = 0, deviceMs = 0, loaderMs = 0, ramLoaderMs = 0, encoderMs = 0;
    for (auto _ : state) {
        vardo::sim::Bus::instance().reset();
        vardo::sim::VirtualEncoderDeviceConfig config;
        config.loaderTiming.loaderEntryMs = 500;
        vardo::sim::VirtualEncoderDevice device(config);
        device.encoder().clearReceivedCommands();
        fw::Hooks hooks;
        hooks.keep = [](const vardo::link::DeviceStatus&, std::string& path) {
            path = "bench";
            return true;
        };
        fw::UpgradeJob job(fw::commandPolicy("1-1"), std::move(hooks));
        job.setLoaderTexts(texts);
        device.loader().resetWireTime();

        const auto start = SteadyClock::now();
        const fw::Outcome outcome = job.run(image);
        const auto stop = SteadyClock::now();
        if (!outcome.ok()) {
            state.SkipWithError(fw::describe(outcome).c_str());
            break;
        }
        const double host = std::chrono::duration<double>(stop - start).count();
        state.SetIterationTime(host);
        hostMs += host * 1000;
        const vardo::sim::LoaderTiming t = config.loaderTiming;
        deviceMs += static_cast<double>(device.loader().wireTimeUs()) / 1000 + t.loaderEntryMs
                    + t.ramLoaderStartMs + t.applicationStartMs;
        // The virtual device arrives when the host next looks at the bus, so
        // each arrival is taken as due: its departure plus the modelled delay.
        namespace P = vardo::loader::protocol;
        const auto loaderCommands = device.loader().commands();
        const auto encoderCommands = device.encoder().receivedCommands();
        const auto loaderAt = [&](std::uint8_t command, std::uint32_t address) -> std::uint64_t {
            for (const auto& c : loaderCommands)
                if (c.command == command && (address == 0 || c.address == address))
                    return c.atMs;
            return 0;
        };
        std::uint64_t enteredAt = 0;
        for (const auto& c : encoderCommands)
            if (c.code == vardo::link::ENTER_BSL)
                enteredAt = c.atMs;
        loaderMs += firstReportAfter(loaderCommands, enteredAt + t.loaderEntryMs);
        ramLoaderMs += firstReportAfter(loaderCommands, loaderAt(P::kLoadPc, 0) + t.ramLoaderStartMs);
        // The forced restart: the write to the power control register.
        encoderMs += firstReportAfter(encoderCommands, loaderAt(P::kRxDataBlockFast, vardo::sim::kPowerControl) + t.applicationStartMs);
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0) {
        state.counters["host_ms"] = hostMs / n;
        state.counters["device_ms"] = deviceMs / n;
        state.counters["beyond_device_ms"] = (hostMs - deviceMs) / n;
        state.counters["loader_first_ms"] = loaderMs / n;
        state.counters["ram_loader_first_ms"] = ramLoaderMs / n;
        state.counters["encoder_first_ms"] = encoderMs / n;
    }
    vardo::sim::Bus::instance().reset();
}

} // namespace

BENCHMARK(BM_WholeUpgradeOnItsPort)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_UpgradeAgainstVirtualLoader)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
