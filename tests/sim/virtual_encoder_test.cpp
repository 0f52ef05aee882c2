// The virtual encoder through the real link code: every command's effect on
// its state, stored and factory defaults, re-enumeration, the boot-loader
// hand-over, self-test key reports and the injected faults.
#include "sim/virtual_encoder.h"

#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <vector>

using namespace vardo;
using link::EncoderCommand;
using sim::EncoderFault;
using sim::EncoderMode;
using sim::VirtualEncoder;

namespace {

class VirtualEncoderTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override
    {
        close();
        sim::Bus::instance().reset();
    }
    hid_device* scan()
    {
        close();
        char m[48], p[48];
        device = ScanForUSBDevice_a(0x2047, 0x0902, m, p);
        return device;
    }
    void close()
    {
        if (device)
            hid_close(device);
        device = nullptr;
    }
    std::int32_t send(EncoderCommand code, std::vector<std::uint8_t> payload = {})
    {
        return USBEncoderSendAndReceive_a(device, code, payload.data(),
                                          static_cast<std::int32_t>(payload.size()), reply.data(),
                                          64, &replyLength, 5000);
    }
    // The next self-test key report, or -1 when none came.
    int nextKey(std::int32_t timeoutMs = 5000)
    {
        if (USBEncoderReceive_a(device, 0, reply.data(), 64, &replyLength, timeoutMs) != 0)
            return -1;
        return reply[0];
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    hid_device* device = nullptr;
    std::array<std::uint8_t, 64> reply{};
    std::uint32_t replyLength = 0;
};

// ---- commands ------------------------------------------------------------------

TEST_F(VirtualEncoderTest, SettingCommandsTakeEffectAtOnce)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    EXPECT_EQ(send(link::SET_LED_BRIGHTNESS, {6}), 0);
    EXPECT_EQ(send(link::SET_LED_COLOUR, {2}), 0);
    EXPECT_EQ(send(link::SET_BUZZER, {0}), 0);
    EXPECT_EQ(send(link::SET_BUZZER_PERIOD, {10}), 0);
    EXPECT_EQ(send(link::SET_KEYPAD_TYPE, {5}), 0);
    EXPECT_EQ(send(link::SET_OPTIONS, {3}), 0);
    EXPECT_EQ(replyLength, 0u);
    EXPECT_EQ(encoder.ledBrightness(), 6);
    EXPECT_EQ(encoder.ledColour(), 2);
    EXPECT_EQ(encoder.buzzer(), 0);
    EXPECT_EQ(encoder.buzzerPeriod(), 10);
    EXPECT_EQ(encoder.keypadType(), 5);
    EXPECT_EQ(encoder.optionsFitted(), 3);

    link::DeviceStatus s;
    ASSERT_EQ(link::readDeviceStatus(device, s), link::Result::Ok);
    EXPECT_EQ(s.ledBrightness, 6);
    EXPECT_EQ(s.ledColour, 2);
    EXPECT_EQ(s.buzzer, 0);
    EXPECT_EQ(s.buzzerPeriod, 10);
    EXPECT_EQ(s.keypadType, 5);
    EXPECT_EQ(s.optionsFitted, 3);
    // Nothing was kept: a power cycle brings the factory settings back.
    EXPECT_EQ(encoder.powerUpDefaults(), sim::EncoderSettings::factory());
}

