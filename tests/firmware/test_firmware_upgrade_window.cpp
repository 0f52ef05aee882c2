// The firmware upgrade window offscreen, on the virtual encoder and clock:
// controls and texts, the loader count, browse, the upgrade with its status
// lines and write-back, and the interplay of device changes with the workers.
#include "firmware/firmware_upgrade.h"

#include "config/config_path.h"
#include "config/inifile.h"
#include "config/upgrade_backups.h"
#include "loader/bsl430.h"
#include "sim/hotplug_sim.h"
#include "sim/virtual_device.h"
#include "support/accessibility.h"
#include "temp_folder.h"
#include "upgrade_fixture.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <fstream>

namespace {

class WindowTest : public UpgradeTest {
protected:
    WindowTest()
    {
        FileName = (folder.path() / "USBUtilityCfg.ini").string();
        vardo::config::CIniFile::Create(FileName);
        window = new firmware_upgrade(slot);
        window->setAttribute(Qt::WA_DeleteOnClose);  // as the main window opens it
        counted = std::make_unique<QSignalSpy>(window, &firmware_upgrade::loaderCounted);
        finished = std::make_unique<QSignalSpy>(window, &firmware_upgrade::upgradeFinished);
    }
    ~WindowTest() override
    {
        counted.reset();
        finished.reset();
        delete window.data();
        FileName.clear();
        vardo::sim::setDeviceWatchRefused(false);
    }

    template <class T> T* child(const char* name) const
    {
        T* c = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(c, nullptr) << name;
        return c;
    }
    QString text(const char* name) const
    {
        if (auto* label = window->findChild<QLabel*>(QString::fromLatin1(name)))
            return label->text();
        if (auto* button = window->findChild<QPushButton*>(QString::fromLatin1(name)))
            return button->text();
        return {};
    }
    bool waitForCounts(int n)
    {
        return QTest::qWaitFor([&] { return counted->count() >= n; }, 5000);
    }
    // The preparation ended on the worker with ENTER_BSL taken.
    bool prepared()
    {
        QSignalSpy spy(window, &firmware_upgrade::prepared);
        return (spy.count() > 0 || spy.wait(5000)) && spy.at(0).at(0).toBool();
    }
    bool waitForUpgrade()
    {
        return QTest::qWaitFor([&] { return finished->count() >= 1; }, 20000);
    }
    QString status() const { return child<QPlainTextEdit>("statusBox")->toPlainText(); }
    void chooseFile(const std::string& path)
    {
        dialogs.answerOpenFile(path);
        child<QPushButton>("btnBrowse")->click();
    }

    TempFolder folder;
    QPointer<firmware_upgrade> window;
    std::unique_ptr<QSignalSpy> counted;
    std::unique_ptr<QSignalSpy> finished;
};

// The settings the main window hands over: brightness, buzzer, period, keypad type, options.
vardo::link::DeviceStatus settingsOf(int led, int buzzer, int period, int keypad, int options)
{
    vardo::link::DeviceStatus s;
    s.ledBrightness = led;
    s.buzzer = buzzer;
    s.buzzerPeriod = period;
    s.keypadType = keypad;
    s.optionsFitted = options;
    return s;
}

// The status box shows each CR LF as one line break.
QString lines(std::initializer_list<const char*> parts)
{
    QString out;
    for (const char* p : parts)
        out += QString::fromUtf8(p);
    return out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

TEST_F(WindowTest, HasItsControlsTextsAndSize)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Vadro USB Encoder Firmware Upgrade"));
    EXPECT_EQ(window->size(), QSize(664, 387));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(child<QGroupBox>("groupBox1")->title(), QStringLiteral("Select which firmware to download"));
    EXPECT_EQ(text("label1"), QStringLiteral("Select Firmware"));
    EXPECT_EQ(text("btnBrowse"), QStringLiteral("&Browse"));
    EXPECT_EQ(text("label3"), QStringLiteral("File to download"));
    EXPECT_TRUE(child<QLineEdit>("filenameTextBox")->isReadOnly());
    EXPECT_EQ(text("btnUpgrade"), QStringLiteral("Upgrade Firmware"));
    EXPECT_EQ(text("btnClose"), QStringLiteral("&Close"));
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("Searching for devices"));
    EXPECT_EQ(text("label2"), QStringLiteral("VID"));
    EXPECT_EQ(text("vidLbl"), QStringLiteral("0x2047"));
    EXPECT_EQ(text("label4"), QStringLiteral("PID"));
    EXPECT_EQ(text("pidLbl"), QStringLiteral("0x0200"));
    EXPECT_EQ(child<QProgressBar>("progressBar")->maximum(), 100);
    EXPECT_TRUE(child<QPlainTextEdit>("statusBox")->isReadOnly());
    EXPECT_FALSE(child<QPushButton>("btnBrowse")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());
}

