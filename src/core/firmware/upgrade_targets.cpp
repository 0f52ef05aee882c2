#include "firmware/upgrade_targets.h"

#include "link/hid_list.h"
#include "link/hid_transport.h"
#include "loader/loader_protocol.h"

namespace vardo::firmware {

namespace {

std::vector<std::string> portsOf(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber)
{
    std::vector<std::string> ports;
    for (auto& d : link::listHid(vendorId, productId, interfaceNumber))
        ports.push_back(d.port.empty() ? std::move(d.path) : std::move(d.port));
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
