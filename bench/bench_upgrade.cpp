// A whole firmware upgrade of the 45 KB sample image against the virtual
// loader with its modelled USB and flash timing, on the real clock. The fixed
// waits of the sequence are taken out (skip_long_waits_clock.h); host time is
// then compared with the loader's modelled wire time.
#include "skip_long_waits_clock.h"

#include "firmware/upgrade_sequence.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
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
        const bool ok = sequence.run(image);
        const auto stop = SteadyClock::now();
        if (!ok) {
            state.SkipWithError("the upgrade failed");
            break;
        }
        const double host = std::chrono::duration<double>(stop - start).count();
        state.SetIterationTime(host);
        hostMs += host * 1000;
        wireMs += static_cast<double>(device.loader().wireTimeUs()) / 1000;

        // The restart and write-back, for completeness; not part of the comparison.
        (void)vardo::firmware::completeUpgrade({}, slot, [](const char*, const std::string&) {});
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

} // namespace

BENCHMARK(BM_UpgradeAgainstVirtualLoader)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
