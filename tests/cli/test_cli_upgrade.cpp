// `upgrade` in-process on a two-faced virtual encoder and the virtual clock:
// the commands around the loader sequence, the backup file, the write-back,
// and a failure that leaves the encoder in its loader for another try.
#include "cli/exit_codes.h"
#include "cli_test_env.h"
#include "device/port_lock.h"
#include "config/file_size_limit.h"
#include "sim/sim_state.h"
#include "sim/virtual_device.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vardo;
using namespace vardo::clitest;

namespace {

constexpr std::uint8_t SET_OPTIONS = 0x0B, ENTER_BSL = 0x0C;

class CliUpgradeTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        removeEncoders();
        device = addDevice(1);
    }
    void TearDown() override
    {
        devices.clear();
        CliTest::TearDown();
    }

    sim::VirtualEncoderDevice* addDevice(int n)
    {
        sim::VirtualEncoderDeviceConfig config;
        config.encoder.port = "sim:1-" + std::to_string(n);
        config.encoder.serial = L"VE710-00000" + std::to_wstring(n);
        auto d = std::make_unique<sim::VirtualEncoderDevice>(config);
        d->encoder().setSettings(testSettings());
        d->encoder().setPowerUpDefaults(testSettings());
        devices.push_back(std::move(d));
        return devices.back().get();
    }

    // The backup files beside the configuration file.
    std::vector<std::string> backups() const
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dataHome + "/VardoInterface", ec))
            if (e.path().filename().string().rfind("USBUtilityCfg-", 0) == 0)
                out.push_back(e.path().string());
        return out;
    }

    std::vector<std::unique_ptr<sim::VirtualEncoderDevice>> devices;
    sim::VirtualEncoderDevice* device = nullptr;
};

std::vector<Sent> writeBack(const sim::EncoderSettings& s)
{
    const auto& table = s.customTables[2];
    return {{SET_OPTIONS, {s.optionsFitted}},
            {SET_BUZZER, {s.buzzer}},
            {SET_BUZZER_PERIOD, {s.buzzerPeriod}},   // as the status reported it, no + 1
            {SET_KEYPAD_TYPE, {s.keypadType}},
            {LOAD_CODE_TABLE, {table.begin(), table.end()}},
            {SET_LED_BRIGHTNESS, {s.ledBrightness}},
            {WRITE_DEFAULTS, {}}};
}

} // namespace

namespace {

sim::EncoderSettings otherSettings()
{
    sim::EncoderSettings s = sim::EncoderSettings::factory();
    s.ledBrightness = 2;
    s.buzzer = 0;
    s.buzzerPeriod = 7;
    s.keypadType = 8;
    // Codes 0x41, 0x43, ... with no modifier.
    for (std::size_t i = 0; i < s.customTables[2].size(); ++i)
        s.customTables[2][i] = static_cast<std::uint8_t>(i % 2 ? 0x40 + i : 0);
    return s;
}

// Every byte of the image is in the loader's flash.
::testing::AssertionResult holdsImage(const sim::VirtualLoader& loader, const sim::Image& image)
{
    for (const auto& section : image)
        if (loader.read(section.address, section.bytes.size()) != section.bytes)
            return ::testing::AssertionFailure() << "section at 0x" << std::hex << section.address;
    return ::testing::AssertionSuccess();
}

// The flash that a state file's text records for its first encoder.
std::vector<std::uint8_t> imageOnRecord(const std::string& text)
{
    std::string error;
    const auto state = sim::parseSimState(text, error);
    return state && !state->encoders.empty() ? state->encoders[0].flash : std::vector<std::uint8_t>{};
}

} // namespace

