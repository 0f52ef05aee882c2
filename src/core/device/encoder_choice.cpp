#include "device/encoder_choice.h"

#include "link/hid_list.h"
#include "link/hid_transport.h"

#include <mutex>

namespace vardo::device {

namespace {

std::mutex g_mutex;
std::string g_port;

} // namespace

std::vector<AttachedEncoder> attachedEncoders()
{
    std::vector<AttachedEncoder> out;
    for (auto& d : link::listHid(static_cast<std::uint16_t>(link::kEncoderVendorId),
                                 static_cast<std::uint16_t>(link::kEncoderProductId), link::kEncoderInterface))
        out.push_back({std::move(d.port), std::move(d.serial), std::move(d.path)});
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
