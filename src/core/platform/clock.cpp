#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace vardo::platform {

std::uint64_t RealClock::nowMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleepMs(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void VirtualClock::sleepMs(std::uint32_t ms)
{
    now_ += ms;
    slept_ += ms;
    // Let other threads run, as a real sleep would.
    std::this_thread::yield();
}

namespace {
RealClock g_realClock;
std::atomic<Clock*> g_clock{&g_realClock};
} // namespace

Clock& clock() { return *g_clock.load(); }

void setClock(Clock* c) { g_clock.store(c ? c : &g_realClock); }

void sleepMs(std::uint32_t ms) { clock().sleepMs(ms); }

std::uint32_t tickCountMs() { return static_cast<std::uint32_t>(clock().nowMs()); }

} // namespace vardo::platform
