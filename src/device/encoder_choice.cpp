#include "device/encoder_choice.h"
#include "platform/hid_bus.h"

#include "link/hid_transport.h"
#include "link/usb_port.h"
#include "platform/text8.h"

#include <mutex>

namespace vardo::device {

namespace {

std::mutex g_mutex;
std::string g_port;

} // namespace

std::vector<AttachedEncoder> attachedEncoders()
{
    std::vector<AttachedEncoder> out;
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    hid_device_info* devices = hid_enumerate(static_cast<unsigned short>(link::kEncoderVendorId),
                                             static_cast<unsigned short>(link::kEncoderProductId));
    for (hid_device_info* d = devices; d; d = d->next) {
        if (d->interface_number != link::kEncoderInterface || !d->path)
            continue;
        out.push_back({link::usbPortOf(d->path), d->serial_number ? platform::narrowLow8(d->serial_number) : "", d->path});
    }
    hid_free_enumeration(devices);
    return out;
}

void chooseEncoderPort(const std::string& port)
{
    std::lock_guard lock(g_mutex);
    g_port = port;
}

std::string chosenEncoderPort()
{
    std::lock_guard lock(g_mutex);
    return g_port;
}

} // namespace vardo::device
