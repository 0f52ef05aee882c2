#include "firmware/upgrade_targets.h"
#include "platform/hid_bus.h"

#include "link/hid_transport.h"
#include "link/usb_port.h"
#include "loader/loader_protocol.h"

#include <hidapi.h>

namespace vardo::firmware {

namespace {

std::vector<std::string> portsOf(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber)
{
    std::vector<std::string> ports;
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    hid_device_info* list = hid_enumerate(vendorId, productId);
    for (hid_device_info* d = list; d; d = d->next) {
        if (!d->path || (interfaceNumber >= 0 && d->interface_number != interfaceNumber))
            continue;
        const std::string port = link::usbPortOf(d->path);
        ports.push_back(port.empty() ? std::string(d->path) : port);
    }
    hid_free_enumeration(list);
    return ports;
}

} // namespace

AttachedDevices attachedDevices()
{
    AttachedDevices a;
    a.encoders = portsOf(static_cast<std::uint16_t>(link::kEncoderVendorId),
                         static_cast<std::uint16_t>(link::kEncoderProductId), link::kEncoderInterface);
    a.loaders = portsOf(loader::protocol::kVendorId, loader::protocol::kProductId, -1);
    return a;
}

std::string unnamedUpgradeRefusal(const AttachedDevices& a)
{
    if (a.loaders.empty() || a.loaders.size() + a.encoders.size() < 2)
        return {};
    std::string named;
    for (const auto& port : a.loaders)
        named += (named.empty() ? "" : ", ") + ("loader on " + port);
    for (const auto& port : a.encoders)
        named += ", encoder on " + port;
    return "Not upgraded: an encoder waits in its loader and more than one device is attached (" + named
        + "), so none is taken on its own.";
}

std::string recoveryCommand(const std::string& program, const std::string& port)
{
    return program + " upgrade --device " + port + " IMAGE.txt";
}

std::string recoveryAdvice(const std::string& program, const std::string& port)
{
    return "The encoder on " + port + " waits in its loader: recover it with '" + recoveryCommand(program, port)
        + "'.";
}

} // namespace vardo::firmware
