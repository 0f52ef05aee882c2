#pragma once
// The encoder's frames, built and checked in one place for the host's link,
// the virtual encoder and the fuzzers. Pure bytes: no HID, no clock, no Qt.
//
// Command (host to encoder), one 64-byte output report, zeros after the frame:
//   [0] 3F  [1] 40  [2] STX  [3-4] code, 2 upper-case hex digits
//   [5-6] L, 2 upper-case hex digits  [7..6+L] payload  [7+L] ETX
//   [8+L] XOR of bytes 2 through 7+L
// Reply (encoder to host), one input report:
//   [0] report ID  [1] byte count (at most 40)  [2] STX, or 06 ACK, or 0F refusal
//   [3-4] code echoed  [5-6] N = status byte + data bytes  [7] status, 00
//   [8..6+N] data  [7+N] ETX  [8+N] XOR of bytes 2 through 7+N
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vardo::link::frame {

inline constexpr std::size_t kReportSize = 64;
inline constexpr std::uint8_t kReportId = 0x3F;
inline constexpr std::uint8_t kCommandMarker = 0x40;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kRefusal = 0x0F;
inline constexpr std::uint8_t kMaxByteCount = 0x40;
// The largest payload whose ETX and checksum still fit the report.
inline constexpr std::size_t kMaxPayload = kReportSize - 9;
// N counts the status byte too, so a reply carries one data byte less.
inline constexpr std::size_t kMaxReplyData = kMaxPayload - 1;

using Report = std::array<std::uint8_t, kReportSize>;

// The command frame of code with payload; a payload above kMaxPayload is cut there
// (the link refuses such payloads before it builds a frame).
[[nodiscard]] Report encodeCommand(std::uint8_t code, std::span<const std::uint8_t> payload = {});

// The encoder's side: a reply frame (data cut at kMaxReplyData; byte 1 holds the
// frame's byte count, report ID included), an ACK report and a refusal of code.
[[nodiscard]] Report encodeReply(std::uint8_t code, std::span<const std::uint8_t> data = {},
                                 std::uint8_t status = 0x00);
[[nodiscard]] Report encodeAck();
[[nodiscard]] Report encodeRefusal(std::uint8_t code);

// Writes two upper-case hex digits of value at at[0], at[1].
void putHex(std::uint8_t value, std::uint8_t* at);

enum class Kind {
    Ack,         // an interim report: the reply is still to come
    Reply,       // a valid reply frame; data and command are set
    Refusal,     // the encoder refused the command
    Malformed,   // not a valid frame; why tells the first check that failed
};

enum class Why {
    None,
    ByteCount,   // byte 1 above 0x40
    NoStx,       // byte 2 neither STX nor ACK nor refusal
    Length,      // N is 0 (no status byte) or puts ETX or checksum past the report
    Status,      // status byte not 0
    NoEtx,       // ETX not where N puts it
    Checksum,    // checksum wrong
};

struct Decoded {
    Kind kind = Kind::Malformed;
    Why why = Why::None;
    // The code a reply echoes, when bytes 3-4 are hex digits (either case).
    std::optional<std::uint8_t> command;
    // The N-1 data bytes of a reply, inside the decoded report.
    std::span<const std::uint8_t> data;
};

// Reads one input report as the host does. Length digits are upper-case hex,
// and any other character counts as 0, as the encoder's firmware leaves them.
[[nodiscard]] Decoded decodeReply(std::span<const std::uint8_t, kReportSize> report);

// A command frame as the encoder reads it: nullopt when it cannot be parsed
// (no STX, digits not upper-case hex, ETX or checksum missing or wrong).
struct Command {
    std::uint8_t code = 0;
    std::span<const std::uint8_t> payload;
};
[[nodiscard]] std::optional<Command> decodeCommand(std::span<const std::uint8_t> report);
// The code a frame names in bytes 3-4 when they are upper-case hex digits.
[[nodiscard]] std::optional<std::uint8_t> commandCode(std::span<const std::uint8_t> report);

} // namespace vardo::link::frame