TEST_F(VirtualEncoderTest, OutOfRangeValuesAndMalformedCommandsAreRefused)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    const auto before = encoder.settings();
    struct Case {
        EncoderCommand code;
        std::vector<std::uint8_t> payload;
    };
    const std::vector<Case> cases = {
        {link::SET_LED_BRIGHTNESS, {10}}, {link::SET_LED_COLOUR, {3}},
        {link::SET_BUZZER, {2}},          {link::SET_BUZZER_PERIOD, {11}},
        {link::SET_KEYPAD_TYPE, {9}},     {link::SET_OPTIONS, {8}},
        {link::SELF_TEST, {0}},           {link::SOUND_BUZZER, {10}},
        {link::SET_LED_BRIGHTNESS, {}},   {link::SET_LED_BRIGHTNESS, {1, 2}},
        {link::GET_STATUS, {1}},          {link::LOAD_CODE_TABLE, std::vector<std::uint8_t>(8, 4)},
        {static_cast<EncoderCommand>(0x0E), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(send(c.code, c.payload), -13) << int(c.code) << "/" << c.payload.size();
    EXPECT_EQ(encoder.settings(), before);
    const auto log = encoder.receivedCommands();
    ASSERT_EQ(log.size(), cases.size());
    EXPECT_FALSE(log.back().accepted);
    EXPECT_EQ(log.back().code, 0x0E);
}

TEST_F(VirtualEncoderTest, StatusMessageFollowsTheLayout)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::GET_STATUS), 0);
    const std::vector<std::uint8_t> expected = {5, 0, 1, 7, 1, 0,    0x00, 0x3A, 0x00, 0x3B,
                                                0x00, 0x3C, 0x00, 0x3D, '0', '1', '.', '0', '5', 'A'};
    ASSERT_EQ(replyLength, 20u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reply.begin()));

    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {3}), 0);
    ASSERT_EQ(send(link::GET_STATUS), 0);
    ASSERT_EQ(replyLength, 36u);
    EXPECT_EQ(reply[6 + 2 * 11], 0xE1);   // '#' is Shift+3
    EXPECT_EQ(reply[30], '0');
    EXPECT_EQ(reply[35], 'A');

    encoder.setKeypadTypeRaw(9);   // a code the firmware would never report
    ASSERT_EQ(send(link::GET_STATUS), 0);
    ASSERT_EQ(replyLength, 44u);
    EXPECT_EQ(reply[5], 9);
    EXPECT_EQ(reply[6 + 31], 0x13);   // the 16-key customised table: ... p
}

TEST_F(VirtualEncoderTest, CodeTableLoadsIntoTheCustomisedTableOfTheKeypadSize)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    std::vector<std::uint8_t> table(32, 0);
    table[0] = 0xE0;
    table[1] = 0x28;
    table[31] = 0x44;   // past the 4 keys, kept all the same

    ASSERT_EQ(send(link::LOAD_CODE_TABLE, table), 0);   // layout 0: function keys
    EXPECT_EQ(encoder.activeCodeTable(), VirtualEncoder::predefinedTable(0));
    EXPECT_TRUE(std::equal(table.begin(), table.end(), encoder.settings().customTables[0].begin()));

    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {2}), 0);
    EXPECT_TRUE(std::equal(table.begin(), table.end(), encoder.activeCodeTable().begin()));
    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {8}), 0);
    table[1] = 0x29;
    ASSERT_EQ(send(link::LOAD_CODE_TABLE, table), 0);
    EXPECT_EQ(encoder.settings().customTables[2][1], 0x29);
    EXPECT_EQ(encoder.settings().customTables[0][1], 0x28);
}

// ---- stored and factory defaults --------------------------------------------------

TEST_F(VirtualEncoderTest, WriteDefaultsKeepsSettingsOverAPowerCycle)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {2}), 0);
    encoder.unplug();
    encoder.plugIn();
    EXPECT_EQ(encoder.ledBrightness(), 5);

    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {2}), 0);
    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {7}), 0);
    ASSERT_EQ(send(link::WRITE_DEFAULTS), 0);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {9}), 0);
    encoder.unplug();
    encoder.plugIn();
    EXPECT_EQ(encoder.ledBrightness(), 2);
    EXPECT_EQ(encoder.keypadType(), 7);
}

