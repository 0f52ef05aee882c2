#pragma once
// Internal to the tool's core: signals during firmware upgrades. From
// ENTER_BSL to the end of the write-back a stopped upgrade leaves an encoder
// without firmware or without its settings, so SIGINT, SIGTERM and SIGHUP do
// not stop it there: the first one says so, per encoder, and the command ends
// with 128 + the signal once the upgrades are over. Before ENTER_BSL a signal
// stops an upgrade with nothing sent. Qt-free.
#include "firmware/upgrade_job.h"

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vardo::cli {

// Seconds (to the nearest 5, at least 5) that an upgrade standing in phase
// still takes: the phases after it and half of it, each its usual time.
[[nodiscard]] unsigned secondsLeft(firmware::Phase phase);
// What the first signal tells about an encoder inside the stretch; name is
// its port ("" for the only one).
[[nodiscard]] std::string stayText(const std::string& name, firmware::Phase phase);
// "SIGINT", "SIGTERM", "SIGHUP" or "signal N".
[[nodiscard]] std::string signalName(int signal);

// SIGINT, SIGTERM and SIGHUP held back from the calling thread (and from the
// threads it starts while this lives) and read from a signalfd on a thread of
// its own, which hands each to the handler: no work in a signal handler, and
// no exchange with an encoder sees EINTR.
class SignalWatch {
public:
    using Handler = std::function<void(int signal)>;
    explicit SignalWatch(Handler handler);
    // Handles what is still pending, then lets the signals through again.
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Handles the signals pending now, on the calling thread: a signal sent
    // before this call is handled before it returns.
    void poll();

private:
    void listen();

    Handler handler_;
    std::mutex mutex_;   // one reader and handler at a time
    sigset_t previous_{};
    int signals_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

// The upgrades of one command and the first signal that came during them.
class UpgradeInterrupts {
public:
    // One upgrade for each name (its port; "" for the only one). say prints
    // one message (without its line break), from any thread. first receives
    // the first signal (it outlives this). watch: hold the process's signals
    // back (SignalWatch); false where the run is not a process of its own
    // (tests in-process).
    UpgradeInterrupts(const std::vector<std::string>& names, std::function<void(const std::string&)> say,
                      std::atomic<int>& first, bool watch);
    ~UpgradeInterrupts();
    UpgradeInterrupts(const UpgradeInterrupts&) = delete;
    UpgradeInterrupts& operator=(const UpgradeInterrupts&) = delete;

    // One encoder's upgrade, named by its port ("" for the only one).
    class Upgrade {
    public:
        Upgrade(UpgradeInterrupts& owner, std::string name) : owner_(owner), name_(std::move(name)) {}
        // The job's Hooks::mayEnterLoader: false when a signal came first.
        [[nodiscard]] bool mayEnterLoader();
        // Where the job's events stand, for the estimate.
        void progress(firmware::Phase phase, int percent);
        // The job is over: a signal pending now is still counted as inside it.
        void finish();

    private:
        friend class UpgradeInterrupts;
        enum State : int { Before, Inside, Stopped, Over };
        UpgradeInterrupts& owner_;
        std::string name_;
        std::atomic<int> state_{Before};
        std::atomic<int> phase_{static_cast<int>(firmware::Phase::EnterLoader)};
    };

    // The upgrade of names[index].
    [[nodiscard]] Upgrade& operator[](std::size_t index) { return upgrades_[index]; }
    // The first signal (0: none yet).
    [[nodiscard]] int signal() const { return first_.load(); }
    // A signal as the watch delivers it (tests call it directly).
    void onSignal(int signal);

private:
    void poll();

    std::function<void(const std::string&)> say_;
    std::deque<Upgrade> upgrades_;
    std::atomic<int>& first_;
    std::unique_ptr<SignalWatch> watch_;
};

} // namespace vardo::cli