// Every control is named for a screen reader: the file field by its label, not its group.
TEST_F(WindowTest, EveryControlHasAName)
{
    window->show();
    int controls = 0;
    EXPECT_EQ(vardo::testenv::unnamedControls(window, &controls).join(' ').toStdString(), "");
    EXPECT_EQ(controls, 7);
    EXPECT_EQ(child<QLineEdit>("filenameTextBox")->accessibleName(), "File to download");
}

TEST_F(WindowTest, CountsLoadersAsTheyComeAndGo)
{
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("No device connected"));
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());

    enterLoader();  // the loader arrives
    ASSERT_TRUE(waitForCounts(2));
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("Found 1 device"));
    EXPECT_TRUE(child<QPushButton>("btnUpgrade")->isEnabled());
    EXPECT_TRUE(child<QPushButton>("btnBrowse")->isEnabled());

    vardo::sim::VirtualLoaderConfig second;
    second.path = "sim:1-2:bsl";
    vardo::sim::VirtualLoader other(second);
    other.plugIn();
    ASSERT_TRUE(waitForCounts(3));
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("Found 2 devices"));

    other.unplug();
    device->loader().unplug();
    ASSERT_TRUE(QTest::qWaitFor([&] { return text("labelNumOfDevices") == "No device connected"; }, 5000));
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("btnBrowse")->isEnabled());
}

TEST_F(WindowTest, ARefusedRegistrationStartsNoCount)
{
    vardo::sim::setDeviceWatchRefused(true);
    enterLoader();
    window->show();
    QTest::qWait(50);
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("ERROR: Unable to register device"));
    EXPECT_EQ(counted->count(), 0);
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());
}

TEST_F(WindowTest, BrowseShowsThePathAndRecordsTheFileName)
{
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    EXPECT_EQ(child<QLineEdit>("filenameTextBox")->text(), QString::fromStdString(samplePath("01.06A")));
    EXPECT_EQ(vardo::config::CIniFile::GetValue("FirmwareFile", "appSettings", FileName),
              "encoder_firmware_01.06A.txt");
    const auto records = dialogs.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().text, "(*.txt)|*.txt|All files (*.*)|*.*");

    dialogs.answerOpenFile(std::nullopt);  // cancelled: nothing changes
    child<QPushButton>("btnBrowse")->click();
    EXPECT_EQ(child<QLineEdit>("filenameTextBox")->text(), QString::fromStdString(samplePath("01.06A")));
}

