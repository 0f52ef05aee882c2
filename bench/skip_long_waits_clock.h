#pragma once
// Real time, except that sleeps of 1000 ms or more pass at once: the fixed
// waits of the upgrade (3 x 1000 ms for the RAM loader, the restart wait) are
// taken out and what remains is the modelled USB and flash timing. Each
// thread keeps its own skipped time, so one encoder's skipped wait never
// shortens another's modelled transfer when several upgrade at once.
#include "platform/clock.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace vardo::bench {

class SkipLongWaitsClock final : public platform::Clock {
public:
    std::uint64_t nowMs() override { return realMs() + skipped(); }
    void sleepMs(std::uint32_t ms) override
    {
        if (ms >= 1000) {
            skipped() += ms;
            return;
        }
        // Wake at the millisecond boundary the caller asked for, as a wait on
        // the real clock's time point would, so short sleeps do not drift.
        const std::uint64_t until = realMs() + ms;
        std::this_thread::sleep_until(
            std::chrono::steady_clock::time_point(std::chrono::milliseconds(until)));
    }

private:
    static std::uint64_t& skipped()
    {
        thread_local std::uint64_t ms = 0;
        return ms;
    }
    static std::uint64_t realMs()
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
};

} // namespace vardo::bench
