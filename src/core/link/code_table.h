#pragma once
// The 32-byte key code table: the payload of LOAD_CODE_TABLE, the table of a
// status read, the configuration file's CodeTableValues. Header only, so the
// link, the device and the windows above them share it.
#include <array>
#include <cstddef>
#include <cstdint>

namespace vardo::link {

inline constexpr std::size_t kCodeTableBytes = 32;

// 16 entries in key order; key k (1..16) is bytes 2(k-1) (modifier byte) and
// 2(k-1)+1 (usage code).
using CodeTable = std::array<std::uint8_t, kCodeTableBytes>;

} // namespace vardo::link
