#pragma once
// One virtual encoder with both faces: the application (VirtualEncoder) and,
// after ENTER_BSL, its bootstrap loader (VirtualLoader) whose flash holds the
// firmware the application reports. A brown-out reset after an upgrade brings
// the application back with the version of the new image. Qt-free.
#include "sim/virtual_encoder.h"
#include "sim/virtual_loader.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::sim {

struct VirtualEncoderDeviceConfig {
    VirtualEncoderConfig encoder{};      // its firmwareVersion is taken from the flash
    LoaderTiming loaderTiming{};
    // The firmware preloaded into flash (made by makeEncoderFirmware).
    std::string firmwareVersion = kReleasedFirmwareVersion;
};

class VirtualEncoderDevice {
public:
    explicit VirtualEncoderDevice(VirtualEncoderDeviceConfig config = {});
    ~VirtualEncoderDevice();
    VirtualEncoderDevice(const VirtualEncoderDevice&) = delete;
    VirtualEncoderDevice& operator=(const VirtualEncoderDevice&) = delete;

    VirtualEncoder& encoder() { return *encoder_; }
    // The cable: plugging in starts the application when the flash holds a
    // reset vector (with the version the flash carries), else the loader.
    void plugIn();
    void unplug();
    VirtualLoader& loader() { return *loader_; }

private:
    std::unique_ptr<VirtualLoader> loader_;
    std::unique_ptr<VirtualEncoder> encoder_;
};

// What an upgrade stopped half way leaves at worst: the application erased,
// and the encoder powered, waiting in its loader.
void strandInLoader(VirtualEncoderDevice& device);
// The demo programs' --sim-in-loader=PORT[,PORT] ("1-2,1-3"): strands the
// devices on those ports. False, with error naming the piece, when a piece is
// no device's port; then none is stranded.
[[nodiscard]] bool strandOnPorts(const std::vector<VirtualEncoderDevice*>& devices, std::string_view ports,
                                 std::string& error);

// The operator's hand: presses keys (1-16) spacingMs apart each time the
// encoder's self-test mode begins.
void pressKeysInSelfTest(VirtualEncoder& encoder, std::vector<int> keys, std::uint32_t spacingMs = 300);

} // namespace vardo::sim
