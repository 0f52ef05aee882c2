#include "cli/upgrade_signals.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vardo::cli {

namespace {

using firmware::Phase;

sigset_t upgradeSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Seconds each phase adds to what follows it: the restart and RAM loader
// waits are the job's own; the transfers are a 20 KB image's at full speed.
struct PhaseSeconds {
    Phase phase;
    unsigned seconds;
};
constexpr PhaseSeconds kPhaseSeconds[] = {
    {Phase::EnterLoader, 1},
    {Phase::FindLoader, 2},
    {Phase::Unlock, firmware::kMassEraseWaitMs / 1000},
    {Phase::StartRamLoader, firmware::kRamLoaderStartMs / 1000 + 2},
    {Phase::Erase, 2},
    {Phase::Write, 8},
    {Phase::Verify, 2},
    {Phase::Reset, 1},
    {Phase::FindEncoder, 3},   // kRestartWaitMs is the most; an encoder is back in about 2 s
    {Phase::WriteBack, 1},
};

} // namespace

unsigned secondsLeft(Phase phase)
{
    // The phases still to come, and half of the one under way: to the nearest 5 s.
    unsigned halves = 0;
    for (const auto& p : kPhaseSeconds)
        halves += p.phase > phase ? 2 * p.seconds : p.phase == phase ? p.seconds : 0;
    return std::max(1u, (halves + 5) / 10) * 5;
}

std::string stayText(const std::string& name, Phase phase)
{
    const std::string what = phase >= Phase::FindEncoder ? "with the new firmware but without its settings"
                                                          : "without firmware";
    return (name.empty() ? std::string("Stopping") : name + ": stopping") + " now would leave the encoder " + what
           + "; the upgrade goes on (about " + std::to_string(secondsLeft(phase))
           + " s more) and the program ends after it.";
}

std::string signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        break;
    }
    return "signal " + std::to_string(signal);
}

// ---- SignalWatch -------------------------------------------------------------

SignalWatch::SignalWatch(Handler handler) : handler_(std::move(handler))
{
    const sigset_t set = upgradeSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
    signals_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (signals_ >= 0 && stop_ >= 0)
        thread_ = std::thread([this] { listen(); });
}

SignalWatch::~SignalWatch()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        static_cast<void>(::write(stop_, &one, sizeof one));
        thread_.join();
    }
    poll();
    for (int fd : {signals_, stop_})
        if (fd >= 0)
            ::close(fd);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void SignalWatch::listen()
{
    pollfd fds[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents != 0)
            poll();
    }
}

void SignalWatch::poll()
{
    // Read and handled under one lock: a caller of poll() that finds nothing
    // knows that a signal read by the thread has been handled.
    std::lock_guard lock(mutex_);
    if (signals_ < 0)
        return;
    signalfd_siginfo info{};
    while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        handler_(static_cast<int>(info.ssi_signo));
}

// ---- UpgradeInterrupts ---------------------------------------------------------

UpgradeInterrupts::UpgradeInterrupts(const std::vector<std::string>& names,
                                     std::function<void(const std::string&)> say, std::atomic<int>& first,
                                     bool watch)
    : say_(std::move(say)), first_(first)
{
    for (const auto& name : names)
        upgrades_.emplace_back(*this, name);
    if (watch)
        watch_ = std::make_unique<SignalWatch>([this](int s) { onSignal(s); });
}

UpgradeInterrupts::~UpgradeInterrupts() = default;

void UpgradeInterrupts::poll()
{
    if (watch_)
        watch_->poll();
}

void UpgradeInterrupts::onSignal(int signal)
{
    int none = 0;
    if (!first_.compare_exchange_strong(none, signal))
        return;
    for (auto& u : upgrades_) {
        int state = Upgrade::Before;
        if (u.state_.compare_exchange_strong(state, Upgrade::Stopped) || state != Upgrade::Inside)
            continue;
        say_(stayText(u.name_, static_cast<Phase>(u.phase_.load())));
    }
}

bool UpgradeInterrupts::Upgrade::mayEnterLoader()
{
    owner_.poll();
    int state = Before;
    return state_.compare_exchange_strong(state, Inside);
}

void UpgradeInterrupts::Upgrade::progress(Phase phase, int percent)
{
    // A signal sent before this event is answered with the phase it came in.
    owner_.poll();
    // Once the restart is sent ("Done!") the new firmware is in: what is
    // left is the wait for it and the write-back, which report nothing.
    phase_.store(static_cast<int>(phase == Phase::Reset && percent >= 100 ? Phase::FindEncoder : phase));
}

void UpgradeInterrupts::Upgrade::finish()
{
    owner_.poll();
    int inside = Inside;
    state_.compare_exchange_strong(inside, Over);
}

} // namespace vardo::cli