TEST_F(VirtualEncoderTest, FactoryResetReEnumeratesWithFactorySettings)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {4}), 0);
    ASSERT_EQ(send(link::WRITE_DEFAULTS), 0);

    ASSERT_EQ(send(link::FACTORY_RESET), 0);
    EXPECT_EQ(encoder.mode(), EncoderMode::Resetting);
    EXPECT_EQ(send(link::GET_STATUS), -1);   // the old handle is stale

    clock.sleepMs(1000);
    EXPECT_EQ(scan(), nullptr);               // still restarting
    clock.sleepMs(2000);                      // the main window's 3000 ms in all
    ASSERT_NE(scan(), nullptr);
    EXPECT_TRUE(encoder.plugged());
    EXPECT_EQ(encoder.settings(), sim::EncoderSettings::factory());
    EXPECT_EQ(encoder.powerUpDefaults(), sim::EncoderSettings::factory());
    EXPECT_EQ(send(link::GET_STATUS), 0);
}

TEST_F(VirtualEncoderTest, FactoryResetHappensEvenWhenTheReplyIsNeverRead)
{
    sim::VirtualEncoderConfig config;
    config.reenumerateDelayMs = 500;
    VirtualEncoder encoder(config);
    encoder.injectFault({EncoderFault::LateReply, false, link::FACTORY_RESET, 6000});
    ASSERT_NE(scan(), nullptr);
    EXPECT_EQ(send(link::FACTORY_RESET), -6);
    clock.sleepMs(3000);
    EXPECT_EQ(scan(), nullptr);   // gone 100 ms after its reply was due
    EXPECT_EQ(encoder.mode(), EncoderMode::Resetting);
    clock.sleepMs(1000);
    EXPECT_NE(scan(), nullptr);
}

// ---- boot loader ----------------------------------------------------------------------

TEST_F(VirtualEncoderTest, EnterBslLeavesTheBusAfterReplyingAndRestartsOnRequest)
{
    VirtualEncoder encoder;
    std::atomic<int> handlerCalls{0};
    std::atomic<bool> presentInHandler{true};
    encoder.setEnterBslHandler([&] {
        ++handlerCalls;
        presentInHandler = sim::Bus::instance().present(encoder.commandPath());
    });
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {1}), 0);
    ASSERT_EQ(send(link::ENTER_BSL), 0);
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_FALSE(presentInHandler);
    EXPECT_EQ(encoder.mode(), EncoderMode::BootLoader);
    EXPECT_EQ(send(link::GET_STATUS), -1);
    EXPECT_EQ(scan(), nullptr);

    encoder.restartApplication("02.01B");
    EXPECT_EQ(encoder.mode(), EncoderMode::Application);
    ASSERT_NE(scan(), nullptr);
    link::DeviceStatus s;
    ASSERT_EQ(link::readDeviceStatus(device, s), link::Result::Ok);
    EXPECT_EQ(s.firmwareVersion, "02.01B");
    EXPECT_EQ(s.ledBrightness, 5);   // power-up defaults, not the unsaved 1
    EXPECT_EQ(handlerCalls, 1);
}

// ---- self test -----------------------------------------------------------------------

TEST_F(VirtualEncoderTest, SelfTestReportsKeysAndEndsWhenEveryKeyWasPressed)
{
    VirtualEncoder encoder;   // layout 0: four keys
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SELF_TEST, {1}), 0);
    EXPECT_TRUE(encoder.selfTestMode());

    encoder.pressKey(2);
    EXPECT_EQ(nextKey(), 2);
    EXPECT_EQ(replyLength, 1u);
    encoder.pressKey(2);
    encoder.pressKey(20);   // not a key of this pad: reported, not counted
    encoder.pressKey(0);
    encoder.pressKey(1);
    EXPECT_TRUE(encoder.keyTestRunning());
    encoder.pressKey(3);
    EXPECT_FALSE(encoder.keyTestRunning());
    for (int expected : {2, 20, 0, 1, 3, 255})
        EXPECT_EQ(nextKey(), expected);
    encoder.pressKey(1);   // the key test is over
    EXPECT_EQ(nextKey(), -1);
    EXPECT_TRUE(encoder.keyStrokes().empty());

    ASSERT_EQ(send(link::SELF_TEST, {2}), 0);
    EXPECT_FALSE(encoder.selfTestMode());
}

