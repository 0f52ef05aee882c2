#include "cli/cli_device.h"

#include "link/device_access.h"
#include "link/hid_transport.h"
#include "platform/text8.h"


namespace vardo::cli {

namespace {

constexpr std::uint16_t kLoaderProductId = 0x0200;

std::string narrow(const wchar_t* text)
{
    return text ? platform::narrowLow8(text) : std::string{};
}

std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId, bool commandOnly)
{
    std::vector<BusDevice> out;
    hid_device_info* devices = hid_enumerate(vendorId, productId);
    for (hid_device_info* d = devices; d; d = d->next) {
        if (!d->path || (commandOnly && d->interface_number != link::kEncoderInterface))
            continue;
        out.push_back({d->path, narrow(d->serial_number), narrow(d->product_string), d->vendor_id,
                       d->product_id, d->interface_number});
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
    return enumerate(static_cast<std::uint16_t>(link::kEncoderVendorId), kLoaderProductId, false);
}

std::string reselector(const BusDevice& device)
{
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
        if (selector.empty() || d.path == selector || (!d.serial.empty() && d.serial == selector)) {
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
