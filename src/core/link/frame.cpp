#include "link/frame.h"

#include <algorithm>

namespace vardo::link::frame {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// The last byte of a reply frame (checksum at 8+N) must lie inside the report.
constexpr int kMaxReplyN = static_cast<int>(kMaxPayload);

std::uint8_t xorOf(std::span<const std::uint8_t> bytes, std::size_t first, std::size_t last)
{
    std::uint8_t sum = 0;
    for (std::size_t i = first; i <= last; ++i)
        sum ^= bytes[i];
    return sum;
}

// Reply length digits: upper case only, anything else counts as 0.
int lenientDigit(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

// The encoder's parser takes upper-case digits only.
std::optional<std::uint8_t> strictHex(const std::uint8_t* at)
{
    auto digit = [](std::uint8_t c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    const int hi = digit(at[0]);
    const int lo = digit(at[1]);
    if (hi < 0 || lo < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(hi * 16 + lo);
}

// An echoed code may come in either case; a reply only names it, nobody parses it.
std::optional<std::uint8_t> anyCaseHex(const std::uint8_t* at)
{
    auto digit = [](std::uint8_t c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        c |= 0x20;
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int hi = digit(at[0]);
    const int lo = digit(at[1]);
    if (hi < 0 || lo < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(hi * 16 + lo);
}

Decoded malformed(Why why) { return Decoded{Kind::Malformed, why, std::nullopt, {}}; }

} // namespace

void putHex(std::uint8_t value, std::uint8_t* at)
{
    at[0] = static_cast<std::uint8_t>(kHexDigits[value >> 4]);
    at[1] = static_cast<std::uint8_t>(kHexDigits[value & 0x0F]);
}

Report encodeCommand(std::uint8_t code, std::span<const std::uint8_t> payload)
{
    const std::size_t length = std::min(payload.size(), kMaxPayload);
    Report r{};
    r[0] = kReportId;
    r[1] = kCommandMarker;
    r[2] = kStx;
    putHex(code, &r[3]);
    putHex(static_cast<std::uint8_t>(length), &r[5]);
    std::copy_n(payload.begin(), length, r.begin() + 7);
    r[7 + length] = kEtx;
    r[8 + length] = xorOf(r, 2, 7 + length);
    return r;
}

Report encodeReply(std::uint8_t code, std::span<const std::uint8_t> data, std::uint8_t status)
{
    const std::size_t count = std::min(data.size(), kMaxReplyData);
    const std::size_t n = count + 1;
    Report r{};
    r[0] = kReportId;
    r[1] = static_cast<std::uint8_t>(9 + n);
    r[2] = kStx;
    putHex(code, &r[3]);
    putHex(static_cast<std::uint8_t>(n), &r[5]);
    r[7] = status;
    std::copy_n(data.begin(), count, r.begin() + 8);
    r[7 + n] = kEtx;
    r[8 + n] = xorOf(r, 2, 7 + n);
    return r;
}

Report encodeAck()
{
    Report r{};
    r[0] = kReportId;
    r[1] = 0x03;
    r[2] = kAck;
    return r;
}

Report encodeRefusal(std::uint8_t code)
{
    Report r{};
    r[0] = kReportId;
    r[1] = 0x05;
    r[2] = kRefusal;
    putHex(code, &r[3]);
    return r;
}

Decoded decodeReply(std::span<const std::uint8_t, kReportSize> report)
{
    if (report[2] == kAck)
        return Decoded{Kind::Ack, Why::None, std::nullopt, {}};
    if (report[2] == kRefusal)
        return Decoded{Kind::Refusal, Why::None, std::nullopt, {}};
    if (report[1] > kMaxByteCount)
        return malformed(Why::ByteCount);
    if (report[2] != kStx)
        return malformed(Why::NoStx);
    const int n = lenientDigit(report[5]) * 16 + lenientDigit(report[6]);
    if (n < 1 || n > kMaxReplyN)
        return malformed(Why::Length);
    if (report[7] != 0x00)
        return malformed(Why::Status);
    const auto end = static_cast<std::size_t>(7 + n);
    if (report[end] != kEtx)
        return malformed(Why::NoEtx);
    if (report[end + 1] != xorOf(report, 2, end))
        return malformed(Why::Checksum);
    return Decoded{Kind::Reply, Why::None, anyCaseHex(&report[3]),
                   report.subspan(8, static_cast<std::size_t>(n - 1))};
}

std::optional<std::uint8_t> commandCode(std::span<const std::uint8_t> report)
{
    if (report.size() < 9 || report[2] != kStx)
        return std::nullopt;
    return strictHex(&report[3]);
}

std::optional<Command> decodeCommand(std::span<const std::uint8_t> report)
{
    const std::optional<std::uint8_t> code = commandCode(report);
    if (!code)
        return std::nullopt;
    const std::optional<std::uint8_t> length = strictHex(&report[5]);
    if (!length)
        return std::nullopt;
    const std::size_t end = 7 + std::size_t{*length};
    if (end + 2 > report.size() || report[end] != kEtx || report[end + 1] != xorOf(report, 2, end))
        return std::nullopt;
    return Command{*code, report.subspan(7, *length)};
}

} // namespace vardo::link::frame
