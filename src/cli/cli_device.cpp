#include "cli/cli_device.h"

#include "link/device_access.h"
#include "link/hid_list.h"
#include "link/hid_transport.h"
#include "loader/loader_protocol.h"


namespace vardo::cli {

namespace {

std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId, bool commandOnly)
{
    std::vector<BusDevice> out;
    for (auto& d : link::listHid(vendorId, productId, commandOnly ? link::kEncoderInterface : -1)) {
        BusDevice device;
        device.path = std::move(d.path);
        device.port = std::move(d.port);
        device.serial = std::move(d.serial);
        device.product = std::move(d.product);
        device.vendorId = d.vendorId;
        device.productId = d.productId;
        device.interfaceNumber = d.interfaceNumber;
        out.push_back(std::move(device));
    }
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
