#pragma once
// Which of several attached encoders the window serves. The operator's choice
// is a USB port: it stays right when the encoder restarts (factory reset,
// firmware upgrade) and comes back under a new device path. Qt-free.
#include <string>
#include <vector>

namespace vardo::device {

struct AttachedEncoder {
    std::string port;    // "" when unknown
    std::string serial;  // 8-bit text; "" when the encoder reports none
    std::string path;
};

// The encoders' command interfaces on the bus, in enumeration order.
std::vector<AttachedEncoder> attachedEncoders();

// The port Encoder::openFirst (every re-scan of the window) prefers while an
// encoder is attached there; "" (the start) takes the first encoder, as with a
// single one.
void chooseEncoderPort(const std::string& port);
std::string chosenEncoderPort();

} // namespace vardo::device
