#pragma once
// Checks a chosen firmware file before anything on the device is touched:
// a well-formed TI-TXT image whose bytes all lie in the encoder's main flash,
// each address given once. Streams the file; holds no image. Qt-free.
#include <cstdint>
#include <string>

namespace vardo::firmware {

inline constexpr std::uint32_t kEncoderFlashStart = 0x4400;
inline constexpr std::uint32_t kEncoderFlashEnd = 0xFFFF;  // last byte

enum class ImageCheck { Ok, CannotOpen, Malformed };

struct ImageCheckResult {
    ImageCheck result = ImageCheck::Ok;
    std::string reason;  // for Malformed: "line N: why"
};

// path: the file's 8-bit (locale) path.
ImageCheckResult checkFirmwareFile(const std::string& path);

} // namespace vardo::firmware
