// Soak: two threads exchange commands with one virtual encoder through the
// shared handle while faults are injected and the encoder is unplugged and
// plugged in again. Every result must be one of the link's codes and exactly
// the one the fault calls for; every reply taken must be the reply to its own
// command (no data for a SET_*, a status whose fields the encoder can hold for
// GET_STATUS). The one exception is counted, not failed: a late reply to a
// command may answer the next exchange of the same command, as frames carry
// no sequence number. Runs on the virtual clock: waits cost no real time.
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vardo;
using link::EncoderCommand;
using sim::EncoderFault;

namespace {

// The one handle that both threads use and the unplugs replace.
hid_device* sharedHandle = nullptr;

// The run's random start; printed so a failing run can be replayed per thread.
constexpr std::uint32_t kRandomStart = 20240611u;
constexpr int kExchangesPerThread = 55000;
// Shorter than the windows' 5000 ms so that a time-out costs 20 polls, not
// 500: the order of replies, not their timing, is under test.
constexpr std::int32_t kTimeoutMs = 200;
// Beyond the time-out: the reply comes after its exchange has given up.
constexpr std::uint32_t kLateBeyondMs = 240;
constexpr std::uint32_t kLateWithinMs = 120;

// One setting a thread owns: only that thread sets it, either thread reads it
// back in a status. `possible` holds the values the encoder may hold now.
struct Setting {
    EncoderCommand command;
    std::size_t statusOffset;
    int maxValue;
    std::uint8_t powerUp;   // what a plug-in restores
    std::uint32_t possible;
};

enum class Planned {
    None,
    Refuse,
    Silence,
    LateWithin,
    LateBeyond,
    BadChecksum,
    BadLength,
    ByteCountTooLarge,
    ShortStatus,
};

const char* plannedName(Planned p)
{
    switch (p) {
    case Planned::None: return "none";
    case Planned::Refuse: return "refusal";
    case Planned::Silence: return "silence";
    case Planned::LateWithin: return "late reply within the time-out";
    case Planned::LateBeyond: return "late reply after the time-out";
    case Planned::BadChecksum: return "bad checksum";
    case Planned::BadLength: return "bad length";
    case Planned::ByteCountTooLarge: return "byte count above 0x40";
    case Planned::ShortStatus: return "short status";
    }
    return "?";
}

std::int32_t expectedResult(Planned p)
{
    switch (p) {
    case Planned::None:
    case Planned::LateWithin:
    case Planned::ShortStatus:
        return 0;
    case Planned::Silence:
    case Planned::LateBeyond:
        return -6;
    case Planned::ByteCountTooLarge:
        return -8;
    default:
        return -13;
    }
}

// A reply still on its way after its exchange timed out.
struct Owed {
    std::uint8_t code;
    std::uint64_t dueMs;
};

class Soak {
public:
    explicit Soak(platform::VirtualClock& clock) : clock_(clock)
    {
        sim::VirtualEncoderConfig cfg;
        cfg.replyDelayMs = 1;
        encoder_ = std::make_unique<sim::VirtualEncoder>(cfg);
        const auto table = sim::VirtualEncoder::predefinedTable(0);
        expectedTable_.assign(table.begin(), table.begin() + 8);
        settings_[0] = {link::SET_LED_BRIGHTNESS, 0, 9, 5, 0};
        settings_[1] = {link::SET_BUZZER, 2, 1, 1, 0};
        settings_[2] = {link::SET_LED_COLOUR, 1, 2, 0, 0};
        settings_[3] = {link::SET_BUZZER_PERIOD, 4, 10, 1, 0};
        for (auto& s : settings_)
            s.possible = bit(s.powerUp);
        std::lock_guard lock(link::exchangeMutex());
        rescanLocked();
    }
    ~Soak()
    {
        std::lock_guard lock(link::exchangeMutex());
        if (sharedHandle)
            hid_exit_safely(sharedHandle);
        sharedHandle = nullptr;
    }

