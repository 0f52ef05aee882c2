#pragma once
// Finding the encoder (or one of several) and the loaders on the bus, and
// telling "not there" from "there but not ours to open".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/encoder.h"

namespace vardo::cli {

// One device as hid_enumerate lists it.
struct BusDevice {
    std::string path;
    std::string port;            // USB port location, e.g. "1-1.3"; "" when unknown
    std::string serial;          // 8-bit text; "" when the device reports none
    std::string product;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int interfaceNumber = -1;
    // What `list` learnt from the encoder's status; "" when not asked or not read.
    std::string model;
    std::string firmware;
    // Why list could not read them: "permission denied", no reply, ...; "" when it could.
    std::string problem;
    // A loader with no encoder on its port: the command line that recovers it.
    std::string recover;
};

// The encoders' command interfaces (VID 0x2047, PID 0x0902, interface 1), in
// enumeration order: the first is the one the main window would open.
[[nodiscard]] std::vector<BusDevice> listEncoders();
// Encoders waiting in their bootstrap loader (VID 0x2047, PID 0x0200).
[[nodiscard]] std::vector<BusDevice> listLoaders();
// The loader whose USB port or path equals selector (an empty one: the first).
[[nodiscard]] bool findLoader(const std::string& selector, BusDevice& found);

// What names a device on a bench: its port, or its path where the port is unknown.
[[nodiscard]] std::string benchName(const BusDevice& device);

enum class OpenStatus {
    Opened,
    NoEncoder,         // no encoder on the bus at all
    NoMatch,           // encoders there, none with that path, serial or port
    PermissionDenied,  // listed, but the open was refused
    OpenFailed,        // listed and accessible, yet the open failed (busy, gone)
};

struct OpenedEncoder {
    std::unique_ptr<device::Encoder> encoder;   // non-blocking, as ScanForUSBDevice_a leaves it
    BusDevice device;
};

// Opens the encoder whose path, serial number or USB port equals selector; an
// empty selector takes the first. device is filled whenever one was chosen.
[[nodiscard]] OpenStatus openEncoder(const std::string& selector, OpenedEncoder& opened);

// How to pick the same encoder again after it restarted: its USB port when
// known, else its serial number when it has one (a path can change on
// re-enumeration), else its path.
[[nodiscard]] std::string reselector(const BusDevice& device);

} // namespace vardo::cli
