// The device watch over a udev monitor of hidraw nodes, on a thread of its own.
#include "device/device_watch.h"

#include <libudev.h>
#include <poll.h>
#include <cerrno>
#include <unistd.h>

#include <thread>

namespace vardo::device {

namespace {

class UdevWatch final : public DeviceWatch {
public:
    explicit UdevWatch(Handler handler) : handler_(std::move(handler)) {}

    ~UdevWatch() override
    {
        if (thread_.joinable()) {
            const char stop = 1;
            [[maybe_unused]] const auto n = ::write(stop_[1], &stop, 1);
            thread_.join();
        }
        for (int fd : stop_)
            if (fd >= 0)
                ::close(fd);
        if (monitor_)
            udev_monitor_unref(monitor_);
        if (udev_)
            udev_unref(udev_);
    }

    // The "udev" source reports a node after its rules (and so its
    // permissions) are applied: an arrival heard here can be opened at once.
    bool begin()
    {
        udev_ = udev_new();
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
        if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0
            || udev_monitor_enable_receiving(monitor_) < 0 || ::pipe(stop_) != 0)
            return false;
        thread_ = std::thread([this] { listen(); });
        return true;
    }

private:
    void listen()
    {
        for (;;) {
            pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            if (udev_device* node = udev_monitor_receive_device(monitor_)) {
                udev_device_unref(node);
                handler_();
            }
        }
    }

    Handler handler_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace

std::unique_ptr<DeviceWatch> DeviceWatch::start(Handler handler)
{
    auto watch = std::make_unique<UdevWatch>(std::move(handler));
    if (!watch->begin())
        return nullptr;
    return watch;
}

} // namespace vardo::device
