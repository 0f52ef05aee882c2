#pragma once
// The MSP430 USB bootstrap loader's framing, shared by the library and the
// virtual loader. No Qt.
//
// Host to loader, one 64-byte output report a command:
//   [0] 0x3F  [1] L = count of the core-command bytes that follow  [2..1+L] core
// Core: the command, then for most commands a 24-bit address (low byte first)
// and a 16-bit length (low byte first) or data.
//   kRxDataBlock      10 AL AM AH d1..dn   message
//   kRxPassword       11 p1..p32           message: 00 accepted, 05 refused (and mass-erased)
//   kEraseSegment     12 AL AM AH          message
//   kMassErase        15                   message
//   kCrcCheck         16 AL AM AH LL LH    data: CRC-16/CCITT-FALSE, low byte first
//   kLoadPc           17 AL AM AH          none: the loader jumps there
//   kTxDataBlock      18 AL AM AH LL LH    data
//   kTxVersion        19                   data: vendor, interpreter, API, peripheral interface
//   kRxDataBlockFast  1B AL AM AH d1..dn   none
// Loader to host, one input report: [0] 0x3F  [1] L  then either
// [2] 0x3B [3] message, or [2] 0x3A [3..1+L] data. No reply names its command.
#include <cstddef>
#include <cstdint>

namespace vardo::loader::protocol {

inline constexpr std::uint16_t kVendorId = 0x2047;
inline constexpr std::uint16_t kProductId = 0x0200;
inline constexpr std::uint8_t kReportId = 0x3F;
inline constexpr std::size_t kReportSize = 64;
inline constexpr std::size_t kMaxCoreSize = kReportSize - 2;  // 62
inline constexpr std::size_t kAddressedHeader = 4;            // command and three address bytes
inline constexpr std::size_t kMaxDataPerPacket = 48;          // data bytes the library puts in one write
inline constexpr std::size_t kPasswordSize = 32;

// Writes at and above this address go to flash, which takes whole words only.
inline constexpr std::uint32_t kFlashStart = 0x4400;

enum Command : std::uint8_t {
    kRxDataBlock = 0x10,
    kRxPassword = 0x11,
    kEraseSegment = 0x12,
    kMassErase = 0x15,
    kCrcCheck = 0x16,
    kLoadPc = 0x17,
    kTxDataBlock = 0x18,
    kTxVersion = 0x19,
    kRxDataBlockFast = 0x1B,
};

enum ReplyKind : std::uint8_t {
    kData = 0x3A,
    kMessage = 0x3B,
};

enum Message : std::uint8_t {
    kMsgOk = 0x00,
    kMsgFlashWriteCheckFailed = 0x01,
    kMsgFlashFailBit = 0x02,
    kMsgVoltageChange = 0x03,
    kMsgLocked = 0x04,
    kMsgPasswordError = 0x05,
    kMsgByteWriteForbidden = 0x06,
    kMsgUnknownCommand = 0x07,
    kMsgPacketTooLong = 0x08,
};

// Where a version's four bytes sit in the version text.
inline constexpr std::size_t kVersionFieldPositions[4] = {8, 16, 25, 33};

} // namespace vardo::loader::protocol
