#pragma once
// The virtual encoder's own firmware images and RAM loader, made from fixed
// rules so that the build's generator (which writes them as TI-TXT) and the
// virtual device (which preloads its flash) agree byte for byte. Qt-free.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vardo::sim {

// The encoder's memory map (an MSP430F5xx with 47 KB of main flash).
inline constexpr std::uint32_t kFlashStart = 0x4400;
inline constexpr std::uint32_t kFlashEnd = 0xFFFF;        // last byte
inline constexpr std::uint32_t kSegmentSize = 512;
inline constexpr std::uint32_t kRamStart = 0x2400;
inline constexpr std::uint32_t kRamEnd = 0x43FF;          // last byte
inline constexpr std::uint32_t kVectorTable = 0xFFE0;     // 32 bytes, the loader password
inline constexpr std::uint32_t kResetVector = 0xFFFE;
inline constexpr std::uint32_t kPowerControl = 0x0120;    // writing 0x04, 0xA5 forces a brown-out reset

// The firmware carries its six-character version after a marker at the start of flash.
inline constexpr std::uint32_t kVersionRecord = kFlashStart;
inline constexpr char kVersionMarker[] = "VARDOFW:";   // 8 characters
inline constexpr std::size_t kVersionLength = 6;

// The RAM loader: four version bytes at 0x2500, entry at 0x2504 where our
// loader starts with the marker "VRBL", and a CRC-16 of the rest of the image
// in its last two bytes (low byte first).
inline constexpr std::uint32_t kRamLoaderStart = 0x2500;
inline constexpr std::uint32_t kRamLoaderEntry = 0x2504;
inline constexpr std::size_t kRamLoaderHeadSize = 117;      // 0x2500-0x2574
inline constexpr std::uint32_t kRamLoaderBody = 0x2576;
inline constexpr std::size_t kRamLoaderBodySize = 2676;     // 0x2576-0x2FE9
inline constexpr char kRamLoaderMarker[] = "VRBL";

using Version4 = std::array<std::uint8_t, 4>;
inline constexpr Version4 kRamLoaderVersion = {0x00, 0x06, 0x05, 0x34};
inline constexpr Version4 kRomLoaderVersion = {0x00, 0x04, 0x03, 0x20};

// The firmware released with the virtual encoder and the upgrade made for it.
inline constexpr char kReleasedFirmwareVersion[] = "01.05A";
inline constexpr char kUpgradeFirmwareVersion[] = "01.06A";

struct ImageSection {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};
using Image = std::vector<ImageSection>;

// An application image of the encoder: code 0x4400-0xDBFF, tables 0xE000-0xF7FF,
// the vector table at 0xFFE0 (the same in every version). version: 6 characters.
Image makeEncoderFirmware(const std::string& version);
// The vector table every encoder firmware carries.
std::array<std::uint8_t, 32> encoderVectorTable();
// Our RAM loader reporting `version`.
Image makeRamLoader(const Version4& version = kRamLoaderVersion);

// On a 64 KB memory picture: true when the RAM loader at 0x2500 is ours and whole.
bool isRamLoader(const std::uint8_t* memory);
// The version record's six characters, if the marker is there.
std::optional<std::string> firmwareVersionIn(const std::uint8_t* memory);

// CRC-16/CCITT-FALSE, computed bit by bit (independently of the host's byte-wise form).
std::uint16_t crc16(const std::uint8_t* data, std::size_t length, std::uint16_t crc = 0xFFFF);

// Writes an image as TI-TXT with CRLF line ends, 16 bytes a line, and "q" with
// no line end. trailingBlank: after the last byte of every line (Always), of
// no line (Never), or of a section's last line when it is shorter than 16 (ShortLines).
enum class TrailingBlank { Always, Never, ShortLines };
std::string toTiTxt(const Image& image, TrailingBlank trailingBlank = TrailingBlank::Always);

} // namespace vardo::sim