TEST_F(WindowTest, BrowseWithADamagedConfigurationFileStillTakesTheFile)
{
    const std::string damaged = " [appSettings\r\n FirmwareFile=old.txt\r\n";
    folder.write("USBUtilityCfg.ini", damaged);
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    EXPECT_EQ(child<QLineEdit>("filenameTextBox")->text(), QString::fromStdString(samplePath("01.06A")));
    std::ifstream in(FileName, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, damaged);
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(WindowTest, UpgradeWithoutAFileSaysSoAndCountsAgain)
{
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    child<QPushButton>("btnUpgrade")->click();
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_EQ(finished->at(0).at(0).toBool(), false);
    EXPECT_EQ(status(), lines({"Starting\r\n", "No file specified\r\n"}));
    ASSERT_TRUE(waitForCounts(2));
    EXPECT_TRUE(child<QPushButton>("btnUpgrade")->isEnabled());
}

TEST_F(WindowTest, UpgradesTheEncoderAndWritesTheSettingsBack)
{
    enterLoader();
    vardo::link::DeviceStatus settings = settingsOf(4, 1, 2, 2, 7);
    settings.codeTable[1] = 0x1E;
    const auto keys = settings.codeTable;
    window->setRestoreValues(settings);
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    const std::string path = samplePath("01.06A");
    chooseFile(path);
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool());
    const QString s = status();
    EXPECT_TRUE(s.startsWith(lines({"Starting\r\n", "Password Sent Successfully\r\n",
                                    "Sending RAM BSL v00.06.05.34\r\n", "Done RAM BSL v00.06.05.34\r\n",
                                    "Erasing memory segments \r\n"})))
        << s.toStdString();
    EXPECT_TRUE(s.contains(QStringLiteral("Sending ") + QString::fromStdString(path) + "\n"));
    EXPECT_TRUE(s.endsWith(lines({"Firmware Sent\r\n", "Verifying memory\r\n",
                                  "Memory successfully verified\r\n"})
                           + QStringLiteral("Total programming time is ")
                           + QString::number(
                               s.section(QStringLiteral("Total programming time is "), 1).section('s', 0, 0).toInt())
                           + lines({"s \r\n", "Resetting Device...\r\nStarting application\r\n", "Done!",
                                    "\r\nThe settings were written back into the new firmware.",
                                    "\r\nThe encoder now runs firmware 01.06A."})))
        << s.toStdString();
    EXPECT_EQ(child<QProgressBar>("progressBar")->value(), 100);
    EXPECT_FALSE(child<QPushButton>("btnUpgrade")->isEnabled());  // until the next count

    // The write-back reached the new firmware, which the re-scan opened.
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(device->encoder().powerUpDefaults().keypadType, 2);
    EXPECT_EQ(device->encoder().powerUpDefaults().customTables[0], keys);
    EXPECT_NE(slot->get(), nullptr);
    EXPECT_TRUE(dialogs.messages().empty());
}

// An encoder found waiting in its loader (its firmware erased): the mass
// erase is asked at once, and the newest backup of its port goes back.
TEST_F(WindowTest, RecoversAnEncoderWaitingInItsLoaderWithTheBackupOfItsPort)
{
    std::string backup;
    ASSERT_TRUE(vardo::config::writeUpgradeBackup(settingsOf(7, 1, 2, 2, 7), FileName, "", "1-1", backup));
    vardo::sim::strandInLoader(*device);
    dialogs.answerQuestion(true);
    window->recoverLoader("1-1");
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(dialogs.records()[0].kind, vardo::platform::DialogRecord::Kind::Question);
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool()) << status().toStdString();
    EXPECT_TRUE(status().endsWith(QString::fromStdString("\nThe settings of " + backup + " were written back."
                                                         "\nThe encoder now runs firmware 01.06A.")))
        << status().toStdString();
    EXPECT_EQ(device->encoder().powerUpDefaults().ledBrightness, 7);
    EXPECT_TRUE(dialogs.messages().empty());
}

// Before the upgrade the window names the image's version beside the one that
// runs; its log names the backup; afterwards the Firmware line follows, and
// Browse opens where the last image was.
TEST_F(WindowTest, NamesTheVersionsTheBackupAndWhereBrowseOpens)
{
    firmware_upgrade::setDefaultFolder("/samples");
    QSignalSpy ended(window, &firmware_upgrade::upgradeEnded);
    slot->rescan();
    window->prepareUpgrade(slot->get(), {}, [](const vardo::link::DeviceStatus&, std::string& path) {
        path = "/backups/encoder-1-1.ini";
        return true;
    });
    ASSERT_TRUE(prepared());
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    EXPECT_EQ(dialogs.records().back().caption, "/samples");
    EXPECT_EQ(text("versionLbl"), QStringLiteral("Version: 01.05A \u2192 01.06A"));
    chooseFile(samplePath("01.05A"));
    EXPECT_EQ(dialogs.records().back().caption, std::filesystem::path(samplePath("01.06A")).parent_path().string());
    EXPECT_EQ(text("versionLbl"), QStringLiteral("Version: 01.05A \u2192 01.05A"));
    chooseFile((folder.path() / "missing.txt").string());
    EXPECT_EQ(text("versionLbl"), QStringLiteral("Version: 01.05A \u2192 not a firmware image"));
    chooseFile(samplePath("01.06A"));

    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(status().startsWith(lines({"Starting\r\n", "Settings saved to /backups/encoder-1-1.ini\r\n",
                                           "Password Sent Successfully\r\n"})))
        << status().toStdString();
    EXPECT_TRUE(text("encoderLbl").endsWith(QStringLiteral("\nFirmware: 01.06A"))) << text("encoderLbl").toStdString();
    ASSERT_EQ(ended.count(), 1);
    EXPECT_EQ(ended.at(0).at(0).toString(), QStringLiteral("Firmware upgraded: the encoder runs 01.06A"));
}

