// Device watch over a udev monitor of USB devices, on a thread of its own.
#include "loader/hotplug.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace vardo::loader {

namespace {

struct Watch {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
    DeviceChangeHandler handler;
};

std::mutex g_mutex;
Watch* g_watch = nullptr;

// PRODUCT is "vid/pid/bcd" in hex without leading zeros; it is also present
// in removal events, when the sysfs attributes are already gone.
bool parseProduct(const char* product, std::uint16_t& vid, std::uint16_t& pid)
{
    if (!product)
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(product, &end, 16);
    if (!end || *end != '/')
        return false;
    unsigned long p = std::strtoul(end + 1, &end, 16);
    if (!end || (*end != '/' && *end != '\0'))
        return false;
    vid = static_cast<std::uint16_t>(v);
    pid = static_cast<std::uint16_t>(p);
    return true;
}

bool hexAttribute(udev_device* dev, const char* name, std::uint16_t& out)
{
    const char* text = dev ? udev_device_get_sysattr_value(dev, name) : nullptr;
    if (!text)
        return false;
    out = static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16));
    return true;
}

// Arrivals are told once the device's hidraw node exists (the USB device's own
// "add" comes before it, when hidapi could not open it yet); removals when the
// USB device has gone, from its PRODUCT property.
void handle(Watch* w, udev_device* dev)
{
    const char* action = udev_device_get_action(dev);
    const char* subsystem = udev_device_get_subsystem(dev);
    if (!action || !subsystem)
        return;
    std::uint16_t vid = 0, pid = 0;
    if (std::strcmp(subsystem, "hidraw") == 0 && std::strcmp(action, "add") == 0) {
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
        if (hexAttribute(usb, "idVendor", vid) && hexAttribute(usb, "idProduct", pid))
            w->handler({vid, pid, true});
    } else if (std::strcmp(subsystem, "usb") == 0 && std::strcmp(action, "remove") == 0) {
        const char* devtype = udev_device_get_devtype(dev);
        if (devtype && std::strcmp(devtype, "usb_device") == 0
            && parseProduct(udev_device_get_property_value(dev, "PRODUCT"), vid, pid))
            w->handler({vid, pid, false});
    }
}

void run(Watch* w)
{
    const int fd = udev_monitor_get_fd(w->monitor);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {w->stopPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        if (udev_device* dev = udev_monitor_receive_device(w->monitor)) {
            handle(w, dev);
            udev_device_unref(dev);
        }
    }
}

void destroy(Watch* w)
{
    if (w->thread.joinable()) {
        const char stop = 1;
        [[maybe_unused]] auto n = write(w->stopPipe[1], &stop, 1);
        w->thread.join();
    }
    for (int fd : w->stopPipe)
        if (fd >= 0)
            close(fd);
    if (w->monitor)
        udev_monitor_unref(w->monitor);
    if (w->context)
        udev_unref(w->context);
    delete w;
}

} // namespace

bool startDeviceWatch(DeviceChangeHandler handler)
{
    stopDeviceWatch();
    auto* w = new Watch;
    w->handler = std::move(handler);
    w->context = udev_new();
    if (w->context)
        w->monitor = udev_monitor_new_from_netlink(w->context, "udev");
    if (!w->monitor
        || udev_monitor_filter_add_match_subsystem_devtype(w->monitor, "usb", "usb_device") < 0
        || udev_monitor_filter_add_match_subsystem_devtype(w->monitor, "hidraw", nullptr) < 0
        || udev_monitor_enable_receiving(w->monitor) < 0 || pipe(w->stopPipe) != 0) {
        destroy(w);
        return false;
    }
    w->thread = std::thread(run, w);
    std::lock_guard lock(g_mutex);
    g_watch = w;
    return true;
}

void stopDeviceWatch()
{
    Watch* w = nullptr;
    {
        std::lock_guard lock(g_mutex);
        std::swap(w, g_watch);
    }
    if (w)
        destroy(w);
}

} // namespace vardo::loader
