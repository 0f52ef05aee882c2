// The USB port of a hidraw node, from udev: the node's usb_device ancestor is
// named after its port location ("1-1.3").
#include "link/usb_port.h"

#include <libudev.h>

#include <memory>

namespace vardo::link {

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

} // namespace

std::string usbPortOf(const std::string& hidPath)
{
    const std::size_t slash = hidPath.rfind('/');
    const std::string node = slash == std::string::npos ? hidPath : hidPath.substr(slash + 1);
    if (node.empty())
        return {};
    std::unique_ptr<udev, UdevDeleter> context(udev_new());
    if (!context)
        return {};
    std::unique_ptr<udev_device, UdevDeleter> hidraw(
        udev_device_new_from_subsystem_sysname(context.get(), "hidraw", node.c_str()));
    if (!hidraw)
        return {};
    // The parent is owned by its child: no unref of its own.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_device");
    const char* name = usb ? udev_device_get_sysname(usb) : nullptr;
    return name ? name : std::string{};
}

} // namespace vardo::link
