// The USB port of a virtual device: the bus knows where each one is plugged in.
#include "link/usb_port.h"

#include "sim/bus.h"

namespace vardo::link {

std::string usbPortOf(const std::string& hidPath)
{
    return sim::Bus::instance().portOf(hidPath);
}

} // namespace vardo::link
