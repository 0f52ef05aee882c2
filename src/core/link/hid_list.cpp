#include "link/hid_list.h"

#include "link/usb_port.h"
#include "platform/hid_bus.h"
#include "platform/text8.h"

#include <hidapi.h>

namespace vardo::link {

namespace {

std::string narrow(const wchar_t* text)
{
    return text ? platform::narrowLow8(text) : std::string{};
}

} // namespace

std::vector<HidListing> listHid(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber)
{
    std::vector<HidListing> out;
    const std::lock_guard busLock(platform::hidBusMutex());
    hid_device_info* devices = hid_enumerate(vendorId, productId);
    for (hid_device_info* d = devices; d; d = d->next) {
        if (!d->path || (interfaceNumber >= 0 && d->interface_number != interfaceNumber))
            continue;
        out.push_back({d->path, usbPortOf(d->path), narrow(d->serial_number), narrow(d->product_string),
                       d->vendor_id, d->product_id, d->interface_number});
    }
    hid_free_enumeration(devices);
    return out;
}

} // namespace vardo::link
