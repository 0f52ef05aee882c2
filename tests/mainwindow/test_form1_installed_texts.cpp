// The main window of the program for real encoders (the installed loader
// texts, over the virtual bus): without a usable RAM loader, or without a
// password and the operator's consent to a mass erase, the encoder is never
// sent into its loader; the upgrade window still opens.
#include "config/config_test_env.h"
#include "device/encoder.h"
#include "firmware/firmware_upgrade.h"
#include "mainwindow/form1.h"
#include "sim/encoder_images.h"
#include "sim/virtual_device.h"
#include "sim/virtual_encoder.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gmock/gmock.h>

using namespace vardo;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class InstalledTextsWindow : public testenv::Environment {
protected:
    void SetUp() override
    {
        Environment::SetUp();
        encoder = std::make_unique<sim::VirtualEncoder>();
        window = std::make_unique<Form1>();
        window->onLoad();
        EXPECT_TRUE(QTest::qWaitFor([this] { return !window->busy(); }, 10000));
        encoder->clearReceivedCommands();
        dialogs.clear();
    }
    void TearDown() override
    {
        window.reset();
        Environment::TearDown();
        encoder.reset();
    }
    std::vector<std::uint8_t> commandCodes() const
    {
        std::vector<std::uint8_t> out;
        for (const auto& c : encoder->receivedCommands())
            out.push_back(c.code);
        return out;
    }
    std::unique_ptr<sim::VirtualEncoder> encoder;
    std::unique_ptr<Form1> window;
};

} // namespace

TEST_F(InstalledTextsWindow, NoRamLoaderNoEnterBsl)
{
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    EXPECT_THAT(commandCodes(), IsEmpty());
    const std::string folder = dataHome + "/VardoInterface/loader";
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_NE(dialogs.messages()[0].find("\"RAM_BSL.Text\""), std::string::npos);
    EXPECT_NE(dialogs.messages()[0].find(folder), std::string::npos);
    EXPECT_EQ(window->openWindows().size(), 1u);
    EXPECT_EQ(encoder->mode(), sim::EncoderMode::Application);
}

TEST_F(InstalledTextsWindow, NoPasswordAsksBeforeTheMassErase)
{
    std::filesystem::create_directories(dataHome + "/VardoInterface/loader");
    testenv::writeFile(dataHome + "/VardoInterface/loader/RAM_BSL.Text", sim::toTiTxt(sim::makeRamLoader()));
    dialogs.answerQuestion(true);
    dialogs.answerQuestion(false);
    window->onUpdateFirmware();
    EXPECT_THAT(commandCodes(), IsEmpty());
    ASSERT_EQ(dialogs.records().size(), 2u);
    EXPECT_NE(dialogs.records()[1].text.find("mass erase"), std::string::npos);

    dialogs.clear();
    dialogs.answerQuestion(true);
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    // GET_STATUS, ENTER_BSL, on the upgrade window's worker.
    EXPECT_TRUE(QTest::qWaitFor([&] { return commandCodes().size() == 2; }, 5000));
    EXPECT_THAT(commandCodes(), ElementsAre(0x01, 0x0C));
}

// An encoder already waiting in its loader: Upgrade Firmware says what is missing.
TEST_F(InstalledTextsWindow, TheUpgradeWindowReportsTheMissingTexts)
{
    encoder.reset();
    sim::VirtualEncoderDevice device;
    device.encoder().unplug();
    device.loader().plugIn();
    firmware_upgrade upgrade(std::make_shared<device::EncoderSlot>());
    QSignalSpy counted(&upgrade, &firmware_upgrade::loaderCounted);
    upgrade.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return counted.count() >= 1; }, 5000));
    dialogs.answerOpenFile(std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt");
    upgrade.findChild<QPushButton*>("btnBrowse")->click();
    auto* button = upgrade.findChild<QPushButton*>("btnUpgrade");
    auto* status = upgrade.findChild<QPlainTextEdit*>("statusBox");
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return counted.count() >= 2; }, 5000));
    EXPECT_TRUE(status->toPlainText().startsWith("Starting\nNo RAM loader: the firmware upgrade needs the file "
                                                 "\"RAM_BSL.Text\""))
        << status->toPlainText().toStdString();

    std::filesystem::create_directories(dataHome + "/VardoInterface/loader");
    testenv::writeFile(dataHome + "/VardoInterface/loader/RAM_BSL.Text", sim::toTiTxt(sim::makeRamLoader()));
    dialogs.clear();
    dialogs.answerQuestion(false);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(status->toPlainText(), "Not started: no password text\n");
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_NE(dialogs.records()[0].text.find("mass erase"), std::string::npos);
    EXPECT_TRUE(device.loader().commands().empty());

    // Closed: without the password nothing can start the application; the operator is told how.
    dialogs.clear();
    upgrade.close();
    EXPECT_THAT(dialogs.messages(), ElementsAre("The encoder stays in its loader: unplug it and plug it in "
                                                "again to start its firmware.\r\n"));
    EXPECT_TRUE(device.loader().commands().empty());
}
