// CRC, text conversion, and the erase and verification of image files block
// by block against the virtual loader.
#include "firmware/crc.h"
#include "firmware/firmware_checks.h"
#include "loader/loader_protocol.h"
#include "../loader/loader_fixture.h"
#include "temp_folder.h"

#include <cstring>

namespace P = vardo::loader::protocol;

namespace {

DataBlock_ blockOf(const std::string& bytes)
{
    auto b = std::make_unique<DataBlock_>();
    std::memset(b.get(), 0, sizeof *b);
    std::memcpy(b->data, bytes.data(), bytes.size());
    b->length = static_cast<std::uint32_t>(bytes.size());
    return *b;
}

} // namespace

TEST(Crc, IsCcittFalse)
{
    EXPECT_EQ(Calculate_CRC(blockOf("123456789")), 0x29B1u);
    EXPECT_EQ(Calculate_CRC(blockOf("")), 0xFFFFu);
    CRC crc(0xFFFF);
    for (char c : std::string("123456789"))
        crc.CrcInput(static_cast<std::uint8_t>(c));
    EXPECT_EQ(crc.GetCrcValue(), 0x29B1);
    crc.CrcInit(0x1D0F);
    EXPECT_EQ(crc.crc, 0x1D0F);
}

TEST(Crc, AgreesWithTheBitwiseFormOverEveryByteValue)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(Calculate_CRC(blockOf(all)),
              vardo::sim::crc16(reinterpret_cast<const std::uint8_t*>(all.data()), all.size()));
    // Only the first `length` bytes count.
    DataBlock_ b = blockOf(all);
    b.length = 9;
    std::memcpy(b.data, "123456789", 9);
    EXPECT_EQ(Calculate_CRC(b), 0x29B1u);
}

TEST(StringToChar, KeepsTheLowEightBitsAndWritesNothingElse)
{
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    StringToChar(u"q\u0141\u00E9", buf);  // U+0141 keeps 0x41
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(buf[1], 'A');
    EXPECT_EQ(static_cast<unsigned char>(buf[2]), 0xE9);
    EXPECT_EQ(buf[3], '#');
}

class FileChecksTest : public LoaderTest {
protected:
    void SetUp() override { openRamLoader(); }
    std::vector<vardo::sim::LoaderCommandRecord> commandsOf(std::uint8_t command) const
    {
        std::vector<vardo::sim::LoaderCommandRecord> out;
        for (const auto& c : loader->commands())
            if (c.command == command)
                out.push_back(c);
        return out;
    }
    TempFolder folder;
};

TEST_F(FileChecksTest, CrcCheckReadsTheLoadersCrcOrAllBitsOnFailure)
{
    const auto memory = loader->read(0x4400, 100);
    EXPECT_EQ(CRC_Check(0x4400, 100), vardo::sim::crc16(memory.data(), memory.size()));
    vardo::sim::LoaderFaults faults;
    faults.failAllCrcRequests = true;
    loader->setFaults(faults);
    EXPECT_EQ(CRC_Check(0x4400, 100), 0xFFFFFFFFu);
}

TEST_F(FileChecksTest, AMultiSectionImageIsErasedAndVerifiedBlockByBlock)
{
    const std::string path = folder.write(
        "image.txt", vardo::sim::toTiTxt(vardo::sim::makeEncoderFirmware("09.99Z")));
    loader->clearCommands();
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    const auto erases = commandsOf(P::kEraseSegment);
    // 0x4400-0xDBFF and 0xE000-0xF7FF in 512-byte blocks, and the vector table.
    ASSERT_EQ(erases.size(), 0x9800u / 512 + 0x1800u / 512 + 1);
    EXPECT_EQ(erases.front().address, 0x4400u);
    EXPECT_EQ(erases[1].address, 0x4600u);
    EXPECT_EQ(erases.back().address, 0xFFE0u);
    EXPECT_EQ(loader->read(0x4400, 0xB400), std::vector<std::uint8_t>(0xB400, 0xFF));

    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    loader->clearCommands();
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
    const auto crcs = commandsOf(P::kCrcCheck);
    // 38912 bytes make 8 blocks of at most 5000, 6144 make 2, then 32.
    ASSERT_EQ(crcs.size(), 11u);
    EXPECT_EQ(crcs[0].length, 5000u);
    EXPECT_EQ(crcs[7].length, 38912u - 7 * 5000);
    EXPECT_EQ(crcs[8].address, 0xE000u);
    EXPECT_EQ(crcs[10].address, 0xFFE0u);
    EXPECT_EQ(crcs[10].length, 32u);
    EXPECT_EQ(loader->flashFirmwareVersion(), "09.99Z");
}

TEST_F(FileChecksTest, SectionsAcrossASegmentBoundaryEraseEverySegmentTheyTouch)
{
    // 48 bytes from 0xF9F0: 16 in the segment at 0xF800, 32 in the one at 0xFA00.
    // Dirty both segments first.
    ASSERT_EQ(BSL_RX_TXT("@F9F0\r\n00\r\n@FA20\r\n00\r\nq", 1), 0u);
    std::string text = "@F9F0\r\n";
    for (int line = 0; line < 3; ++line)
        text += "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\r\n";
    const std::string path = folder.write("boundary.txt", text + "q");
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
    EXPECT_EQ(loader->read(0xFA20, 1)[0], 0xFF);
}

TEST_F(FileChecksTest, AFlashCellThatDoesNotProgramIsAMismatch)
{
    vardo::sim::LoaderFaults faults;
    faults.stuckCell = 0xF900;
    loader->setFaults(faults);
    const std::string path = folder.write("stuck.txt", "@F900\r\n00 01 02\r\nq");
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);  // the loader cannot tell
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
}

TEST_F(FileChecksTest, AFailedCrcRequestMakesTheBlockAMismatch)
{
    const std::string path = folder.write("two.txt", "@F900\r\n00 01\r\n@FB00\r\n02\r\nq");
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    vardo::sim::LoaderFaults faults;
    faults.failCrcRequest = 2;
    loader->setFaults(faults);
    loader->clearCommands();
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
    EXPECT_EQ(commandsOf(P::kCrcCheck).size(), 2u);
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);  // closed at the mismatch
}

TEST_F(FileChecksTest, AFileThatCannotBeOpenedIsMinusTwo)
{
    const std::string missing = (folder.path() / "missing.txt").string();
    loader->clearCommands();
    EXPECT_EQ(EraseDataSegment_File(missing.c_str()), kFileCannotOpen);
    EXPECT_EQ(CRC_Check_File(missing.c_str()), 0xFFFFFFFEu);
    EXPECT_TRUE(loader->commands().empty());
}

// The image file changed after it was checked: its good part matches, but a
// verify that could not read to the end is no success.
TEST_F(FileChecksTest, AFileThatStopsAtAMalformedLineIsAMismatch)
{
    const std::string good = "@F900\r\n00 01 02 03\r\n";
    const std::string path = folder.write("tail.txt", good + "q");
    EXPECT_EQ(EraseDataSegment_File(path.c_str()), 0u);
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);
    EXPECT_EQ(CRC_Check_File(path.c_str()), 0u);
    folder.write("tail.txt", good + "@FB00\r\nZZ 01\r\nq");
    EXPECT_EQ(CRC_Check_File(path.c_str()), 1u);
}
