// The demo's window of the virtual encoder: what it shows of the encoder's
// state, and the keys and plug the operator works with.
#include "config/config_test_env.h"
#include "demo/virtual_encoder_window.h"
#include "link/encoder_commands.h"
#include "sim/virtual_device.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gmock/gmock.h>

using namespace vardo;
using ::testing::HasSubstr;

namespace {

class DemoWindow : public testenv::Environment {
protected:
    void SetUp() override
    {
        Environment::SetUp();
        sim::VirtualEncoderDeviceConfig config;
        config.encoder.factorySettings.optionsFitted = 7;
        config.encoder.factorySettings.keypadType = 8;
        device = std::make_unique<sim::VirtualEncoderDevice>(config);
        window = std::make_unique<demo::VirtualEncoderWindow>(*device, root);
        char m[48], p[48];
        handle = ScanForUSBDevice_a(0x2047, 0x0902, m, p);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override
    {
        if (handle)
            hid_close(handle);
        handle = nullptr;
        window.reset();
        Environment::TearDown();
        device.reset();
    }

    QString text(const char* name) const { return window->findChild<QLabel*>(name)->text(); }
    sim::VirtualEncoder& encoder() { return device->encoder(); }

    std::unique_ptr<sim::VirtualEncoderDevice> device;
    std::unique_ptr<demo::VirtualEncoderWindow> window;
    hid_device* handle = nullptr;
};

TEST_F(DemoWindow, ShowsTheKeypadOfTheLayoutInForce)
{
    auto keys = window->keyButtons();
    ASSERT_EQ(keys.size(), 16u);
    EXPECT_EQ(keys[0]->text(), "1\na");
    EXPECT_EQ(keys[15]->text(), "16\np");
    EXPECT_THAT(text("layoutText").toStdString(), HasSubstr("16W  Customised Table"));

    ASSERT_EQ(link::sendByteCommand(handle, link::SET_KEYPAD_TYPE, 3), link::Result::Ok);
    window->refresh();
    keys = window->keyButtons();
    ASSERT_EQ(keys.size(), 12u);
    EXPECT_EQ(keys[0]->text(), "1\nKeypad1");
    ASSERT_EQ(link::sendByteCommand(handle, link::SET_KEYPAD_TYPE, 1), link::Result::Ok);
    window->refresh();
    EXPECT_EQ(window->keyButtons().size(), 4u);
}

TEST_F(DemoWindow, PressedKeysReachTheEncoder)
{
    QTest::mouseClick(window->keyButtons()[2], Qt::LeftButton);
    ASSERT_EQ(encoder().keyStrokes().size(), 1u);
    EXPECT_EQ(encoder().keyStrokes()[0].key, 2);
    window->refresh();
    EXPECT_EQ(text("typedText"), "Typed: c");

    // In self-test mode a press becomes a key report for the host.
    ASSERT_EQ(link::sendByteCommand(handle, link::SELF_TEST, 1), link::Result::Ok);
    window->refresh();
    QTest::mouseClick(window->keyButtons()[6], Qt::LeftButton);
    std::uint8_t reply[64] = {};
    std::uint32_t length = 0;
    ASSERT_EQ(USBEncoderReceive_a(handle, 0, reply, 64, &length, 5000), 0);
    EXPECT_EQ(reply[0], 6);
}

TEST_F(DemoWindow, LampAndBuzzerFollowTheEncoder)
{
    auto* lamp = window->findChild<demo::LedLamp*>("ledLamp");
    EXPECT_EQ(lamp->level(), 5);
    EXPECT_EQ(text("ledText"), "LED level 5, white");
    ASSERT_EQ(link::sendByteCommand(handle, link::SET_LED_BRIGHTNESS, 0), link::Result::Ok);
    window->refresh();
    EXPECT_EQ(lamp->level(), 0);
    const QColor dark = lamp->shownColour();
    ASSERT_EQ(link::sendByteCommand(handle, link::SET_LED_BRIGHTNESS, 9), link::Result::Ok);
    ASSERT_EQ(link::sendByteCommand(handle, link::SET_LED_COLOUR, 2), link::Result::Ok);
    window->refresh();
    EXPECT_GT(lamp->shownColour().red(), dark.red() + 100);
    EXPECT_EQ(text("ledText"), "LED level 9, red");

    auto* buzzer = window->findChild<QLabel*>("buzzerIcon");
    ASSERT_EQ(link::sendByteCommand(handle, link::SOUND_BUZZER, 3), link::Result::Ok);
    window->refresh();
    EXPECT_THAT(buzzer->styleSheet().toStdString(), HasSubstr("#e08000"));
    EXPECT_THAT(text("buzzerText").toStdString(), HasSubstr("1 beeps"));
    clock.advance(1000);
    window->refresh();
    EXPECT_THAT(buzzer->styleSheet().toStdString(), HasSubstr("#a0a0a0"));
}

TEST_F(DemoWindow, PlugTogglesTheEncoderOnTheBus)
{
    auto* plug = window->findChild<QPushButton*>("plugButton");
    EXPECT_EQ(plug->text(), "Unplug");
    QTest::mouseClick(plug, Qt::LeftButton);
    EXPECT_EQ(encoder().mode(), sim::EncoderMode::Unplugged);
    EXPECT_EQ(plug->text(), "Plug In");
    EXPECT_EQ(text("modeText"), "Unplugged");
    EXPECT_FALSE(window->keyButtons()[0]->isEnabled());
    EXPECT_NE(link::sendByteCommand(handle, link::SET_BUZZER, 0), link::Result::Ok);

    QTest::mouseClick(plug, Qt::LeftButton);
    EXPECT_EQ(encoder().mode(), sim::EncoderMode::Application);
    EXPECT_TRUE(window->keyButtons()[0]->isEnabled());

    // Pulled mid-upgrade, after the reset vector was erased: the chip can only start its loader.
    QTest::mouseClick(plug, Qt::LeftButton);
    device->loader().loadImage({{sim::kResetVector, {0xFF, 0xFF}}});
    QTest::mouseClick(plug, Qt::LeftButton);
    EXPECT_EQ(encoder().mode(), sim::EncoderMode::BootLoader);
    EXPECT_EQ(device->loader().mode(), sim::LoaderMode::RomLoader);
    EXPECT_EQ(text("modeText"), "Boot loader on the USB bus");
    EXPECT_EQ(plug->text(), "Unplug");
    QTest::mouseClick(plug, Qt::LeftButton);
    EXPECT_FALSE(device->loader().onBus());
}

TEST_F(DemoWindow, ShowsEveryEncoderOnTheBusAndPressesReachOnlyTheShownOne)
{
    EXPECT_EQ(window->findChild<QComboBox*>("encoderChooser"), nullptr);
    sim::VirtualEncoderDeviceConfig config;
    config.encoder.port = "sim:1-2";
    config.encoder.serial = L"VE710-000002";
    sim::VirtualEncoderDevice second(config);
    window = std::make_unique<demo::VirtualEncoderWindow>(
        std::vector<sim::VirtualEncoderDevice*>{device.get(), &second}, root);
    auto* chooser = window->findChild<QComboBox*>("encoderChooser");
    ASSERT_NE(chooser, nullptr);
    ASSERT_EQ(chooser->count(), 2);
    EXPECT_EQ(chooser->itemText(0), "1-1   VE710-000001");
    EXPECT_EQ(chooser->itemText(1), "1-2   VE710-000002");
    EXPECT_EQ(window->keyButtons().size(), 16u);

    chooser->setCurrentIndex(1);
    ASSERT_EQ(window->keyButtons().size(), 4u);  // its own layout
    QTest::mouseClick(window->keyButtons()[1], Qt::LeftButton);
    ASSERT_EQ(second.encoder().keyStrokes().size(), 1u);
    EXPECT_EQ(second.encoder().keyStrokes()[0].key, 1);
    EXPECT_TRUE(encoder().keyStrokes().empty());
    window->togglePlug();
    EXPECT_EQ(second.encoder().mode(), sim::EncoderMode::Unplugged);
    EXPECT_EQ(encoder().mode(), sim::EncoderMode::Application);
    window.reset();
}

TEST_F(DemoWindow, TellsWhereTheSampleFirmwareIs)
{
    testenv::writeFile(root + "/encoder_firmware_01.05A.txt", "@4400\nq\n");
    testenv::writeFile(root + "/encoder_firmware_01.06A.txt", "@4400\nq\n");
    window->showSampleFirmware();
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].icon, platform::MessageIcon::Information);
    EXPECT_THAT(records[0].text, HasSubstr(root + "/encoder_firmware_01.05A.txt"));
    EXPECT_THAT(records[0].text, HasSubstr(root + "/encoder_firmware_01.06A.txt"));
}

} // namespace