    // One thread's run. owned: the indexes of its two settings.
    void run(int thread, std::array<int, 2> owned, bool plugsAndUnplugs)
    {
        std::mt19937 random(kRandomStart + static_cast<std::uint32_t>(thread));
        int unpluggedFor = 0;
        for (int i = 0; i < kExchangesPerThread && !failed_.load(); ++i) {
            if (plugsAndUnplugs) {
                if (unpluggedFor > 0 && --unpluggedFor == 0)
                    transition([&] { encoder_->plugIn(); });
                else if (unpluggedFor == 0 && random() % 2500 == 0) {
                    transition([&] { encoder_->unplug(); });
                    unpluggedFor = 1 + static_cast<int>(random() % 40);
                    ++unplugs_;
                }
            }
            exchangeOnce(random, owned);
            progress_.fetch_add(1);
        }
    }

    std::string failure() const
    {
        std::lock_guard lock(reportMutex_);
        return firstFailure_;
    }
    std::uint64_t progress() const { return progress_.load(); }

    void printFigures(std::uint64_t virtualMs) const
    {
        std::lock_guard lock(reportMutex_);
        std::printf("soak: random start %u, %llu exchanges, %llu virtual s\n",
                    static_cast<unsigned>(kRandomStart),
                    static_cast<unsigned long long>(progress_.load()),
                    static_cast<unsigned long long>(virtualMs / 1000));
        for (const auto& [result, count] : results_)
            std::printf("soak:   result %4d: %d\n", result, count);
        for (const auto& [fault, count] : faults_)
            std::printf("soak:   fault %-31s %d\n", plannedName(fault), count);
        std::printf("soak:   unplugs %d, re-scans %d, exchanges across a plug change %d,\n"
                    "soak:   same-command late replies taken by the next such command %d\n",
                    unplugs_.load(), rescans_, acrossTransition_, sameCommandLate_);
    }

private:
    static std::uint32_t bit(int v) { return 1u << v; }
    static constexpr std::uint64_t kUnknownEpoch = ~0ull;

    // A plug change; its epoch is odd while it is under way.
    template <typename F>
    void transition(F&& change)
    {
        epoch_.fetch_add(1);
        change();
        epoch_.fetch_add(1);
    }

    void rescanLocked()
    {
        const std::uint64_t before = epoch_.load();
        char manufacturer[48], product[48];
        if (sharedHandle)
            hid_exit_safely(sharedHandle);
        sharedHandle = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
        const std::uint64_t after = epoch_.load();
        // A handle opened during a plug change may or may not be good.
        handleEpoch_ = before % 2 == 0 && before == after ? before : kUnknownEpoch;
        owed_.clear();  // the closed handle's queued reports are gone
        ++rescans_;
    }

    void fail(const std::string& what)
    {
        std::lock_guard lock(reportMutex_);
        if (firstFailure_.empty())
            firstFailure_ = what;
        failed_ = true;
    }

    Planned pickFault(std::mt19937& random, bool status)
    {
        if (random() % 100 >= 8)
            return Planned::None;
        switch (random() % (status ? 8 : 7)) {
        case 0: return Planned::Refuse;
        case 1: return Planned::Silence;
        case 2: return Planned::LateWithin;
        case 3: return Planned::LateBeyond;
        case 4: return Planned::BadChecksum;
        case 5: return Planned::BadLength;
        case 6: return Planned::ByteCountTooLarge;
        default: return Planned::ShortStatus;
        }
    }

    void inject(Planned p, std::uint8_t code)
    {
        sim::FaultPlan plan;
        plan.command = code;
        switch (p) {
        case Planned::None: return;
        case Planned::Refuse: plan.fault = EncoderFault::Refuse; break;
        case Planned::Silence: plan.fault = EncoderFault::Silence; break;
        case Planned::LateWithin:
            plan.fault = EncoderFault::LateReply;
            plan.lateByMs = kLateWithinMs;
            break;
        case Planned::LateBeyond:
            plan.fault = EncoderFault::LateReply;
            plan.lateByMs = kLateBeyondMs;
            break;
        case Planned::BadChecksum: plan.fault = EncoderFault::BadChecksum; break;
        case Planned::BadLength: plan.fault = EncoderFault::BadLength; break;
        case Planned::ByteCountTooLarge: plan.fault = EncoderFault::ByteCountTooLarge; break;
        case Planned::ShortStatus: plan.fault = EncoderFault::ShortStatus; break;
        }
        encoder_->injectFault(plan);
    }

