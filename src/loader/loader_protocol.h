#pragma once
// The packets between the loader library and a loader device: 64-byte HID
// reports with report ID 0x3F, one command per output report, at most one
// reply per command. Shared by the library and the virtual loader. No Qt.
//
// Command (host to device, output report):
//   [0] 0x3F  [1] n = count of the bytes that follow (4..62)
//   [2] command  [3..5] address, 24 bits, low byte first (0 when unused)
//   [6..1+n] parameters or data
// Reply (device to host, input report):
//   [0] 0x3F  [1] n = count of the bytes that follow (3..62)
//   [2] kind: kAck (status only) or kData (status and data)
//   [3] the command answered  [4] status (kStatusOk or a refusal)
//   [5..1+n] data of a kData reply
//
//   command           parameters               reply
//   kRxDataBlock      data bytes (1..56)       kAck
//   kRxDataBlockFast  data bytes (1..56)       none
//   kRxPassword       32 bytes                 kAck; a wrong password mass-erases
//   kEraseSegment     -                        kAck
//   kMassErase        -                        kAck
//   kCrcCheck         length, 16 bits LE       kData: CRC-16/CCITT-FALSE, low byte first
//   kLoadPc           -                        none; the device starts the code at address
//   kTxDataBlock      length, 16 bits LE       kData replies of up to 57 bytes each
//   kTxVersion        -                        kData: vendor, interpreter, API, peripheral
// Every command but kRxPassword and kTxVersion is refused with kStatusLocked
// until a password was accepted.
#include <cstddef>
#include <cstdint>

namespace vardo::loader::protocol {

inline constexpr std::uint16_t kVendorId = 0x2047;
inline constexpr std::uint16_t kProductId = 0x0200;
inline constexpr std::uint8_t kReportId = 0x3F;
inline constexpr std::size_t kReportSize = 64;
inline constexpr std::size_t kHeaderSize = 6;          // report ID, count, command, address
inline constexpr std::size_t kMaxDataPerPacket = 56;   // data bytes of one kRxDataBlock
inline constexpr std::size_t kReplyHeaderSize = 5;     // report ID, count, kind, command, status
inline constexpr std::size_t kMaxReplyData = kReportSize - kReplyHeaderSize - 2;  // 57
inline constexpr std::size_t kPasswordSize = 32;

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
    kAck = 0x3B,
};

enum Status : std::uint8_t {
    kStatusOk = 0x00,
    kStatusFlashFailed = 0x01,     // erase or write did not complete
    kStatusLocked = 0x04,          // no password accepted yet
    kStatusPasswordWrong = 0x05,   // refused; main flash was mass-erased
    kStatusAddressRange = 0x06,    // address or length outside writable memory
    kStatusUnknownCommand = 0x07,
    kStatusBadLength = 0x08,       // parameters of the wrong size
    kStatusCrcFailed = 0x09,       // the CRC could not be computed
};

// Where a version's four bytes sit in the version text.
inline constexpr std::size_t kVersionFieldPositions[4] = {8, 16, 25, 33};

} // namespace vardo::loader::protocol
