// Status unpacking shared by every window, and the command senders.
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

using namespace vardo;
using link::DeviceStatus;
using Table = link::CodeTable;

namespace {

// A status message: settings 10..15 with layout `layout`, table bytes 100..,
// then the version "AB.CDE" and `extra` trailing bytes.
std::vector<std::uint8_t> message(std::uint8_t layout, std::size_t tableBytes, std::size_t extra = 0)
{
    std::vector<std::uint8_t> m{10, 11, 12, 13, 14, layout};
    for (std::size_t i = 0; i < tableBytes; ++i)
        m.push_back(static_cast<std::uint8_t>(100 + i));
    for (char c : std::string("AB.CDE"))
        m.push_back(static_cast<std::uint8_t>(c));
    m.insert(m.end(), extra, 0x77);
    return m;
}

Table filled(std::uint8_t value)
{
    Table t;
    t.fill(value);
    return t;
}

TEST(StatusMessage, TableSectionLengthFollowsTheLayout)
{
    for (int layout : {0, 1, 2})
        EXPECT_EQ(link::statusTableBytes(layout), 8);
    for (int layout : {3, 4, 5})
        EXPECT_EQ(link::statusTableBytes(layout), 24);
    for (int layout : {6, 7, 8, 9, 255, -1})
        EXPECT_EQ(link::statusTableBytes(layout), 32);
}

TEST(StatusMessage, UnpacksEveryLayoutAndKeepsTableBytesPastTheSection)
{
    struct Case {
        std::uint8_t layout;
        std::size_t k;
    };
    for (auto [layout, k] : {Case{1, 8}, Case{3, 24}, Case{7, 32}, Case{9, 32}}) {
        DeviceStatus s;
        s.codeTable = filled(0xEE);
        const auto m = message(layout, k);
        ASSERT_EQ(m.size(), 12 + k);
        ASSERT_TRUE(link::unpackStatusMessage(m, s)) << int(layout);
        EXPECT_EQ(s.ledBrightness, 10);
        EXPECT_EQ(s.ledColour, 11);
        EXPECT_EQ(s.buzzer, 12);
        EXPECT_EQ(s.optionsFitted, 13);
        EXPECT_EQ(s.buzzerPeriod, 14);
        EXPECT_EQ(s.keypadType, layout);
        EXPECT_EQ(s.firmwareVersion, "AB.CDE");
        for (std::size_t i = 0; i < 32; ++i)
            EXPECT_EQ(s.codeTable[i], i < k ? 100 + i : 0xEE) << "layout " << int(layout) << " byte " << i;
    }
}

TEST(StatusMessage, TwelveKeyVersionStartsAtOffsetThirty)
{
    auto m = message(3, 24);
    ASSERT_EQ(m.size(), 36u);
    EXPECT_EQ(m[30], 'A');
    DeviceStatus s;
    ASSERT_TRUE(link::unpackStatusMessage(m, s));
    EXPECT_EQ(s.firmwareVersion, "AB.CDE");
    // Bytes after the version are not read.
    auto longer = message(3, 24, 8);
    ASSERT_TRUE(link::unpackStatusMessage(longer, s));
    EXPECT_EQ(s.firmwareVersion, "AB.CDE");
}

TEST(StatusMessage, ShortMessageChangesNothing)
{
    DeviceStatus s;
    s.ledBrightness = 3;
    s.firmwareVersion = "OLD123";
    s.codeTable = filled(0x11);
    auto full = message(6, 32);
    for (std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{6}, full.size() - 1}) {
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(link::unpackStatusMessage(cut, s)) << size;
    }
    // Twenty bytes suit a 4-key layout but not a 16-key one.
    auto m = message(0, 8);
    m[5] = 8;
    EXPECT_FALSE(link::unpackStatusMessage(m, s));
    EXPECT_EQ(s.ledBrightness, 3);
    EXPECT_EQ(s.firmwareVersion, "OLD123");
    EXPECT_EQ(s.codeTable, filled(0x11));
}

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override
    {
        if (device)
            hid_close(device);
        sim::Bus::instance().reset();
    }
    hid_device* open()
    {
        char m[48], p[48];
        device = ScanForUSBDevice_a(0x2047, 0x0902, m, p);
        return device;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    hid_device* device = nullptr;
};