    // Whether a status message is one the encoder can send now.
    std::string checkStatus(const std::uint8_t* data, std::uint32_t length, bool shortStatus) const
    {
        const std::uint32_t want = shortStatus ? 19 : 20;
        if (length != want)
            return "status of " + std::to_string(length) + " bytes, expected " + std::to_string(want);
        for (const Setting& s : settings_) {
            const int v = data[s.statusOffset];
            if (v > 31 || !(s.possible & bit(v)))
                return "status byte " + std::to_string(s.statusOffset) + " is " + std::to_string(v)
                    + ", a value the encoder cannot hold now";
        }
        if (data[3] != 7 || data[5] != 0)
            return "status options/layout " + std::to_string(data[3]) + "/" + std::to_string(data[5]);
        if (!std::equal(expectedTable_.begin(), expectedTable_.end(), data + 6))
            return "status code table differs";
        const std::string version(reinterpret_cast<const char*>(data + 14), length - 14);
        if (version != std::string("01.05A").substr(0, length - 14))
            return "status version \"" + version + "\"";
        return {};
    }

    void exchangeOnce(std::mt19937& random, std::array<int, 2> owned)
    {
        const bool status = random() % 10 < 3;
        Setting* setting = status ? nullptr : &settings_[static_cast<std::size_t>(owned[random() % 2])];
        std::uint8_t value = 0;
        if (setting)
            value = static_cast<std::uint8_t>(random() % static_cast<std::uint32_t>(setting->maxValue + 1));
        const Planned planned = pickFault(random, status);
        const std::uint8_t code = status ? link::GET_STATUS : setting->command;

        std::lock_guard lock(link::exchangeMutex());
        // As the windows do: a re-scan when there is no encoder; a stale
        // handle is found out by its failing exchange.
        if (!sharedHandle)
            rescanLocked();
        inject(planned, code);
        if (setting)
            setting->possible |= bit(value);

        std::array<std::uint8_t, 64> reply{};
        std::uint32_t replyLength = 0xFFFF;
        const bool haveHandle = sharedHandle != nullptr;
        const std::uint64_t epochBefore = epoch_.load();
        const std::uint64_t tBefore = clock_.nowMs();
        const std::int32_t result = USBEncoderSendAndReceive_a(
            sharedHandle, code, setting ? &value : nullptr, setting ? 1 : 0, reply.data(), 64,
            &replyLength, kTimeoutMs);
        const std::uint64_t tAfter = clock_.nowMs();
        const std::uint64_t epochAfter = epoch_.load();
        encoder_->clearFaults();  // a plan the command never reached must not hit a later one

        ++results_[result];
        if (planned != Planned::None)
            ++faults_[planned];
        if (result != 0 && result != -1 && result != -6 && result != -8 && result != -13)
            return fail("result " + std::to_string(result) + " is not a link result code");

        // A plug change during the exchange, or a handle opened during one,
        // allows the device to be gone (-1) or to have answered as planned.
        const bool across = epochBefore % 2 == 1 || epochBefore != epochAfter;
        const bool unsure = across || (haveHandle && handleEpoch_ == kUnknownEpoch);
        const bool goodHandle = haveHandle && handleEpoch_ == epochBefore && !across;
        // A late reply of the same command due while this exchange waited may be
        // taken for its reply: the frame carries no sequence number to tell.
        bool sameCommandLate = false;
        for (const Owed& o : owed_)
            if (o.dueMs > tBefore && o.dueMs <= tAfter && o.code == code)
                sameCommandLate = true;
        std::erase_if(owed_, [&](const Owed& o) { return o.dueMs <= tAfter; });
        if (across) {
            ++acrossTransition_;
            owed_.clear();  // leaving or joining the bus drops what was queued
        }

        std::int32_t expected = goodHandle ? expectedResult(planned) : -1;
        const std::string where = std::string(link::GET_STATUS == code ? "GET_STATUS" : "SET")
            + " code " + std::to_string(code) + " with fault \"" + plannedName(planned) + "\" at "
            + std::to_string(tBefore) + " ms: ";
        if (result != expected && !(unsure && (result == -1 || result == expectedResult(planned)))) {
            if (!sameCommandLate)
                return fail(where + "result " + std::to_string(result) + ", expected "
                            + std::to_string(expected) + " (reply of "
                            + std::to_string(replyLength) + " bytes)");
        }
        // An exchange that went out and ended before its own reply was due
        // (timed out, or took a late reply of the same command) leaves it owed.
        const std::uint64_t ownDue = tBefore
            + (planned == Planned::LateBeyond   ? kLateBeyondMs
                   : planned == Planned::LateWithin ? kLateWithinMs
                                                    : 1);
        if (result != -1 && planned != Planned::Silence && ownDue > tAfter)
            owed_.push_back({code, ownDue});

        if (result == 0) {
            std::string wrong;
            if (setting && replyLength != 0)
                wrong = "a SET_* reply with " + std::to_string(replyLength) + " data bytes";
            else if (!setting)
                wrong = checkStatus(reply.data(), replyLength, planned == Planned::ShortStatus);
            if (!wrong.empty() && !sameCommandLate)
                return fail(where + "reply taken by the wrong exchange: " + wrong);
            if (setting && !sameCommandLate)
                setting->possible = bit(value) | bit(setting->powerUp);
        } else if (result == -1) {
            rescanLocked();
        }
        if (sameCommandLate)
            ++sameCommandLate_;
    }

