#include "link/device_access.h"

#include "link/hid_list.h"
#include "link/hid_transport.h"
#include "platform/hid_bus.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace vardo::link {

bool lacksPermission(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno != ENOENT || path.rfind("/dev/", 0) != 0;
    return ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

bool encoderListedButNotPermitted()
{
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    const auto listed = listHid(static_cast<std::uint16_t>(kEncoderVendorId),
                                static_cast<std::uint16_t>(kEncoderProductId), kEncoderInterface);
    for (const HidListing& d : listed) {
        // It may have become openable since the scan: then it is no permission problem.
        if (hid_device* h = hid_open_path(d.path.c_str())) {
            hid_close(h);
            return false;
        }
        if (lacksPermission(d.path))
            return true;
    }
    return false;
}

std::string udevRuleAdvice()
{
    return std::string("The udev rule ") + kUdevRulePath + " gives the user at the computer's seat access; "
           + "the package installs it (by hand, copy 70-vardo-encoder.rules into " + kUdevRuleFolderByHand
           + "). Then run 'udevadm control --reload' and 'udevadm trigger' as root, or unplug and replug "
             "the encoder.";
}

} // namespace vardo::link