TEST_F(CliUpgradeTest, UpgradesBacksUpAndWritesTheSettingsBack)
{
    const std::uint64_t slept = clock.totalSleptMs();
    const auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;

    // The firmware named before the question, the settings read, and after the
    // restart the encoder taken once it answers GET_STATUS.
    auto expected = std::vector<Sent>{{GET_STATUS, {}}, {GET_STATUS, {}}, {ENTER_BSL, {}}, {GET_STATUS, {}}};
    const auto back = writeBack(testSettings());
    expected.insert(expected.end(), back.begin(), back.end());
    expected.push_back({GET_STATUS, {}});
    EXPECT_EQ(sent(device->encoder()), expected);
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.06A");
    EXPECT_EQ(device->encoder().powerUpDefaults(), testSettings());
    // Paced by the device's modelled enumerations (1000 ms, 2000 ms), not the fixed 3000 and 6000 ms.
    EXPECT_GE(clock.totalSleptMs() - slept, 1000u + 2000u);
    EXPECT_LT(clock.totalSleptMs() - slept, 3000u + 6000u);

    // Plain progress lines, as the sequence reports them.
    EXPECT_EQ(r.out.rfind("5%\n10% Password Sent Successfully\n20% Sending RAM BSL v00.06.05.34\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("\n70% Sending " + samplePath("01.06A") + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n90% Resetting Device...\n90% Starting application\n100% Done!\n"),
              std::string::npos);

    const auto files = backups();
    ASSERT_EQ(files.size(), 1u);
    // Whose settings they are heads them.
    std::string expectedBackup = savedConfig(8, tableText(testSettings().customTables[2]), 4, 0, 1, 3);
    expectedBackup.insert(expectedBackup.find('\n') + 1, " EncoderSerial=VE710-000001\r\n EncoderPort=1-1\r\n");
    EXPECT_EQ(readFile(files[0]), expectedBackup);
    EXPECT_EQ(r.err, "The encoder on 1-1 runs firmware 01.05A.\nSettings saved to " + files[0]
                         + "\nThe encoder now runs firmware 01.06A.\n");
}