    platform::VirtualClock& clock_;
    std::unique_ptr<sim::VirtualEncoder> encoder_;
    std::vector<std::uint8_t> expectedTable_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::uint64_t> progress_{0};
    std::atomic<bool> failed_{false};
    std::atomic<int> unplugs_{0};

    // Under the exchange lock.
    std::array<Setting, 4> settings_{};
    std::uint64_t handleEpoch_ = 0;
    std::vector<Owed> owed_;
    std::map<std::int32_t, int> results_;
    std::map<Planned, int> faults_;
    int rescans_ = 0;
    int acrossTransition_ = 0;
    int sameCommandLate_ = 0;

    mutable std::mutex reportMutex_;
    std::string firstFailure_;
};

} // namespace

TEST(Soak, TwoThreadsWithFaultsAndUnplugsNeverTakeAnotherCommandsReply)
{
    sim::Bus::instance().reset();
    sharedHandle = nullptr;
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    const std::uint64_t start = clock.nowMs();
    Soak soak(clock);

    // A hang shows as no progress for a long (real) while: report and stop.
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(doneMutex);
        std::uint64_t last = ~0ull;
        while (!done) {
            if (doneSignal.wait_for(lock, std::chrono::seconds(60), [&] { return done; }))
                return;
            const std::uint64_t now = soak.progress();
            if (now == last) {
                std::fprintf(stderr, "soak: no exchange finished for 60 s after %llu: hung\n",
                             static_cast<unsigned long long>(now));
                std::abort();
            }
            last = now;
        }
    });

    std::thread second([&] { soak.run(1, {2, 3}, false); });
    soak.run(0, {0, 1}, true);
    second.join();
    {
        std::lock_guard lock(doneMutex);
        done = true;
    }
    doneSignal.notify_all();
    watchdog.join();

    soak.printFigures(clock.nowMs() - start);
    EXPECT_EQ(soak.failure(), "");
    EXPECT_GE(soak.progress(), 100000u);
    sim::Bus::instance().reset();
}
