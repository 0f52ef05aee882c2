#pragma once
// The erase and CRC verification of an image block by block, over a loader
// connection; the text conversion for the loader library. Qt-free.
#include "loader/bsl430.h"
#include "loader/connection.h"

#include <cstdint>
#include <string>
#include <string_view>

// ---- the names the upgrade window's code uses, over the default connection ---

// Writes each character of str as one byte (its low 8 bits) into character,
// from its first byte on, and nothing else: pass a zero-filled buffer longer
// than str to get a NUL-terminated 8-bit string. For the embedded ASCII texts;
// file paths go to the library in the locale's 8-bit encoding instead.
void StringToChar(std::u16string_view str, char* character);

// CRC of the first `length` bytes of the block, starting from 0xFFFF.
std::uint32_t Calculate_CRC(const DataBlock_& data);

// The loader's CRC of length bytes from addr, or 0xFFFFFFFF when the request fails.
std::uint32_t CRC_Check(std::uint32_t addr, std::uint32_t length);

// Erases the segment of each 512-byte block of the file. 0, or -2 (as an
// unsigned number) when the file cannot be opened. Failed erases are not reported.
std::uint32_t EraseDataSegment_File(const char* fileName);

// Compares the loader's CRC of each block (up to 5000 bytes) of the file with
// the host's. 0 all match, 1 at the first mismatch, -2 when the file cannot be opened.
std::uint32_t CRC_Check_File(const char* filename);

inline constexpr std::uint32_t kFileCannotOpen = static_cast<std::uint32_t>(-2);

// ---- ours: an image already read into memory (TI-TXT), on a given connection ----

namespace vardo::firmware {

// Erases the segment of each 512-byte block of image, going on past a failed
// erase (the verification judges the result). The first failure's result, or Ok.
[[nodiscard]] loader::Result eraseSegments(loader::Connection& connection, const loader::Image& image);

struct Verification {
    bool matches = false;
    loader::Result result = loader::Result::Ok;  // a failed CRC request's result
    std::uint32_t address = 0;                   // the first block that differs (or was not read)
};
// Compares the loader's CRC of each block (up to 5000 bytes) of image with the host's.
[[nodiscard]] Verification verifyImage(loader::Connection& connection, const loader::Image& image);

} // namespace vardo::firmware
