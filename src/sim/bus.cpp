#include "sim/bus.h"

#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace vardo::sim {

struct Bus::Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    std::uint64_t generation = 0;
};

Bus& Bus::instance()
{
    static Bus bus;
    return bus;
}

namespace {

// "sim:1-2:1.1" -> "1-2": a virtual device's path names its port.
std::string portFromPath(const std::string& path)
{
    const std::string prefix = "sim:";
    if (path.rfind(prefix, 0) != 0)
        return {};
    const std::size_t end = path.find(':', prefix.size());
    return path.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
}

} // namespace

void Bus::attach(const DeviceInfo& attached, std::shared_ptr<HidEndpoint> endpoint)
{
    DeviceInfo info = attached;
    if (info.port.empty())
        info.port = portFromPath(info.path);
    std::vector<Listener> toCall;
    {
        std::lock_guard lock(mutex_);
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                      [&](const Entry& e) { return e.info.path == info.path; }),
                       entries_.end());
        entries_.push_back({info, std::move(endpoint), nextAttachId_++});
        for (auto& l : listeners_)
            toCall.push_back(l.second);
    }
    for (auto& l : toCall)
        l({BusEventKind::Arrival, info});
}

bool Bus::detach(const std::string& path)
{
    DeviceInfo info;
    std::vector<Listener> toCall;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return e.info.path == path; });
        if (it == entries_.end())
            return false;
        info = it->info;
        entries_.erase(it);
        for (auto& l : listeners_)
            toCall.push_back(l.second);
    }
    notifyReport(); // wake readers so they see the device is gone
    for (auto& l : toCall)
        l({BusEventKind::Removal, info});
    return true;
}

void Bus::reset()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
    listeners_.clear();
    scheduled_.clear();
    inits_ = exits_ = 0;
    initialised_ = false;
}

std::vector<DeviceInfo> Bus::enumerate(std::uint16_t vendorId, std::uint16_t productId) const
{
    std::lock_guard lock(mutex_);
    std::vector<DeviceInfo> out;
    for (const auto& e : entries_) {
        if ((vendorId == 0 || e.info.vendorId == vendorId)
            && (productId == 0 || e.info.productId == productId))
            out.push_back(e.info);
    }
    // Like udev, list by port path, so a device that re-enumerates keeps its place.
    std::stable_sort(out.begin(), out.end(),
                     [](const DeviceInfo& a, const DeviceInfo& b) { return a.path < b.path; });
    return out;
}

std::shared_ptr<HidEndpoint> Bus::open(const std::string& path, DeviceInfo* info,
                                       std::uint64_t* attachId) const
{
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
        if (e.info.path == path) {
            if (!e.info.openable)
                return nullptr;
            if (info)
                *info = e.info;
            if (attachId)
                *attachId = e.attachId;
            return e.endpoint;
        }
    }
    return nullptr;
}

bool Bus::present(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& e) { return e.info.path == path; });
}

std::string Bus::portOf(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
        if (e.info.path == path)
            return e.info.port;
    return {};
}

bool Bus::alive(const std::string& path, std::uint64_t attachId) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.info.path == path && e.attachId == attachId;
    });
}

int Bus::addListener(Listener listener)
{
    std::lock_guard lock(mutex_);
    int id = nextListener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void Bus::removeListener(int id)
{
    std::lock_guard lock(mutex_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [&](const auto& l) { return l.first == id; }),
                     listeners_.end());
}

std::shared_ptr<Bus::Waiter> Bus::waiter()
{
    std::lock_guard lock(mutex_);
    if (!waiter_)
        waiter_ = std::make_shared<Waiter>();
    return waiter_;
}

void Bus::notifyReport()
{
    std::shared_ptr<Waiter> w = waiter();
    {
        std::lock_guard lock(w->mutex);
        ++w->generation;
    }
    w->cv.notify_all();
}

void Bus::waitForReport(std::uint32_t ms)
{
    std::shared_ptr<Waiter> w = waiter();
    std::unique_lock lock(w->mutex);
    const std::uint64_t gen = w->generation;
    w->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return w->generation != gen; });
}

std::uint64_t Bus::reportGeneration()
{
    std::shared_ptr<Waiter> w = waiter();
    std::lock_guard lock(w->mutex);
    return w->generation;
}

void Bus::waitForReportUntil(std::uint64_t generation, std::uint64_t atMs)
{
    // RealClock counts whole milliseconds of the steady clock: waking at that
    // exact time point, not after a rounded interval, keeps replies prompt.
    const std::chrono::steady_clock::time_point until{std::chrono::milliseconds(atMs)};
    std::shared_ptr<Waiter> w = waiter();
    std::unique_lock lock(w->mutex);
    w->cv.wait_until(lock, until, [&] { return w->generation != generation; });
}

int Bus::schedule(std::uint64_t dueMs, std::function<void()> action)
{
    std::lock_guard lock(mutex_);
    const int id = nextScheduled_++;
    scheduled_.push_back({id, dueMs, std::move(action)});
    return id;
}

void Bus::cancel(int id)
{
    std::lock_guard lock(mutex_);
    scheduled_.erase(std::remove_if(scheduled_.begin(), scheduled_.end(),
                                    [&](const Scheduled& s) { return s.id == id; }),
                     scheduled_.end());
}

namespace {
// An action that runs hid_* calls itself must not wait for itself.
thread_local bool t_inAction = false;
} // namespace

void Bus::runDue()
{
    for (;;) {
        std::function<void()> action;
        {
            std::unique_lock lock(mutex_);
            const std::uint64_t now = platform::clock().nowMs();
            auto next = std::min_element(scheduled_.begin(), scheduled_.end(),
                                         [](const Scheduled& a, const Scheduled& b) {
                                             return a.dueMs < b.dueMs
                                                 || (a.dueMs == b.dueMs && a.id < b.id);
                                         });
            if (next == scheduled_.end() || next->dueMs > now) {
                if (!t_inAction)
                    actionsDone_.wait(lock, [this] { return actionsRunning_ == 0; });
                return;
            }
            action = std::move(next->action);
            scheduled_.erase(next);
            ++actionsRunning_;
        }
        const bool outer = !t_inAction;
        t_inAction = true;
        if (action)
            action();
        t_inAction = !outer;
        {
            std::lock_guard lock(mutex_);
            --actionsRunning_;
        }
        actionsDone_.notify_all();
    }
}

std::optional<std::uint64_t> Bus::nextScheduledDue() const
{
    std::lock_guard lock(mutex_);
    std::optional<std::uint64_t> due;
    for (const auto& s : scheduled_)
        if (!due || s.dueMs < *due)
            due = s.dueMs;
    return due;
}

void Bus::noteInit()
{
    std::lock_guard lock(mutex_);
    if (!initialised_)
        ++inits_;
    initialised_ = true;
}

void Bus::noteExit()
{
    std::lock_guard lock(mutex_);
    ++exits_;
    initialised_ = false;
}

int Bus::initCount() const
{
    std::lock_guard lock(mutex_);
    return inits_;
}

int Bus::exitCount() const
{
    std::lock_guard lock(mutex_);
    return exits_;
}

bool Bus::initialised() const
{
    std::lock_guard lock(mutex_);
    return initialised_;
}

} // namespace vardo::sim
