#pragma once
// The HID interfaces on the bus, listed once under the process-wide bus lock
// (platform/hid_bus.h), with their USB port: what every look for an encoder
// or a loader starts from.
#include <cstdint>
#include <string>
#include <vector>

namespace vardo::link {

struct HidListing {
    std::string path;
    std::string port;      // USB port location, e.g. "1-1.3"; "" when unknown
    std::string serial;    // 8-bit text; "" when the device reports none
    std::string product;   // 8-bit text
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int interfaceNumber = -1;
};

// Every interface of vendorId/productId that has a path, in the bus's order;
// only interface interfaceNumber when it is 0 or more.
[[nodiscard]] std::vector<HidListing> listHid(std::uint16_t vendorId, std::uint16_t productId,
                                              int interfaceNumber = -1);

} // namespace vardo::link
