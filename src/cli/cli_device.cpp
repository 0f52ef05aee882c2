#include "cli/cli_device.h"
#include "platform/hid_bus.h"

#include "link/device_access.h"
#include "link/hid_transport.h"
#include "link/usb_port.h"
#include "loader/loader_protocol.h"
#include "platform/text8.h"


namespace vardo::cli {

namespace {

std::string narrow(const wchar_t* text)
{
    return text ? platform::narrowLow8(text) : std::string{};
}

std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId, bool commandOnly)
{
    std::vector<BusDevice> out;
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    hid_device_info* devices = hid_enumerate(vendorId, productId);
    for (hid_device_info* d = devices; d; d = d->next) {
        if (!d->path || (commandOnly && d->interface_number != link::kEncoderInterface))
            continue;
        BusDevice device;
        device.path = d->path;
        device.port = link::usbPortOf(d->path);
        device.serial = narrow(d->serial_number);
        device.product = narrow(d->product_string);
        device.vendorId = d->vendor_id;
        device.productId = d->product_id;
        device.interfaceNumber = d->interface_number;
        out.push_back(std::move(device));
    }
    hid_free_enumeration(devices);
    return out;
}

} // namespace

std::vector<BusDevice> listEncoders()
{
    return enumerate(static_cast<std::uint16_t>(link::kEncoderVendorId),
                     static_cast<std::uint16_t>(link::kEncoderProductId), true);
}

std::vector<BusDevice> listLoaders()
{
    return enumerate(loader::protocol::kVendorId, loader::protocol::kProductId, false);
}

bool findLoader(const std::string& selector, BusDevice& found)
{
    for (const auto& d : listLoaders()) {
        if (selector.empty() || d.path == selector || (!d.port.empty() && d.port == selector)) {
            found = d;
            return true;
        }
    }
    return false;
}

std::string benchName(const BusDevice& d)
{
    return d.port.empty() ? d.path : d.port;
}

std::string reselector(const BusDevice& device)
{
    // Encoders of one batch may share a serial number; a port is never shared.
    if (!device.port.empty())
        return device.port;
    return device.serial.empty() ? device.path : device.serial;
}

OpenStatus openEncoder(const std::string& selector, OpenedEncoder& opened)
{
    opened = {};
    const std::vector<BusDevice> encoders = listEncoders();
    if (encoders.empty())
        return OpenStatus::NoEncoder;
    const BusDevice* chosen = nullptr;
    for (const auto& d : encoders) {
        if (selector.empty() || d.path == selector || (!d.serial.empty() && d.serial == selector)
            || (!d.port.empty() && d.port == selector)) {
            chosen = &d;
            break;
        }
    }
    if (!chosen)
        return OpenStatus::NoMatch;
    opened.device = *chosen;
    opened.encoder = device::Encoder::open(chosen->path);
    if (!opened.encoder)
        return link::lacksPermission(chosen->path) ? OpenStatus::PermissionDenied : OpenStatus::OpenFailed;
    return OpenStatus::Opened;
}

} // namespace vardo::cli
