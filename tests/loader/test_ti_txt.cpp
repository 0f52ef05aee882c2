// The TI-TXT reader: lines, sections, the end mark, malformed input, and the
// cutting of sections into blocks.
#include "loader/ti_txt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

using vardo::loader::checkTiTxtText;
using vardo::loader::TiTxtBlockReader;
using vardo::loader::TiTxtLine;
using vardo::loader::TiTxtReader;

namespace {

struct Block {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Block&) const = default;
};

template <class Reader> std::vector<Block> blocksFrom(Reader& reader, std::size_t max)
{
    std::vector<Block> out;
    std::uint8_t buf[10240];
    while (reader.more()) {
        std::uint32_t address = 0;
        const std::size_t n = reader.read(buf, max, &address);
        if (n == 0)
            break;
        out.push_back({address, {buf, buf + n}});
    }
    return out;
}

std::vector<Block> blocksOf(std::string_view text, std::size_t max)
{
    TiTxtBlockReader reader(TiTxtReader::fromText(text));
    return blocksFrom(reader, max);
}

// A section of n bytes counting up from first, 16 to a line.
std::string section(std::uint32_t address, std::size_t n, std::uint8_t first = 0)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "@%04X\r\n", static_cast<unsigned>(address));
    std::string out = buf;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<std::uint8_t>(first + i));
        out += buf;
        out += (i % 16 == 15 || i + 1 == n) ? " \r\n" : " ";
    }
    return out;
}

} // namespace

TEST(TiTxtReader, ReadsLinesOfSectionsUntilQ)
{
    auto r = TiTxtReader::fromText("@4400\r\n01 02 03\r\n0A 0b \r\n@FFFE\r\n10 44\r\nq");
    TiTxtLine line;
    ASSERT_EQ(r->next(line), TiTxtReader::Step::Data);
    EXPECT_EQ(line.address, 0x4400u);
    ASSERT_EQ(line.count, 3u);
    EXPECT_EQ(line.bytes[2], 0x03);
    ASSERT_EQ(r->next(line), TiTxtReader::Step::Data);
    EXPECT_EQ(line.address, 0x4403u);
    EXPECT_EQ(line.count, 2u);
    EXPECT_EQ(line.bytes[1], 0x0B);
    ASSERT_EQ(r->next(line), TiTxtReader::Step::Data);
    EXPECT_EQ(line.address, 0xFFFEu);
    EXPECT_EQ(r->next(line), TiTxtReader::Step::End);
    EXPECT_EQ(r->next(line), TiTxtReader::Step::End);
    EXPECT_EQ(r->error(), "");
}

TEST(TiTxtReader, AcceptsUpperCaseQAndLfLineEnds)
{
    EXPECT_EQ(checkTiTxtText("@1000\n00 11\nQ\n"), "");
    EXPECT_EQ(checkTiTxtText("@1000\r\n\r\n00\r\nq\r\nanything after the end"), "");
}

TEST(TiTxtReader, NamesTheLineOfEachMalformation)
{
    EXPECT_EQ(checkTiTxtText("@4400\r\n01 0G\r\nq"), "line 2: bad hexadecimal digit in \"0G\"");
    EXPECT_EQ(checkTiTxtText("@4400\r\n01 2\r\nq"), "line 2: \"2\" is not a two-digit byte");
    EXPECT_EQ(checkTiTxtText("@4400\r\n011\r\nq"), "line 2: \"011\" is not a two-digit byte");
    EXPECT_EQ(checkTiTxtText("@4400\r\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\r\nq"),
              "line 2: more than 16 bytes on one line");
    EXPECT_EQ(checkTiTxtText("@4400\r\n01 02\r\n"), "line 3: the image does not end with \"q\"");
    EXPECT_EQ(checkTiTxtText("01 02\r\nq"), "line 1: data before the first \"@\" address line");
    EXPECT_EQ(checkTiTxtText("@44Z0\r\n01\r\nq"),
              "line 1: bad hexadecimal digit in address \"@44Z0\"");
    EXPECT_EQ(checkTiTxtText("@\r\nq"), "line 1: bad address \"@\"");
    EXPECT_EQ(checkTiTxtText(std::string(300, '0')), "line 1: line too long");
}

