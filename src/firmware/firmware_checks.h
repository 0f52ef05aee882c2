#pragma once
// The text conversion for the loader library, and the erase and CRC
// verification of an image file block by block. Called from the upgrade
// worker, with vardo::loader::libraryMutex() held. Qt-free.
#include "firmware/bsl430.h"

#include <cstdint>
#include <string>
#include <string_view>

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

// The same two over an image already read into memory (TI-TXT text): the
// upgrade reads its file once. Same results; a malformed text fails the verify.
std::uint32_t EraseDataSegment_Text(const std::string& text);
std::uint32_t CRC_Check_Text(const std::string& text);

inline constexpr std::uint32_t kFileCannotOpen = static_cast<std::uint32_t>(-2);