TEST_F(CommandsTest, ReadDeviceStatusFillsFieldsFromTheEncoder)
{
    sim::VirtualEncoder encoder;
    auto settings = encoder.settings();
    settings.ledBrightness = 7;
    settings.optionsFitted = 5;
    settings.keypadType = 8;
    settings.customTables[2][31] = 0x99;
    encoder.setSettings(settings);
    encoder.setFirmwareVersion("02.00B");
    ASSERT_NE(open(), nullptr);

    DeviceStatus s;
    ASSERT_EQ(link::readDeviceStatus(device, s), link::Result::Ok);
    EXPECT_EQ(s.ledBrightness, 7);
    EXPECT_EQ(s.optionsFitted, 5);
    EXPECT_EQ(s.keypadType, 8);
    EXPECT_EQ(s.firmwareVersion, "02.00B");
    EXPECT_EQ(s.codeTable, settings.customTables[2]);
}

TEST_F(CommandsTest, FailedStatusReadChangesNothing)
{
    sim::VirtualEncoder encoder;
    auto settings = encoder.settings();
    settings.keypadType = 6;
    encoder.setSettings(settings);
    ASSERT_NE(open(), nullptr);
    DeviceStatus s;
    ASSERT_EQ(link::readDeviceStatus(device, s), link::Result::Ok);
    const DeviceStatus before = s;

    // A valid frame one byte short of its status message: the last version
    // byte would otherwise come from an earlier reply.
    encoder.setKeypadTypeRaw(0);
    encoder.injectFault({sim::EncoderFault::ShortStatus});
    // Each failure keeps its reason.
    EXPECT_EQ(link::readDeviceStatus(device, s), link::Result::Refused);
    encoder.injectFault({sim::EncoderFault::Refuse});
    EXPECT_EQ(link::readDeviceStatus(device, s), link::Result::Refused);
    EXPECT_EQ(link::readDeviceStatus(nullptr, s), link::Result::NoDevice);
    EXPECT_EQ(s.keypadType, before.keypadType);
    EXPECT_EQ(s.firmwareVersion, before.firmwareVersion);
    EXPECT_EQ(s.codeTable, before.codeTable);

    EXPECT_EQ(link::readDeviceStatus(device, s), link::Result::Ok);
    EXPECT_EQ(s.keypadType, 0);
}

TEST_F(CommandsTest, SendersFrameTheirPayloadAndWaitFiveSeconds)
{
    auto d = sim::ScriptedDevice::create();
    d->attach();
    ASSERT_NE(open(), nullptr);
    d->scriptReply({{1, sim::makeReplyReport(7)}});
    d->scriptReply({{1, sim::makeReplyReport(5)}});
    EXPECT_EQ(link::sendByteCommand(device, link::SET_KEYPAD_TYPE, 8), link::Result::Ok);
    Table table;
    std::iota(table.begin(), table.end(), std::uint8_t{1});
    EXPECT_EQ(link::sendCommand(device, link::LOAD_CODE_TABLE, table), link::Result::Ok);

    const auto start = clock.nowMs();
    EXPECT_EQ(link::sendCommand(device, link::WRITE_DEFAULTS), link::Result::Timeout);
    EXPECT_EQ(clock.nowMs() - start, 5000u);
    std::vector<std::uint8_t> tooLong(56, 0);
    EXPECT_EQ(link::sendCommand(device, link::LOAD_CODE_TABLE, tooLong), link::Result::NoDevice);

    const auto w = d->writes();
    ASSERT_EQ(w.size(), 3u);
    const sim::Report keypad{0x3F, 0x40, 0x02, '0', '7', '0', '1', 0x08, 0x03,
                             static_cast<std::uint8_t>(0x02 ^ '0' ^ '7' ^ '0' ^ '1' ^ 0x08 ^ 0x03)};
    EXPECT_TRUE(std::equal(keypad.begin(), keypad.end(), w[0].begin()));
    EXPECT_EQ(w[1][5], '2');
    EXPECT_EQ(w[1][6], '0');
    EXPECT_TRUE(std::equal(table.begin(), table.end(), w[1].begin() + 7));
    EXPECT_EQ(w[2][3], '0');
    EXPECT_EQ(w[2][4], '9');
}

} // namespace
