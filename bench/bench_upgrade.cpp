// A whole firmware upgrade of the 45 KB sample image against the virtual
// loader with its modelled USB and flash timing, on the real clock. The fixed
// waits of the sequence (3 x 1000 ms, the restart wait) are taken out by a
// clock that skips sleeps of a second or more; host time is then compared
// with the loader's modelled wire time.
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

// Real time, except that sleeps of 1000 ms or more pass at once (and still
// move the clock on, so device timers see them).
class SkipLongWaitsClock final : public vardo::platform::Clock {
public:
    std::uint64_t nowMs() override { return realMs() + skipped_.load(); }
    void sleepMs(std::uint32_t ms) override
    {
        if (ms >= 1000) {
            skipped_ += ms;
            return;
        }
        // Wake at the millisecond boundary the caller asked for, as a wait on
        // the real clock's time point would, so short sleeps do not drift.
        const std::uint64_t until = realMs() + ms;
        std::this_thread::sleep_until(SteadyClock::time_point(std::chrono::milliseconds(until)));
    }

private:
    static std::uint64_t realMs()
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              SteadyClock::now().time_since_epoch())
                                              .count());
    }
    std::atomic<std::uint64_t> skipped_{0};
};

void BM_UpgradeAgainstVirtualLoader(benchmark::State& state)
{
    SkipLongWaitsClock clock;
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
        vardo::firmware::completeUpgrade({}, slot, [](const char*, const std::string&) {});
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
