#pragma once
// Checks a chosen firmware image before anything on the device is touched:
// a well-formed TI-TXT image whose bytes all lie in the encoder's main flash,
// each address given once, with a reset vector. The file is read once into
// memory; the upgrade then works from that copy. Qt-free.
#include "loader/ti_txt.h"

#include <cstdint>
#include <string>

namespace vardo::firmware {

inline constexpr std::uint32_t kEncoderFlashStart = 0x4400;
inline constexpr std::uint32_t kEncoderFlashEnd = 0xFFFF;  // last byte

enum class ImageCheck { Ok, CannotOpen, Malformed, Folder, NotAFile };

struct ImageCheckResult {
    ImageCheck result = ImageCheck::Ok;
    std::string reason;  // for Malformed: "line N: why"
};

// An image as read once from its file, and parsed once when checked.
struct FirmwareImage {
    std::string path;     // 8-bit (locale) path, for the status texts
    std::string text;     // the TI-TXT text
    loader::Image blocks; // its bytes, filled by a check that passed
    bool checked = false; // blocks hold the checked text
};

// Checks text; parsed, when given, receives its bytes.
[[nodiscard]] ImageCheckResult checkFirmwareText(const std::string& text, loader::Image* parsed = nullptr);
// Checks image.text once and keeps its bytes in image.blocks.
[[nodiscard]] ImageCheckResult checkFirmwareImage(FirmwareImage& image);
// Reads path once into image and checks the copy. path: the file's 8-bit (locale) path.
[[nodiscard]] ImageCheckResult loadFirmwareImage(const std::string& path, FirmwareImage& image);
[[nodiscard]] ImageCheckResult checkFirmwareFile(const std::string& path);

// Our encoder firmware carries its six-character version after this marker
// at the start of its flash.
inline constexpr char kFirmwareVersionMarker[] = "VARDOFW:";
// The version a checked image carries ("01.06A"), or "" when it has none.
[[nodiscard]] std::string imageFirmwareVersion(const FirmwareImage& image);

} // namespace vardo::firmware