TEST_F(WindowTest, AVerificationErrorLeavesTheLoaderAndACountReenablesUpgrade)
{
    enterLoader();
    vardo::sim::LoaderFaults faults;
    faults.stuckCell = 0x6000;
    device->loader().setFaults(faults);
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    const int before = counted->count();
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_FALSE(finished->at(0).at(0).toBool());
    EXPECT_TRUE(status().endsWith(lines({"Verifying memory\r\n", "Memory verification error\r\n"})));
    // The RAM loader's start was a device change during the upgrade: the
    // completion's count is followed by one more.
    ASSERT_TRUE(waitForCounts(before + 2));
    QTest::qWait(20);
    EXPECT_EQ(counted->count(), before + 2);
    EXPECT_EQ(text("labelNumOfDevices"), QStringLiteral("Found 1 device"));
    EXPECT_TRUE(child<QPushButton>("btnUpgrade")->isEnabled());

    // Its flash is partly written: closing says so and leaves it in its loader.
    QSignalSpy back(window, &firmware_upgrade::returnedToApplication);
    window->close();
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].rfind("The encoder's flash was erased or partly written", 0), 0u);
    EXPECT_EQ(back.count(), 0);
    EXPECT_TRUE(device->loader().onBus());
}

// Opened (the encoder sent into its loader) and closed without an upgrade:
// the loader starts the application again at its reset vector.
// Settings the new firmware would refuse: asked (No by default); declined,
// the encoder stays in its application.
TEST_F(WindowTest, SettingsThatCannotBeWrittenBackAreLostOnlyWhenTheOperatorSaysSo)
{
    auto odd = device->encoder().settings();
    odd.keypadType = 9;
    device->encoder().setSettings(odd);
    slot->rescan();
    const auto keep = [](const vardo::link::DeviceStatus&, std::string&) { return true; };
    window->prepareUpgrade(slot->get(), {}, keep);
    EXPECT_FALSE(prepared());
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_NE(dialogs.records()[0].text.find("(KeypadLayout 9 is not 0-8)"), std::string::npos);
    EXPECT_EQ(device->encoder().mode(), vardo::sim::EncoderMode::Application);
    dialogs.answerQuestion(true);
    window->prepareUpgrade(slot->get(), {}, keep);
    EXPECT_TRUE(prepared());
    EXPECT_EQ(device->encoder().mode(), vardo::sim::EncoderMode::BootLoader);
}

TEST_F(WindowTest, ClosedUnusedItSendsTheEncoderBackToItsApplication)
{
    slot->rescan();
    window->prepareUpgrade(slot->get(), {}, [](const vardo::link::DeviceStatus&, std::string&) { return true; });
    ASSERT_TRUE(prepared());
    EXPECT_EQ(text("encoderLbl"), QStringLiteral("Encoder: port 1-1, serial VE710-000001\nFirmware: 01.05A"));
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    ASSERT_EQ(text("labelNumOfDevices"), QStringLiteral("Found 1 device"));
    QSignalSpy back(window, &firmware_upgrade::returnedToApplication);
    child<QPushButton>("btnClose")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return back.count() == 1; }, 5000));
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_FALSE(device->loader().onBus());
    EXPECT_EQ(device->encoder().mode(), vardo::sim::EncoderMode::Application);
    EXPECT_TRUE(slot->rescan());
}

TEST_F(WindowTest, AfterASuccessTheDeviceChangeWaitsForTheNextCount)
{
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    QTest::qWait(20);
    EXPECT_EQ(counted->count(), 1);
    // The next loader arrival counts, and the flag left by the upgrade adds one more.
    vardo::sim::VirtualLoaderConfig second;
    second.path = "sim:1-3:bsl";
    vardo::sim::VirtualLoader other(second);
    other.plugIn();
    ASSERT_TRUE(waitForCounts(3));
    QTest::qWait(20);
    EXPECT_EQ(counted->count(), 3);
}

TEST_F(WindowTest, AnUpgradePressedDuringACountWaitsForIt)
{
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    {
        // A count holds the library; the upgrade must not start before it lets go.
        std::unique_lock busy(vardo::loader::libraryMutex());
        child<QPushButton>("btnUpgrade")->click();
        QTest::qWait(50);
        EXPECT_TRUE(device->loader().commands().empty());
        EXPECT_EQ(status(), QStringLiteral("Starting\n"));
    }
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool());
}