TEST_F(VirtualEncoderTest, SelfTestKeyTestEndsAfterAQuietInterval)
{
    VirtualEncoder encoder;
    encoder.setKeyTestQuietMs(8000);
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SELF_TEST, {1}), 0);
    const auto start = clock.nowMs();
    EXPECT_EQ(nextKey(), -1);      // the host gives up after 5000 ms
    clock.advance(2000);
    encoder.pressKey(1);           // and a press restarts the quiet interval
    EXPECT_EQ(nextKey(), 1);
    EXPECT_EQ(nextKey(), -1);
    EXPECT_EQ(nextKey(), 255);
    EXPECT_EQ(clock.nowMs() - start, 7000u + 8000u);
}

TEST_F(VirtualEncoderTest, OutsideSelfTestKeysTypeTheirTableEntry)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_KEYPAD_TYPE, {3}), 0);
    encoder.pressKey(11);
    encoder.pressKey(12);   // a 12-key pad has no key 12
    EXPECT_EQ(nextKey(100), -1);
    const auto strokes = encoder.keyStrokes();
    ASSERT_EQ(strokes.size(), 1u);
    EXPECT_EQ(strokes[0].key, 11);
    EXPECT_EQ(strokes[0].modifier, 0xE1);
    EXPECT_EQ(strokes[0].usage, 0x20);
}

// ---- LED and buzzer ---------------------------------------------------------------------

TEST_F(VirtualEncoderTest, LedAndBuzzerFollowTheFittedOptions)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {6}), 0);
    EXPECT_EQ(encoder.ledLevel(), 6);
    ASSERT_EQ(send(link::SOUND_BUZZER, {3}), 0);
    EXPECT_TRUE(encoder.buzzerSounding());
    EXPECT_EQ(encoder.lastSoundedPeriod(), 3);
    clock.advance(400);
    EXPECT_FALSE(encoder.buzzerSounding());

    ASSERT_EQ(send(link::SET_OPTIONS, {1}), 0);   // LED colour only: on or off
    EXPECT_EQ(encoder.ledLevel(), 9);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {0}), 0);
    EXPECT_EQ(encoder.ledLevel(), 0);
    ASSERT_EQ(send(link::SOUND_BUZZER, {5}), 0);   // accepted, but no buzzer fitted
    EXPECT_FALSE(encoder.buzzerSounding());
    EXPECT_EQ(encoder.beepCount(), 1);

    ASSERT_EQ(send(link::SET_OPTIONS, {4}), 0);
    ASSERT_EQ(send(link::SET_LED_BRIGHTNESS, {8}), 0);
    EXPECT_EQ(encoder.ledLevel(), 0);
    encoder.pressKey(0);   // buzzer on: keys click
    EXPECT_TRUE(encoder.buzzerSounding());
}

// ---- faults ------------------------------------------------------------------------------

TEST_F(VirtualEncoderTest, InjectedFaultsGiveTheirResultCodes)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    struct Case {
        EncoderFault fault;
        std::int32_t expected;
        bool executed;
    };
    const Case cases[] = {
        {EncoderFault::Refuse, -13, false},        {EncoderFault::Silence, -6, false},
        {EncoderFault::LateReply, -6, true},       {EncoderFault::BadChecksum, -13, true},
        {EncoderFault::BadLength, -13, true},      {EncoderFault::ByteCountTooLarge, -8, true},
    };
    std::uint8_t level = 0;
    for (const auto& c : cases) {
        encoder.injectFault({c.fault});
        ++level;
        EXPECT_EQ(send(link::SET_LED_BRIGHTNESS, {level}), c.expected) << int(c.fault);
        EXPECT_EQ(encoder.ledBrightness() == level, c.executed) << int(c.fault);
        clock.advance(7000);   // let a late reply pass
        EXPECT_EQ(send(link::SET_LED_BRIGHTNESS, {level}), 0) << "one-shot " << int(c.fault);
    }

    encoder.injectFault({EncoderFault::ShortStatus});
    EXPECT_EQ(send(link::SET_BUZZER, {1}), 0);    // only GET_STATUS is cut
    ASSERT_EQ(send(link::GET_STATUS), 0);
    EXPECT_EQ(replyLength, 19u);
    ASSERT_EQ(send(link::GET_STATUS), 0);
    EXPECT_EQ(replyLength, 20u);
}

