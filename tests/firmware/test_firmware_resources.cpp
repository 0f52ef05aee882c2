// The embedded resource set: exact texts, forms, sections and sizes, and that
// its password and RAM loader are the ones the virtual encoder accepts.
#include "firmware/firmware_resources.h"
#include "loader/ti_txt.h"
#include "platform/text8.h"
#include "sim/encoder_images.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

std::string text(std::string_view name) { return vardo::platform::narrowLow8(Firmware::GetString(name)); }

struct Section {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
};

std::vector<Section> sectionsOf(const std::string& image)
{
    vardo::loader::TiTxtBlockReader reader(vardo::loader::TiTxtReader::fromText(image));
    std::vector<Section> out;
    std::array<std::uint8_t, 10240> buf{};
    while (reader.more()) {
        std::uint32_t address = 0;
        const std::size_t n = reader.read(buf.data(), buf.size(), &address);
        out.push_back({address, {buf.begin(), buf.begin() + static_cast<long>(n)}});
    }
    EXPECT_FALSE(reader.failed()) << reader.reader().error();
    return out;
}

} // namespace

TEST(FirmwareResources, IdentifiersAndVersionAreExact)
{
    EXPECT_EQ(text("VID"), "0x2047");
    EXPECT_EQ(text("PID"), "0x200");
    EXPECT_EQ(text("RAM_BSL_VERSION"), "00.06.05.34");
    EXPECT_EQ(text("Forced_BOR.Text"), "@0120\r\n04 A5 \r\nq");
    EXPECT_EQ(Firmware::GetString("no such entry"), u"");
}

TEST(FirmwareResources, ImagesHaveTheirLengthsAndCrLfLinesAndEndAtQ)
{
    for (const char* name : {"password.Text", "RAM_BSL.Text", "Forced_BOR.Text"}) {
        const std::string t = text(name);
        SCOPED_TRACE(name);
        EXPECT_EQ(t.back(), 'q');
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '\n') {
                EXPECT_EQ(t[i - 1], '\r');
            }
        }
        EXPECT_EQ(vardo::loader::checkTiTxtText(t), "");
    }
    EXPECT_EQ(text("password.Text").size(), 108u);
    EXPECT_EQ(text("RAM_BSL.Text").size(), 8572u);
    EXPECT_EQ(text("Forced_BOR.Text").size(), 16u);
}

TEST(FirmwareResources, PasswordIsTheReleasedFirmwaresVectorTable)
{
    const auto sections = sectionsOf(text("password.Text"));
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].address, 0xFFE0u);
    const auto vectors = vardo::sim::encoderVectorTable();
    EXPECT_EQ(sections[0].bytes, std::vector<std::uint8_t>(vectors.begin(), vectors.end()));
    const auto firmware = vardo::sim::makeEncoderFirmware(vardo::sim::kReleasedFirmwareVersion);
    EXPECT_EQ(firmware.back().address, 0xFFE0u);
    EXPECT_EQ(firmware.back().bytes, sections[0].bytes);
}

TEST(FirmwareResources, RamLoaderHasTwoSectionsTheVirtualLoaderAccepts)
{
    const auto sections = sectionsOf(text("RAM_BSL.Text"));
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].address, 0x2500u);
    EXPECT_EQ(sections[0].bytes.size(), 117u);
    EXPECT_EQ(sections[1].address, 0x2576u);
    EXPECT_EQ(sections[1].bytes.size(), 2676u);
    EXPECT_EQ(sections[1].address + sections[1].bytes.size() - 1, 0x2FE9u);
    // Its first bytes are the version it reports.
    EXPECT_EQ(std::vector<std::uint8_t>(sections[0].bytes.begin(), sections[0].bytes.begin() + 4),
              (std::vector<std::uint8_t>{0x00, 0x06, 0x05, 0x34}));

    std::vector<std::uint8_t> memory(0x10000, 0);
    for (const auto& s : sections)
        std::copy(s.bytes.begin(), s.bytes.end(), memory.begin() + s.address);
    EXPECT_TRUE(vardo::sim::isRamLoader(memory.data()));
    memory[0x2600] ^= 0x80;
    EXPECT_FALSE(vardo::sim::isRamLoader(memory.data()));
}
