// The frame codec: the worked command frames, and what the host makes of one
// input report, row by row (report bytes -> kind, why, echoed code, data).
#include "link/frame.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vardo::link::frame;

namespace {

std::vector<std::uint8_t> encoded(std::uint8_t code, std::vector<std::uint8_t> payload)
{
    const Report r = encodeCommand(code, payload);
    return {r.begin(), r.begin() + 9 + static_cast<long>(payload.size())};
}

TEST(Frame, CommandFramesAreTheWorkedOnesAndTheEncoderReadsThemBack)
{
    EXPECT_EQ(encoded(1, {}), (std::vector<std::uint8_t>{0x3F, 0x40, 0x02, 0x30, 0x31, 0x30, 0x30, 0x03, 0x00}));
    EXPECT_EQ(encoded(2, {5}), (std::vector<std::uint8_t>{0x3F, 0x40, 0x02, 0x30, 0x32, 0x30, 0x31, 0x05, 0x03, 0x07}));
    EXPECT_EQ(encoded(9, {}), (std::vector<std::uint8_t>{0x3F, 0x40, 0x02, 0x30, 0x39, 0x30, 0x30, 0x03, 0x08}));
    const std::vector<std::uint8_t> table(32, 0xAB);
    const Report r = encodeCommand(0x05, table);
    const auto read = decodeCommand(r);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->code, 0x05);
    EXPECT_EQ(std::vector<std::uint8_t>(read->payload.begin(), read->payload.end()), table);
    // The encoder parses upper-case digits only and refuses what it cannot parse.
    Report lower = encodeCommand(0x0A, {});
    lower[4] = 'a';
    EXPECT_FALSE(decodeCommand(lower));
    EXPECT_FALSE(commandCode(lower));
    Report badSum = encodeCommand(0x0A, {});
    badSum[8] ^= 1;
    EXPECT_FALSE(decodeCommand(badSum));
    EXPECT_EQ(commandCode(badSum), 0x0A);
    EXPECT_FALSE(decodeCommand(std::span(badSum).first(8)));
}

struct Row {
    const char* name;
    std::vector<std::uint8_t> head;   // from byte 0, zeros after
    std::size_t tailAt;               // more bytes from here (0: none)
    std::vector<std::uint8_t> tail;
    Kind kind;
    Why why;
    int command;                      // -1: none echoed
    std::vector<std::uint8_t> data;
};

const Row kRows[] = {
    {"ACK", {0x3F, 0x03, 0x06}, 0, {}, Kind::Ack, Why::None, -1, {}},
    {"ACK before the count check", {0x3F, 0x7F, 0x06}, 0, {}, Kind::Ack, Why::None, -1, {}},
    {"refusal", {0x3F, 0x05, 0x0F, '0', '1'}, 0, {}, Kind::Refusal, Why::None, -1, {}},
    {"refusal before the count check", {0x3F, 0x41, 0x0F}, 0, {}, Kind::Refusal, Why::None, -1, {}},
    {"reply without data", {0x3F, 0x0A, 0x02, '0', '9', '0', '1', 0x00, 0x03, 0x09}, 0, {},
     Kind::Reply, Why::None, 9, {}},
    {"reply with two data bytes", {0x3F, 0x0C, 0x02, '0', '1', '0', '3', 0x00, 0xAA, 0xBB, 0x03, 0x12}, 0, {},
     Kind::Reply, Why::None, 1, {0xAA, 0xBB}},
    {"lower-case echo still names the command", {0x3F, 0x0A, 0x02, '0', 'a', '0', '1', 0x00, 0x03, 0x51}, 0, {},
     Kind::Reply, Why::None, 0x0A, {}},
    {"an echo of no hex digits names none", {0x3F, 0x0A, 0x02, 'z', 'z', '0', '1', 0x00, 0x03, 0x00}, 0, {},
     Kind::Reply, Why::None, -1, {}},
    {"lower-case length digit counts as 0 (1a is 10)", {0x3F, 0x19, 0x02, '0', '1', '1', 'a', 0x00}, 23,
     {0x03, 0x50}, Kind::Reply, Why::None, 1, std::vector<std::uint8_t>(15, 0)},
    {"byte count above 40", {0x3F, 0x41, 0x02, '0', '9', '0', '1', 0x00, 0x03, 0x09}, 0, {},
     Kind::Malformed, Why::ByteCount, -1, {}},
    {"no STX", {0x3F, 0x0A, 0x05, '0', '9', '0', '1', 0x00, 0x03, 0x0E}, 0, {}, Kind::Malformed, Why::NoStx, -1, {}},
    {"N of 0 has no status byte", {0x3F, 0x09, 0x02, '0', '9', '0', '0', 0x03, 0x08}, 0, {},
     Kind::Malformed, Why::Length, -1, {}},
    {"N of 56 ends past the report", {0x3F, 0x40, 0x02, '0', '1', '3', '8', 0x00}, 0, {},
     Kind::Malformed, Why::Length, -1, {}},
    {"status not 0", {0x3F, 0x0A, 0x02, '0', '9', '0', '1', 0x01, 0x03, 0x08}, 0, {},
     Kind::Malformed, Why::Status, -1, {}},
    {"ETX not where N puts it", {0x3F, 0x0A, 0x02, '0', '9', '0', '2', 0x00, 0x03, 0x0A}, 0, {},
     Kind::Malformed, Why::NoEtx, -1, {}},
    {"checksum wrong", {0x3F, 0x0A, 0x02, '0', '9', '0', '1', 0x00, 0x03, 0x0A}, 0, {},
     Kind::Malformed, Why::Checksum, -1, {}},
};

TEST(Frame, EachReportDecodesAsItsRowSays)
{
    for (const Row& row : kRows) {
        Report r{};
        std::copy(row.head.begin(), row.head.end(), r.begin());
        std::copy(row.tail.begin(), row.tail.end(), r.begin() + static_cast<long>(row.tailAt));
        const Decoded d = decodeReply(r);
        EXPECT_EQ(d.kind, row.kind) << row.name;
        EXPECT_EQ(d.why, row.why) << row.name;
        EXPECT_EQ(d.command ? int{*d.command} : -1, row.kind == Kind::Reply ? row.command : -1) << row.name;
        EXPECT_EQ(std::vector<std::uint8_t>(d.data.begin(), d.data.end()), row.data) << row.name;
    }
}

TEST(Frame, TheEncodersReportsDecodeAsWhatTheyAre)
{
    const std::vector<std::uint8_t> longest(kMaxReplyData, 0x5A);
    const Report reply = encodeReply(0x01, longest);
    EXPECT_EQ(reply[1], 9 + 55);
    const Decoded d = decodeReply(reply);
    ASSERT_EQ(d.kind, Kind::Reply);
    EXPECT_EQ(d.command, 0x01);
    EXPECT_EQ(std::vector<std::uint8_t>(d.data.begin(), d.data.end()), longest);
    EXPECT_EQ(decodeReply(encodeAck()).kind, Kind::Ack);
    EXPECT_EQ(decodeReply(encodeRefusal(0x0D)).kind, Kind::Refusal);
}

} // namespace