TEST(TiTxtReader, ReadsFilesAndReportsUnopenableOnes)
{
    const auto path = std::filesystem::temp_directory_path() / "vardo_ti_txt_reader.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "@2000\r\nAA BB\r\nq";
    }
    auto r = TiTxtReader::fromFile(path.string());
    ASSERT_NE(r, nullptr);
    TiTxtLine line;
    ASSERT_EQ(r->next(line), TiTxtReader::Step::Data);
    EXPECT_EQ(line.bytes[1], 0xBB);
    EXPECT_EQ(r->next(line), TiTxtReader::Step::End);
    std::filesystem::remove(path);
    EXPECT_EQ(TiTxtReader::fromFile(path.string()), nullptr);
}

TEST(TiTxtBlocks, JoinContiguousLinesUpToTheMaximum)
{
    const auto blocks = blocksOf(section(0x2500, 117) + section(0x2576, 40, 0x80) + "q", 5000);
    ASSERT_EQ(blocks.size(), 2u);  // a gap at 0x2575 splits them
    EXPECT_EQ(blocks[0].address, 0x2500u);
    EXPECT_EQ(blocks[0].bytes.size(), 117u);
    EXPECT_EQ(blocks[0].bytes[116], 116);
    EXPECT_EQ(blocks[1].address, 0x2576u);
    EXPECT_EQ(blocks[1].bytes.size(), 40u);
    EXPECT_EQ(blocks[1].bytes[0], 0x80);
}

TEST(TiTxtBlocks, ASectionThatContinuesTheLastOneJoinsIt)
{
    const auto blocks = blocksOf(section(0x4400, 16) + section(0x4410, 16, 16) + "q", 5000);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].bytes.size(), 32u);
    EXPECT_EQ(blocks[0].bytes[31], 31);
}

TEST(TiTxtBlocks, PowerOfTwoBlocksStayInsideOneAlignedRange)
{
    // 0x45F0..0x4A0F: 16 bytes before the segment at 0x4600, two whole
    // segments, 16 bytes into the next.
    const auto blocks = blocksOf(section(0x45F0, 0x420) + "q", 512);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].address, 0x45F0u);
    EXPECT_EQ(blocks[0].bytes.size(), 16u);
    EXPECT_EQ(blocks[1].address, 0x4600u);
    EXPECT_EQ(blocks[1].bytes.size(), 512u);
    EXPECT_EQ(blocks[2].address, 0x4800u);
    EXPECT_EQ(blocks[3].address, 0x4A00u);
    EXPECT_EQ(blocks[3].bytes.size(), 16u);
    EXPECT_EQ(blocks[3].bytes[15], static_cast<std::uint8_t>(0x41F));
}

TEST(TiTxtBlocks, OtherMaximaCutOnlyByLength)
{
    const auto blocks = blocksOf(section(0x45F0, 12000) + "q", 5000);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].bytes.size(), 5000u);
    EXPECT_EQ(blocks[1].address, 0x45F0u + 5000);
    EXPECT_EQ(blocks[2].bytes.size(), 2000u);
}

TEST(TiTxtBlocks, StopAtAMalformedLineAndSaySo)
{
    TiTxtBlockReader reader(TiTxtReader::fromText("@4400\r\n01 02\r\nZZ\r\nq"));
    std::uint8_t buf[64];
    std::uint32_t address = 0;
    EXPECT_EQ(reader.read(buf, sizeof buf, &address), 2u);
    EXPECT_FALSE(reader.more());
    EXPECT_TRUE(reader.failed());
}

// An image parsed once is cut into the very blocks its text gives: the erase,
// the write and the verify of one parse send what they sent reading the text.
TEST(TiTxtBlocks, AParsedImageGivesTheTextsBlocks)
{
    const std::string text = section(0x45F0, 0x420) + section(0x4A10, 40, 7) + section(0x8000, 5100)
                             + section(0xFFE0, 32, 9) + "q";
    vardo::loader::Image image;
    ASSERT_EQ(vardo::loader::parseTiTxt(text, image), "");
    EXPECT_EQ(image.size(), 3u);  // 0x4A10 continues the first section
    for (std::size_t max : {512u, 5000u, 48u, 3u}) {
        vardo::loader::ImageBlockReader reader(image);
        EXPECT_EQ(blocksFrom(reader, max), blocksOf(text, max)) << max;
    }
    EXPECT_EQ(vardo::loader::parseTiTxt("@4400\r\n01 02\r\nZZ\r\nq", image), checkTiTxtText("@4400\r\n01 02\r\nZZ\r\nq"));
}