TEST_F(CliUpgradeTest, ABadImageTouchesNothing)
{
    const std::string broken = root + "/broken.txt";
    writeFile(broken, "@4400\n01 02 zz\nq\n");
    auto r = run({"upgrade", "--yes", broken});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_TRUE(r.err.rfind("'" + broken + "' is not a valid TI-TXT firmware file (", 0) == 0) << r.err;
    r = run({"upgrade", "--yes", root + "/none.txt"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Cannot read the firmware file '" + root + "/none.txt'.\n");
    EXPECT_TRUE(sent(device->encoder()).empty());
    EXPECT_EQ(run({"upgrade"}).code, cli::kExitUsage);
}

TEST_F(CliUpgradeTest, WithoutConfirmationNothingIsSent)
{
    const auto r = run({"upgrade", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "The encoder on 1-1 runs firmware 01.05A.\nNot upgraded (confirm with --yes).\n");
    // A status read only.
    EXPECT_EQ(sent(device->encoder()), (std::vector<Sent>{{GET_STATUS, {}}}));
}

TEST_F(CliUpgradeTest, WithoutTheSettingsTheUpgradeDoesNotStart)
{
    device->encoder().injectFault({sim::EncoderFault::Silence, false, GET_STATUS});
    const auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.err, "Failed to Get Device Status Message. (no reply from the encoder within 5000 ms)\n");
    EXPECT_EQ(sent(device->encoder()), (std::vector<Sent>{{GET_STATUS, {}}}));
    EXPECT_TRUE(backups().empty());
    EXPECT_EQ(device->encoder().mode(), sim::EncoderMode::Application);
}

TEST_F(CliUpgradeTest, OnAFullDiskNoEmptyBackupIsLeftAndTheEncoderStaysInItsApplication)
{
    std::filesystem::create_directories(dataHome + "/VardoInterface");
    writeFile(configPath(), testenv::kFreshConfig);
    RunResult r;
    {
        testenv::FileSizeLimit full(0);
        r = run({"upgrade", "--yes", samplePath("01.06A")});
    }
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_NE(r.err.find("\nNot upgraded: the settings could not be saved to a backup file"), std::string::npos)
        << r.err;
    EXPECT_TRUE(backups().empty());
    EXPECT_EQ(sent(device->encoder()), (std::vector<Sent>{{GET_STATUS, {}}, {GET_STATUS, {}}}));
    EXPECT_EQ(device->encoder().mode(), sim::EncoderMode::Application);
}

TEST_F(CliUpgradeTest, AFailedVerificationLeavesTheLoaderForARetryAndTheBackupRestores)
{
    sim::LoaderFaults faults;
    faults.failAllCrcRequests = true;
    device->loader().setFaults(faults);
    auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitUpgradeFailed);
    EXPECT_NE(r.out.find("85% Memory verification error\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.find("The firmware upgrade failed; the encoder waits in its loader.") != std::string::npos)
        << r.err;
    EXPECT_EQ(device->encoder().mode(), sim::EncoderMode::BootLoader);
    ASSERT_EQ(backups().size(), 1u);
    const std::string backup = backups()[0];

    // The retry finds only the loader: it upgrades it and writes back the
    // backup recorded for its port.
    device->loader().setFaults({});
    device->encoder().clearReceivedCommands();
    r = run({"upgrade", "--yes", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("The settings of " + backup + " were written back."), std::string::npos) << r.err;
    const auto retried = sent(device->encoder());
    EXPECT_NE(std::find(retried.begin(), retried.end(), Sent{WRITE_DEFAULTS, {}}), retried.end());
    EXPECT_NE(r.err.find("The encoder now runs firmware 01.06A.\n"), std::string::npos) << r.err;
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    device->encoder().clearReceivedCommands();

    // The same backup, sent by hand, puts the same settings back.
    device->encoder().clearReceivedCommands();
    r = run({"config", "apply", "--from", backup});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto table = testSettings().customTables[2];
    EXPECT_EQ(sent(device->encoder()), (std::vector<Sent>{{SET_KEYPAD_TYPE, {8}},
                                                           {LOAD_CODE_TABLE, {table.begin(), table.end()}},
                                                           {SET_LED_BRIGHTNESS, {4}},
                                                           {SET_LED_COLOUR, {0}},
                                                           {SET_BUZZER, {1}},
                                                           {SET_BUZZER_PERIOD, {3}},
                                                           {GET_STATUS, {}}}));
}

// Unplugged halfway through the write: the cable, not the flash, is named.
TEST_F(CliUpgradeTest, AnEncoderUnpluggedDuringTheWriteIsSaidToBeSo)
{
    sim::LoaderFaults faults;
    faults.unplugAfterPackets = 200;
    device->loader().setFaults(faults);
    const auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitUpgradeFailed);
    EXPECT_NE(r.out.find("85% The encoder was unplugged during the upgrade: its memory could not be verified\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Memory verification error"), std::string::npos);
    EXPECT_NE(r.err.find("The encoder was unplugged during the upgrade. Plug it in again"), std::string::npos)
        << r.err;
}

TEST_F(CliUpgradeTest, AWriteBackFailureHasItsKindAndNamesWhatHappened)
{
    device->encoder().injectFault({sim::EncoderFault::Refuse, false, SET_OPTIONS});
    const auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_NE(r.err.find("Unable to set option..\n(the encoder refused the command or its reply was invalid)\n"
                         "The firmware was upgraded, but the settings were not all written back.\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
}

TEST_F(CliUpgradeTest, TheChosenOfTwoEncodersIsUpgradedAndGetsItsSettingsBack)
{
    auto* second = addDevice(2);
    auto s = testSettings();
    s.ledBrightness = 8;
    second->encoder().setSettings(s);
    const auto r = run({"upgrade", "--yes", "--device", "VE710-000002", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(sent(device->encoder()).empty());
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.05A");
    EXPECT_EQ(second->encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(second->encoder().powerUpDefaults().ledBrightness, 8);
}

// Ours is found on its own port: another loader waiting on the bus is left
// alone. Named by no device, nothing is taken on guess.
TEST_F(CliUpgradeTest, AnotherEncoderWaitingInItsLoaderIsLeftAlone)
{
    auto* second = addDevice(2);
    sim::strandInLoader(*second);
    auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "Not upgraded: an encoder waits in its loader and more than one device is attached (loader "
                     "on 1-2, encoder on 1-1), so none is taken on its own. Name the one to upgrade with --device "
                     "PORT.\nThe encoder on 1-2 waits in its loader: recover it with 'vardo-encoder upgrade "
                     "--device 1-2 IMAGE.txt'.\n");
    EXPECT_TRUE(sent(device->encoder()).empty());

    r = run({"upgrade", "--yes", "--device", "1-1", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    EXPECT_TRUE(second->loader().commands().empty());
}

// A stuck loader is upgraded by its port: the erased device's password first
// (a half-written flash refuses it and is mass-erased), and the newest backup
// recorded for that port written back.
TEST_F(CliUpgradeTest, AStuckLoaderIsRecoveredByItsPortWithTheNewestBackupOfThatPort)
{
    const std::string folder = dataHome + "/VardoInterface";
    std::filesystem::create_directories(folder);
    const auto backup = [&](const std::string& name, int brightness, const std::string& key, int age) {
        const std::string path = folder + "/USBUtilityCfg-" + name + ".ini";
        writeFile(path, savedConfig(8, tableText(otherSettings().customTables[2]), brightness, 0, 0, 6, 5) + " " + key + "\r\n");
        const timespec times[2] = {{1700000000 - age, 0}, {1700000000 - age, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    };
    backup("old", 1, "EncoderPort=1-2", 100);
    const std::string newest = backup("new", 7, "EncoderPort=1-2", 10);
    backup("other", 2, "EncoderPort=1-1", 0);
    backup("serial", 3, "EncoderSerial=VE710-000009", 0);

    const struct {
        const char* name;
        bool halfWritten;
        int massErases;
    } rows[] = {{"erased flash", false, 0}, {"half-written flash", true, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        devices.clear();
        device = addDevice(1);
        auto* stuck = addDevice(2);
        sim::strandInLoader(*stuck);
        if (row.halfWritten)
            stuck->loader().loadImage({{0x4400, {0x12, 0x34}}, {0xFFE0, std::vector<std::uint8_t>(30, 0x44)}});
        const auto r = run({"upgrade", "--yes", "--device", "1-2", samplePath("01.06A")});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(stuck->loader().massErases(), row.massErases);
        EXPECT_EQ(stuck->encoder().firmwareVersion(), "01.06A");
        EXPECT_TRUE(holdsImage(stuck->loader(), sim::makeEncoderFirmware("01.06A")));
        EXPECT_EQ(stuck->encoder().powerUpDefaults().ledBrightness, 7);
        // The new firmware's first answer, then the write-back.
        const auto toStuck = sent(stuck->encoder());
        ASSERT_GE(toStuck.size(), 2u);
        EXPECT_EQ(toStuck[0], (Sent{GET_STATUS, {}}));
        EXPECT_EQ(toStuck[1], (Sent{SET_OPTIONS, {5}}));
        EXPECT_TRUE(sent(device->encoder()).empty());
        EXPECT_EQ(r.err, "No encoder answers on 1-2, only its loader. Its password is unknown there, so the loader "
                         "erases the whole application first (a mass erase); the application there does not run, "
                         "so nothing is lost.\nThe settings of " + newest + " (the newest backup recorded for 1-2) "
                         "will be written back.\nThe encoder now runs firmware 01.06A.\nThe settings of " + newest
                         + " were written back.\n");
    }
}

// --restore chooses the backup; a bad one is refused before anything is sent,
// and without any the settings stay as the new firmware starts.
TEST_F(CliUpgradeTest, RestoreNamesTheBackupAndWithoutOneNothingIsWrittenBack)
{
    sim::strandInLoader(*device);
    const std::string bad = root + "/bad.ini";
    writeFile(bad, savedConfig(8, "1,2,3", 4, 0, 1, 3));
    auto r = run({"upgrade", "--yes", "--restore", bad, samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "The backup '" + bad + "' cannot be written back: USBUtilityCfg.ini file holds an invalid "
                     "value for CodeTableValues.. Nothing was sent to the encoder.\n");
    EXPECT_TRUE(device->loader().commands().empty());
    EXPECT_EQ(run({"upgrade", "--all", "--yes", "--restore", bad, samplePath("01.06A")}).code, cli::kExitUsage);

    r = run({"upgrade", "--yes", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sent(device->encoder()), (std::vector<Sent>{{GET_STATUS, {}}}));   // to name the new firmware
    EXPECT_TRUE(contains(r.err, "No usable backup records 1-1: no settings will be written back")) << r.err;
    EXPECT_TRUE(contains(r.err, "No settings were read before the upgrade, so none were written back")) << r.err;

    // After an ordinary upgrade the file's settings go back instead of those read.
    const std::string chosen = root + "/chosen.ini";
    writeFile(chosen, savedConfig(8, tableText(otherSettings().customTables[2]), 9, 0, 0, 6, 5));
    r = run({"upgrade", "--yes", "--restore", chosen, samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(device->encoder().powerUpDefaults().ledBrightness, 9);
    EXPECT_EQ(backups().size(), 1u);  // the settings read are still kept
}

// ---- a bench: --all ------------------------------------------------------------


TEST_F(CliUpgradeTest, AllUpgradesEveryEncoderAtOnceEachWithItsOwnSettings)
{
    auto* second = addDevice(2);
    second->encoder().setSettings(otherSettings());
    second->encoder().setPowerUpDefaults(otherSettings());
    const auto r = run({"upgrade", "--all", "--yes", samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    const auto image = sim::makeEncoderFirmware("01.06A");
    for (auto* d : {device, second}) {
        EXPECT_TRUE(holdsImage(d->loader(), image));
        EXPECT_EQ(d->encoder().firmwareVersion(), "01.06A");
    }
    // Both were in their loaders at the same time, and each got its own settings back.
    EXPECT_EQ(device->encoder().powerUpDefaults(), testSettings());
    EXPECT_EQ(second->encoder().powerUpDefaults(), otherSettings());
    EXPECT_EQ(sent(second->encoder()).back().code, WRITE_DEFAULTS);
    EXPECT_EQ(backups().size(), 2u);
    EXPECT_TRUE(contains(r.out, "1-1  ") && contains(r.out, "1-2  "));
    EXPECT_TRUE(contains(r.out, "PORT  SERIAL        OUTCOME   BACKUP\n1-1   VE710-000001  upgraded  ")) << r.out;
}

// Encoders kept in a state file, which every change of theirs rewrites: a
// restart run by one job thread while another lists the bus writes the state
// without running the bus's due actions again, so no run hangs. Eight rounds
// keep the suite quick; --gtest_repeat runs more.
TEST_F(CliUpgradeTest, KeptEncodersComeThroughRepeatedAllUpgrades)
{
    for (int n = 2; n <= 8; ++n)
        addDevice(n);
    std::vector<sim::VirtualEncoderDevice*> all;
    for (const auto& d : devices)
        all.push_back(d.get());
    sim::SimStateFile kept(root + "/encoders.state");
    std::string error;
    ASSERT_TRUE(kept.watch(all, error)) << error;
    for (int round = 0; round < 8; ++round) {
        const std::string version = round % 2 ? "01.05A" : "01.06A";
        const auto r = run({"upgrade", "--all", "--yes", samplePath(version)});
        ASSERT_EQ(r.code, 0) << round << r.err;
        for (auto* d : all)
            EXPECT_EQ(d->encoder().firmwareVersion(), version) << round;
        const std::string state = readFile(root + "/encoders.state");
        EXPECT_EQ(state.find("mode=loader"), std::string::npos) << round;
        EXPECT_EQ(state.find("flash=image " + std::string(round % 2 ? "01.06A" : "01.05A")), std::string::npos);
    }
    EXPECT_TRUE(kept.detach(error)) << error;
}

// A kept encoder is recorded as the upgrade changes it, not only when its
// application notices: a run killed at a failed write-back leaves it on the
// new firmware, one killed after "Firmware Sent" leaves it in its loader.
TEST_F(CliUpgradeTest, KeptEncodersAreRecordedAsTheUpgradeChangesThem)
{
    sim::SimStateFile kept(root + "/encoders.state");
    std::string error;
    ASSERT_TRUE(kept.watch({device}, error)) << error;
    device->encoder().injectFault({sim::EncoderFault::Refuse, true, SET_OPTIONS});
    auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitRefused) << r.err;
    std::string state = readFile(root + "/encoders.state");
    EXPECT_TRUE(contains(state, "mode=application\n") && contains(state, "flash=image 01.06A\n")) << state;

    device->encoder().clearFaults();
    sim::LoaderFaults lost;
    lost.failAllCrcRequests = true;   // the image goes in whole, the verify fails: it stays in its loader
    device->loader().setFaults(lost);
    r = run({"upgrade", "--yes", samplePath("01.05A")});
    EXPECT_EQ(r.code, cli::kExitUpgradeFailed) << r.err;
    state = readFile(root + "/encoders.state");
    EXPECT_TRUE(contains(state, "mode=loader\n")) << state;
    EXPECT_FALSE(contains(state, "flash=image 01.06A\n")) << "the flash written is recorded";
    EXPECT_EQ(sim::captureEncoderState(*device).flash, imageOnRecord(state));
    EXPECT_TRUE(kept.detach(error)) << error;
}

// Both the erase and a write fail while the loader stays on the bus: the write
// is named, with its reason, not the erase.
TEST_F(CliUpgradeTest, AFailedWriteIsNamedBeforeAFailedErase)
{
    sim::LoaderFaults faults;
    faults.failErases = true;
    faults.refuseWritesAfterPackets = 300;   // past the RAM loader, into the image
    device->loader().setFaults(faults);
    const auto r = run({"upgrade", "--all", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitUpgradeFailed) << r.out;
    EXPECT_TRUE(contains(r.out, "1-1: write failed on 1-1: no reply from the loader")) << r.out;
    EXPECT_FALSE(contains(r.out, "erase failed")) << r.out;
}

// After the restart an encoder may stay in its loader (the image does not
// start) or vanish: each port says which, with a recovery that can work, and
// the one in its loader (8) outranks the vanished one (3).
TEST_F(CliUpgradeTest, AfterTheRestartOneStaysInItsLoaderAndOneVanishes)
{
    auto* second = addDevice(2);
    auto* third = addDevice(3);
    sim::LoaderFaults stays;
    stays.restartsAs = sim::LoaderMode::RomLoader;
    second->loader().setFaults(stays);
    sim::LoaderFaults vanishes;
    vanishes.restartsAs = sim::LoaderMode::Off;
    third->loader().setFaults(vanishes);
    const std::string image = samplePath("01.06A");
    const auto text = run({"upgrade", "--all", "--yes", image});
    EXPECT_EQ(text.code, cli::kExitUpgradeFailed) << text.out << text.err;
    EXPECT_TRUE(contains(text.out, "1-1   VE710-000001  upgraded  ")) << text.out;
    EXPECT_TRUE(contains(text.out, "1-2   VE710-000002  not back  ")) << text.out;
    EXPECT_TRUE(contains(text.out, "1-2: Recover with: vardo-encoder --device 1-2 upgrade IMAGE.txt\n"))
        << "not the image that left it there: " << text.out;
    EXPECT_TRUE(contains(text.out, "1-3: Recover with: vardo-encoder --device 1-3 config apply --from ")) << text.out;

    for (auto* d : {second, third}) {
        d->loader().setFaults({});
        d->unplug();
        d->plugIn();
    }
    second->loader().setFaults(stays);
    third->loader().setFaults(vanishes);
    const auto json = run({"upgrade", "--all", "--yes", "--json", image});
    EXPECT_EQ(json.code, cli::kExitUpgradeFailed);
    EXPECT_TRUE(contains(json.out, "\"port\":\"1-2\",\"path\":\"sim:1-2:1.1\",\"serial\":\"VE710-000002\","
                                   "\"outcome\":\"not back\",\"exit\":8,"))
        << json.out;
    EXPECT_TRUE(contains(json.out, "\"recover\":\"vardo-encoder --device 1-2 upgrade IMAGE.txt\"")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"outcome\":\"not back\",\"exit\":3,")) << json.out;

    // One encoder alone: the loader on its port says why, not "no encoder".
    devices.erase(devices.begin() + 1, devices.end());
    device->loader().setFaults(stays);
    const auto single = run({"upgrade", "--yes", image});
    EXPECT_EQ(single.code, cli::kExitUpgradeFailed) << single.err;
    EXPECT_TRUE(contains(single.err, "The encoder restarted into its loader: the image " + image
                                         + " does not start. Upgrade it with another image ('vardo-encoder "
                                           "upgrade --device 1-1 IMAGE.txt').\n"))
        << single.err;
}

// Settings the encoder would refuse at the write-back are found before
// ENTER_BSL: nothing is sent, and no recovery that would fail is printed.
TEST_F(CliUpgradeTest, SettingsThatCannotBeWrittenBackStopTheUpgradeBeforeTheLoader)
{
    auto odd = testSettings();
    odd.ledBrightness = 99;
    device->encoder().setSettings(odd);
    auto r = run({"upgrade", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_TRUE(contains(r.err, "Not upgraded: the settings read from the encoder cannot be written back "
                                "(LedBrightness 99 is not 0-9)."))
        << r.err;
    r = run({"upgrade", "--all", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_TRUE(contains(r.out, "1-1: read the settings failed on 1-1: they could not be written back "
                                "(LedBrightness 99 is not 0-9); the encoder was not changed.\n"))
        << r.out;
    EXPECT_FALSE(contains(r.out, "Try again")) << r.out;
    for (const auto& c : sent(device->encoder()))
        EXPECT_NE(c.code, ENTER_BSL);
    EXPECT_TRUE(backups().empty());
}

TEST_F(CliUpgradeTest, AnEncoderUnpluggedMidUpgradeFailsAloneWhileTheOthersFinish)
{
    auto* second = addDevice(2);
    auto* third = addDevice(3);
    sim::LoaderFaults unplug;
    unplug.unplugAfterPackets = 40;
    second->loader().setFaults(unplug);
    const auto r = run({"upgrade", "--all", "--yes", "--json", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitUpgradeFailed) << r.err;
    for (auto* d : {device, third}) {
        EXPECT_TRUE(holdsImage(d->loader(), sim::makeEncoderFirmware("01.06A")));
        EXPECT_EQ(d->encoder().powerUpDefaults(), testSettings());
    }
    EXPECT_FALSE(second->loader().onBus());
    EXPECT_TRUE(contains(r.out, "{\"port\":\"1-2\",\"path\":\"sim:1-2:1.1\",\"serial\":\"VE710-000002\","
                                "\"outcome\":\"upgrade failed\",\"exit\":8,\"backup\":\""))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\"recover\":\"vardo-encoder --device 1-2 upgrade " + samplePath("01.06A") + "\""));
    EXPECT_TRUE(contains(r.out, "; the encoder is left in its loader, without firmware.\",\"Recover with: "));
    EXPECT_TRUE(contains(r.out, "\"port\":\"1-3\",\"path\":\"sim:1-3:1.1\",\"serial\":\"VE710-000003\","
                                "\"outcome\":\"upgraded\",\"exit\":0,"));
    EXPECT_EQ(r.out.find("USB device was unplugged"), std::string::npos);  // progress is on stderr
}

// The worst-off port decides, not the last nor the largest code: settings not
// written back (5) outrank a time-out before anything was changed (6). Each
// failed port says why and what recovers it, in text and in JSON.
TEST_F(CliUpgradeTest, AllEndsWithTheWorstOffPortsStatusAndHowToRecoverEach)
{
    auto* second = addDevice(2);
    device->encoder().injectFault({sim::EncoderFault::Refuse, true, SET_OPTIONS});
    second->encoder().injectFault({sim::EncoderFault::Silence, true, GET_STATUS});
    const std::string image = samplePath("01.06A");
    for (const bool json : {false, true}) {
        std::vector<std::string> args{"upgrade", "--all", "--yes", image};
        if (json)
            args.push_back("--json");
        const auto r = run(args);
        EXPECT_EQ(r.code, cli::kExitRefused) << r.out << r.err;
        // Each backup is named, with its port, as soon as it is written.
        const std::string saved = "1-1: settings saved to ";
        const auto at = r.err.find(saved);
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::string backup = r.err.substr(at + saved.size(), r.err.find('\n', at) - at - saved.size());
        EXPECT_EQ(backups().size(), json ? 2u : 1u);
        EXPECT_TRUE(std::filesystem::is_regular_file(backup)) << backup;
        const std::string recoverFirst = "vardo-encoder --device 1-1 config apply --from " + backup
                                         + " && vardo-encoder --device 1-1 save";
        const std::string reasonFirst = "write the settings back failed on 1-1: the encoder refused the command or "
                                        "its reply was invalid; the encoder runs the new firmware without its "
                                        "settings.";
        const std::string reasonSecond = "read the settings failed on 1-2: no reply from the encoder within 5000 ms; "
                                         "the encoder was not changed.";
        if (!json) {
            EXPECT_TRUE(contains(r.out, "1-1: " + reasonFirst + "\n1-1: Recover with: " + recoverFirst + "\n1-2: "
                                            + reasonSecond + "\n1-2: Try again with: vardo-encoder --device 1-2 "
                                            "upgrade " + image + "\n"))
                << r.out;
        } else {
            EXPECT_TRUE(contains(r.out, "\"recover\":\"" + recoverFirst
                                            + "\",\"messages\":[\"Unable to set option..\",\"" + reasonFirst
                                            + "\",\"Recover with: "))
                << r.out;
            EXPECT_TRUE(contains(r.out, "\"outcome\":\"status not read\",\"exit\":6,\"backup\":\"\",\"recover\":"
                                            "\"vardo-encoder --device 1-2 upgrade " + image + "\",\"messages\":[\""
                                            + reasonSecond + "\","))
                << r.out;
        }
    }
}

TEST_F(CliUpgradeTest, AllRefusesWhileALoaderWaitsAndWithDevice)
{
    addDevice(2)->loader().plugIn();
    auto r = run({"upgrade", "--all", "--yes", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err.rfind("Not upgraded: an encoder waits in its loader already.", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, "\nThe encoder on 1-2 waits in its loader: recover it with 'vardo-encoder upgrade "
                                "--device 1-2 IMAGE.txt'.\n"))
        << r.err;
    EXPECT_TRUE(sent(device->encoder()).empty());
    EXPECT_EQ(run({"upgrade", "--all", "--device", "1-1", samplePath("01.06A")}).code, cli::kExitUsage);
    EXPECT_EQ(run({"keys", "--all"}).code, cli::kExitUsage);
}

// The image is read once before anything is sent: a pipe will do; a FIFO with
// no writer, a folder or an image without a reset vector is refused at once.
TEST_F(CliUpgradeTest, ImagesFromAPipeAndWhatIsRefusedBeforeTheEncoderIsTouched)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string image = readFile(samplePath("01.06A"));
    std::thread writer([&] {
        for (std::size_t at = 0; at < image.size();) {
            const ssize_t n = ::write(fds[1], image.data() + at, image.size() - at);
            if (n <= 0)
                break;
            at += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    auto r = run({"upgrade", "--yes", "/dev/fd/" + std::to_string(fds[0])});
    writer.join();
    ::close(fds[0]);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    device->encoder().clearReceivedCommands();
    // '-' is standard input; the progress names it so.
    r = run({"upgrade", "--yes", "-"}, image);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Sending standard input"), std::string::npos) << r.out;
    device->encoder().clearReceivedCommands();

    const std::string fifo = root + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = run({"upgrade", "--yes", fifo});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "'" + fifo + "' is not a valid TI-TXT firmware file (line 1: the image does not end with \"q\").\n");
    r = run({"upgrade", "--yes", root});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "'" + root + "' is a folder, not a firmware image file.\n");
    writeFile(root + "/novector.txt", "@4400\r\n01 02\r\nq");
    r = run({"upgrade", "--yes", root + "/novector.txt"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_NE(r.err.find("(the image has no reset vector (nothing at 0xFFFE-0xFFFF))"), std::string::npos) << r.err;
    EXPECT_TRUE(sent(device->encoder()).empty());
}

TEST_F(CliUpgradeTest, LoaderTextsGivenAsFilesAreCheckedBeforeAnythingIsSent)
{
    // A password file may be a whole image: the running firmware's vector table.
    auto r = run({"upgrade", "--yes", "--password", samplePath("01.05A"), samplePath("01.06A")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("Mass erase"), std::string::npos);
    EXPECT_EQ(device->loader().massErases(), 0);
    device->encoder().clearReceivedCommands();

    writeFile(root + "/ram.txt", "@2500\r\n01 02\r\nq");
    r = run({"upgrade", "--yes", "--ram-loader", root + "/ram.txt", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "The RAM loader " + root + "/ram.txt is not usable: it holds 2 bytes at 0x2500, not 117 "
                     "bytes at 0x2500 and 2676 bytes at 0x2576. Nothing was sent to the encoder.\n");
    r = run({"upgrade", "--yes", "--password", root + "/ram.txt", samplePath("01.06A")});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "The password " + root + "/ram.txt is not usable: it holds no whole vector table (32 bytes "
                     "at 0xFFE0-0xFFFF). Nothing was sent to the encoder.\n");
    EXPECT_EQ(run({"upgrade", "--yes", "--ram-loader", root, samplePath("01.06A")}).err,
              "'" + root + "' is a folder, not a RAM_BSL.Text file. Nothing was sent to the encoder.\n");
    EXPECT_TRUE(sent(device->encoder()).empty());
}

// Every command of several steps takes the encoder's port lock before it sends
// anything; held elsewhere, it stops at once with exit 9 and who holds it.
TEST_F(CliUpgradeTest, CommandsOfSeveralStepsAreRefusedWhileAnotherHoldsThePort)
{
    writeFile(configPath(), savedConfig(8, tableText(testSettings().customTables[2]), 4, 0, 1, 3));
    const std::string image = samplePath("01.06A");
    const std::string busy =
        "The encoder at port 1-1 is in use by another operation of this program. Try again when it has finished.";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } rows[] = {
        {{"save"}, busy},
        {{"factory-reset"}, busy},
        {{"table", "load", "1=4"}, busy},
        {{"config", "apply"}, busy},
        {{"keys"}, busy},
        {{"upgrade", "--yes", image}, busy},
        {{"upgrade", "--yes", "--all", image}, busy + " Nothing was sent to the encoders."},
        {{"save", "--all"}, "1-1: " + busy},
    };
    {
        const device::PortLock held("1-1", "");
        ASSERT_EQ(held.state(), device::PortLockState::Held);
        for (const auto& row : rows) {
            device->encoder().clearReceivedCommands();
            const auto r = run(row.args);
            EXPECT_EQ(r.code, cli::kExitEncoderBusy) << row.args[0];
            EXPECT_TRUE(contains(r.err, row.said + "\n")) << r.err;
            EXPECT_EQ(sent(device->encoder()), std::vector<Sent>{}) << row.args[0];
        }
        // A single command takes no lock; a line wrong besides is still a conflict first.
        EXPECT_EQ(run({"status"}).code, cli::kExitOk);
        const auto r = run({"save", "--from", "x"});
        EXPECT_EQ(r.code, cli::kExitEncoderBusy);
        EXPECT_EQ(r.err, busy + "\n");
    }
    EXPECT_EQ(run({"save"}).code, cli::kExitOk);

    // A lock that cannot be made locks nothing: refused, with the file and why.
    writeFile(root + "/not-a-folder", "");
    device::setPortLockFolderOverride(root + "/not-a-folder");
    for (const auto& row : rows) {
        const auto r = run(row.args);
        EXPECT_EQ(r.code, cli::kExitFailed) << row.args[0];
        EXPECT_TRUE(contains(r.err, "Cannot lock the encoder at port 1-1: " + root
                                        + "/not-a-folder/vardo-encoder-1-1.lock cannot be made (" + root
                                        + "/not-a-folder is not a folder)."))
            << r.err;
    }
}
