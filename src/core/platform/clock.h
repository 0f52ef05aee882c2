#pragma once
// Every wait and tick count of the program goes through this clock, so that
// tests can run a 5000 ms time-out or a 6000 ms restart wait in no time.
#include <atomic>
#include <cstdint>

namespace vardo::platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary, fixed start; never goes backwards.
    virtual std::uint64_t nowMs() = 0;
    // Blocks the calling thread for ms milliseconds (a virtual clock returns at once).
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// The monotonic system clock.
class RealClock final : public Clock {
public:
    std::uint64_t nowMs() override;
    void sleepMs(std::uint32_t ms) override;
};

// Test clock: sleeping advances virtual time at once and returns. Safe to use
// from several threads; every sleeper moves the one shared time forward.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint64_t startMs = 1000) : now_(startMs) {}
    std::uint64_t nowMs() override { return now_.load(); }
    void sleepMs(std::uint32_t ms) override;
    void advance(std::uint64_t ms) { now_ += ms; }
    // Sum of all sleep requests, for tests that check waits were made.
    std::uint64_t totalSleptMs() const { return slept_.load(); }

private:
    std::atomic<std::uint64_t> now_;
    std::atomic<std::uint64_t> slept_{0};
};

// The clock in force. Defaults to a RealClock.
Clock& clock();
// Installs c (not owned); nullptr restores the real clock.
void setClock(Clock* c);

// Shorthands for clock().sleepMs / a 32-bit tick count like the system's.
void sleepMs(std::uint32_t ms);
std::uint32_t tickCountMs();

// Installs a clock for the lifetime of the object (tests).
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) { setClock(&c); }
    ~ScopedClock() { setClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

} // namespace vardo::platform