TEST_F(WindowTest, AFileInANonLatinFolderUpgrades)
{
    std::ifstream in(samplePath("01.06A"), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string path = folder.write("Обновление/fw 01.06A.txt", image);
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(path);
    EXPECT_EQ(child<QLineEdit>("filenameTextBox")->text(), QString::fromUtf8(path.c_str()));
    EXPECT_EQ(vardo::config::CIniFile::GetValue("FirmwareFile", "appSettings", FileName), "fw 01.06A.txt");
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool()) << status().toStdString();
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
}

TEST_F(WindowTest, AMalformedFileIsRefusedWithAStatusLine)
{
    const std::string path = folder.write("bad.txt", "@4400\r\n01 02 0\r\nq");
    enterLoader();
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(path);
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_EQ(status(), lines({"Starting\r\n",
                               "Not a valid TI-TXT firmware file (line 2: \"0\" is not a two-digit byte)\r\n"}));
    EXPECT_TRUE(device->loader().commands().empty());
}

TEST_F(WindowTest, ClosedDuringAnUpgradeItFinishesWritesBackAndGoes)
{
    enterLoader();
    window->setRestoreValues(settingsOf(3, 1, 2, 7, 7));
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    {
        std::unique_lock busy(vardo::loader::libraryMutex());
        child<QPushButton>("btnUpgrade")->click();
        // It stays, says why, and says it once.
        window->close();
        window->close();
        EXPECT_FALSE(window.isNull());
        EXPECT_TRUE(window->isVisible());
        ASSERT_EQ(dialogs.records().size(), 2u);  // the file picker, then the box
        EXPECT_EQ(dialogs.records()[1].caption, "Firmware Upgrade");
        EXPECT_EQ(dialogs.records()[1].text.rfind("The firmware upgrade is still running", 0), 0u);
    }
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool());
    EXPECT_EQ(device->encoder().powerUpDefaults().keypadType, 7);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 5000));
}

// Unplugged while the RAM loader starts, the encoder comes back in its old
// application: the window sends it into its loader again and finds it there.
TEST_F(WindowTest, ReplugAfterAFailedStartCountsTheEncoderAgain)
{
    slot->rescan();
    window->prepareUpgrade(slot->get(), {}, {});
    ASSERT_TRUE(prepared());
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    vardo::sim::LoaderFaults faults;
    faults.unplugAfterPackets = 10;   // within the RAM loader's upload
    device->loader().setFaults(faults);
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_FALSE(finished->at(0).at(0).toBool());
    // What happened, then what to do.
    EXPECT_TRUE(status().endsWith(lines({"USB device was unplugged!\r\n",
                                         "Plug it back in and press Upgrade Firmware.\r\n"})))
        << status().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return text("labelNumOfDevices") == "No device connected"; }, 5000));
    device->loader().setFaults({});
    device->plugIn();
    EXPECT_TRUE(QTest::qWaitFor([&] { return text("labelNumOfDevices") == "Found 1 device"; }, 5000));
    EXPECT_TRUE(child<QPushButton>("btnUpgrade")->isEnabled());
}

TEST_F(WindowTest, ClosedWhenIdleItIsReleased)
{
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    child<QPushButton>("btnClose")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 5000));
}

// The new firmware never starts: the window says so, and the write-back stops at its first step.
TEST_F(WindowTest, AnEncoderThatDoesNotComeBackIsSaidAndNothingIsWrittenBack)
{
    enterLoader();
    window->setRestoreValues(settingsOf(4, 1, 2, 2, 7));
    device->loader().setRestartHandler([](const std::string&) {});
    window->show();
    ASSERT_TRUE(waitForCounts(1));
    chooseFile(samplePath("01.06A"));
    child<QPushButton>("btnUpgrade")->click();
    ASSERT_TRUE(waitForUpgrade());
    EXPECT_TRUE(finished->at(0).at(0).toBool());  // programmed and restarted
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.messages().size() >= 2; }, 5000));
    EXPECT_EQ(dialogs.messages(),
              (std::vector<std::string>{"Vardo 710 Encoder not connected..\r\n", "Unable to set option..\r\n"}));
    EXPECT_EQ(dialogs.records().back().caption, "Vardo USB ENCODER");
}
