#pragma once
// The firmware upgrade's embedded resource set: the loader's identifiers, the
// password image, the RAM loader image and its version, and the reset image.
// The texts are generated at build time (resources/generate_firmware_resources.cpp).
#include <string>
#include <string_view>

class Firmware {
public:
    // The entry's text, read at the moment of use; empty for an unknown name.
    // Names: "VID", "PID", "password.Text", "RAM_BSL.Text", "RAM_BSL_VERSION", "Forced_BOR.Text".
    static std::u16string GetString(std::string_view name);
};