TEST_F(VirtualEncoderTest, PersistentAndCommandBoundFaults)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    encoder.injectFault({EncoderFault::Refuse, true, link::SET_BUZZER});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(send(link::SET_BUZZER, {0}), -13);
    EXPECT_EQ(send(link::SET_LED_COLOUR, {1}), 0);
    encoder.clearFaults();
    EXPECT_EQ(send(link::SET_BUZZER, {0}), 0);
}

TEST_F(VirtualEncoderTest, AckReportsComeBeforeEveryReply)
{
    VirtualEncoder encoder;
    encoder.setAckReports(3, 4000);
    ASSERT_NE(scan(), nullptr);
    const auto start = clock.nowMs();
    EXPECT_EQ(send(link::GET_STATUS), 0);
    EXPECT_EQ(clock.nowMs() - start, 12001u);
    EXPECT_EQ(replyLength, 20u);
}

TEST_F(VirtualEncoderTest, UnplugPermissionAndTwoEncodersOnOneBus)
{
    VirtualEncoder encoder;
    ASSERT_NE(scan(), nullptr);
    encoder.unplug();
    EXPECT_FALSE(encoder.plugged());
    EXPECT_EQ(send(link::GET_STATUS), -1);
    EXPECT_EQ(scan(), nullptr);
    encoder.plugIn();
    EXPECT_NE(scan(), nullptr);

    encoder.setOpenable(false);
    EXPECT_EQ(scan(), nullptr);
    encoder.setOpenable(true);

    sim::VirtualEncoderConfig second;
    second.port = "sim:1-2";
    second.firmwareVersion = "09.99Z";
    VirtualEncoder other(second);
    EXPECT_EQ(sim::Bus::instance().enumerate(0x2047, 0x0902).size(), 4u);
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::GET_STATUS), 0);
    EXPECT_EQ(reply[15], '1');   // the first one attached answers
    encoder.unplug();
    ASSERT_NE(scan(), nullptr);
    ASSERT_EQ(send(link::GET_STATUS), 0);
    EXPECT_EQ(reply[15], '9');
}

TEST_F(VirtualEncoderTest, KeyboardInterfaceNeverAnswers)
{
    VirtualEncoder encoder;
    device = hid_open_path(encoder.keyboardPath().c_str());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(send(link::GET_STATUS), -6);
    EXPECT_TRUE(encoder.receivedCommands().empty());
}

TEST_F(VirtualEncoderTest, CommandLogAndListenersSeeEveryChange)
{
    VirtualEncoder encoder;
    std::atomic<int> calls{0};
    const int id = encoder.addListener([&] { ++calls; });
    ASSERT_NE(scan(), nullptr);
    const auto revision = encoder.revision();
    clock.advance(5);
    const auto at = clock.nowMs();
    ASSERT_EQ(send(link::SET_BUZZER_PERIOD, {4}), 0);
    EXPECT_GT(encoder.revision(), revision);
    EXPECT_GE(calls, 1);
    const auto log = encoder.receivedCommands();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, link::SET_BUZZER_PERIOD);
    EXPECT_EQ(log[0].payload, std::vector<std::uint8_t>{4});
    EXPECT_EQ(log[0].atMs, at);
    EXPECT_TRUE(log[0].accepted);
    EXPECT_STREQ(VirtualEncoder::commandName(log[0].code), "SET_BUZZER_PERIOD");

    encoder.removeListener(id);
    const int before = calls;
    encoder.pressKey(0);
    EXPECT_EQ(calls, before);
}

TEST_F(VirtualEncoderTest, DestroyedEncoderLeavesStaleHandles)
{
    auto encoder = std::make_unique<VirtualEncoder>();
    ASSERT_NE(scan(), nullptr);
    encoder.reset();
    EXPECT_EQ(send(link::GET_STATUS), -1);
    EXPECT_TRUE(sim::Bus::instance().enumerate(0x2047, 0x0902).empty());
}

} // namespace
