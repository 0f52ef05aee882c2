// The upgrade sequence end to end on the virtual encoder: status lines and
// percentages in order, the failure paths, the write-back and the new version.
#include "upgrade_fixture.h"

#include "device/outcome.h"
#include "firmware/upgrade_job.h"

#include "loader/loader_protocol.h"
#include "temp_folder.h"

#include <algorithm>

namespace P = vardo::loader::protocol;
using vardo::firmware::padHexStringValue;
using vardo::firmware::RestoreValues;
using vardo::sim::LoaderMode;

namespace {

Progress concat(Progress a, const Progress& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Progress afterStartUp(const std::string& path, bool erase, std::uint32_t seconds)
{
    Progress p;
    if (erase)
        p.emplace_back(60, "Erasing memory segments \r\n");
    p.emplace_back(70, "Sending " + path + "\r\n");
    p.emplace_back(75, "Firmware Sent\r\n");
    p.emplace_back(80, "Verifying memory\r\n");
    p.emplace_back(85, "Memory successfully verified\r\n");
    p.emplace_back(90, "Total programming time is " + std::to_string(seconds) + "s \r\n");
    p.emplace_back(90, "Resetting Device...\r\nStarting application\r\n");
    p.emplace_back(100, "Done!");
    return p;
}

RestoreValues someValues()
{
    RestoreValues v;
    v.known = true;
    v.ledBrightness = 6;
    v.buzzer = 0;
    v.buzzerPeriod = 3;
    v.keypadType = 8;
    v.optionsFitted = 0x107;  // only the low 8 bits travel
    for (std::size_t i = 0; i < v.codeTable.size(); ++i)
        v.codeTable[i] = static_cast<std::uint8_t>(i % 2 ? 0x04 + i : 0);
    return v;
}

int countCommand(const vardo::sim::VirtualLoader& loader, std::uint8_t command)
{
    const auto c = loader.commands();
    return static_cast<int>(std::count_if(c.begin(), c.end(),
                                          [&](const auto& r) { return r.command == command; }));
}

} // namespace

TEST(PadHexStringValue, WidensShortHexTextsToFourDigits)
{
    EXPECT_EQ(padHexStringValue("0x200"), "0x0200");
    EXPECT_EQ(padHexStringValue("0x1"), "0x0001");
    EXPECT_EQ(padHexStringValue("0x2047"), "0x2047");
    EXPECT_EQ(padHexStringValue("0x12345"), "0x12345");
    EXPECT_EQ(padHexStringValue("0x"), "0x0000");
}

TEST_F(UpgradeTest, ConnectsWithTheWidenedIdentifiers)
{
    auto s = sequence();
    EXPECT_EQ(s.myVID, "0x2047");
    EXPECT_EQ(s.myPID, "0x0200");
    EXPECT_EQ(s.connectionText(), "PID=0x0200,VID=0x2047,DEVICEINDEX=0");
    s.myPort = "1-1.3";
    EXPECT_EQ(s.connectionText(), "PID=0x0200,VID=0x2047,DEVICEINDEX=0,PORT=1-1.3");
    EXPECT_EQ(s.countLoaders(), 0u);
    enterLoader();
    EXPECT_EQ(s.countLoaders(), 1u);
}

TEST_F(UpgradeTest, UpgradesEndToEndAndWritesTheSettingsBack)
{
    enterLoader();
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.05A");
    device->encoder().clearReceivedCommands();
    auto s = sequence();
    s.job().setSettings(someValues());
    const std::string path = samplePath("01.06A");
    ASSERT_TRUE(s.run(path));
    EXPECT_TRUE(s.outcome().ok());
    const std::uint32_t seconds = (s.stopProgramTime - s.startProgramTime) / 1000;
    EXPECT_EQ(s.totalProgramTime, seconds);
    EXPECT_GE(seconds, 3u);  // erase, program and verify of 45 KB over the modelled wire
    EXPECT_EQ(takeProgress(), concat(startUpProgress(), afterStartUp(path, true, seconds)));
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.06A");
    EXPECT_EQ(device->loader().massErases(), 0);
    EXPECT_EQ(device->loader().brownOutResets(), 1);

    // The restart waited out, the settings went back.
    EXPECT_GE(clock.totalSleptMs(), 6000u);
    EXPECT_TRUE(dialogs.records().empty());

    // Followed on its loader's port, the encoder is taken once it answers GET_STATUS.
    const auto received = device->encoder().receivedCommands();
    using namespace vardo::link;
    const std::vector<std::uint8_t> expectedOrder = {GET_STATUS, SET_OPTIONS, SET_BUZZER, SET_BUZZER_PERIOD,
                                                     SET_KEYPAD_TYPE, LOAD_CODE_TABLE,
                                                     SET_LED_BRIGHTNESS, WRITE_DEFAULTS};
    ASSERT_EQ(received.size(), expectedOrder.size());
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].code, expectedOrder[i]);
        EXPECT_TRUE(received[i].accepted);
    }
    EXPECT_EQ(received[1].payload, std::vector<std::uint8_t>{0x07});
    EXPECT_EQ(received[3].payload, std::vector<std::uint8_t>{3});
    const auto table = someValues().codeTable;
    EXPECT_EQ(received[5].payload, std::vector<std::uint8_t>(table.begin(), table.end()));
    EXPECT_TRUE(received[7].payload.empty());
    EXPECT_EQ(device->encoder().powerUpDefaults().keypadType, 8);
    EXPECT_EQ(device->encoder().powerUpDefaults().ledBrightness, 6);

    // The re-opened encoder reports the version of the new image.
    vardo::link::DeviceStatus status;
    ASSERT_EQ(slot->get()->readStatus(status), vardo::device::Result::Ok);
    EXPECT_EQ(status.firmwareVersion, "01.06A");
}

TEST_F(UpgradeTest, AWrongApplicationPasswordMassErasesAndSkipsTheEraseStep)
{
    // A firmware with another vector table is in the flash.
    device->loader().loadImage({{0xFFE0, std::vector<std::uint8_t>(32, 0x5A)}});
    enterLoader();
    auto s = sequence();
    const std::string path = samplePath("01.06A");
    const std::uint64_t slept = clock.totalSleptMs();
    ASSERT_TRUE(s.run(path));
    Progress expected = {{5, ""}, {5, "Mass erase occured!\r\n"}};
    const Progress start = startUpProgress();
    expected.insert(expected.end(), start.begin() + 1, start.end());
    EXPECT_EQ(takeProgress(), concat(expected, afterStartUp(path, false, s.totalProgramTime)));
    EXPECT_GE(clock.totalSleptMs() - slept, 2000u + 3000u);
    EXPECT_EQ(device->loader().massErases(), 1);
    EXPECT_EQ(countCommand(device->loader(), P::kEraseSegment), 1);  // the reset vector only
    clock.sleepMs(6000);
    vardo::sim::Bus::instance().runDue();
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
}

TEST_F(UpgradeTest, ADefaultPasswordRefusedTooEndsTheUpgrade)
{
    enterLoader();
    vardo::sim::LoaderFaults faults;
    faults.refusePasswords = true;
    device->loader().setFaults(faults);
    auto s = sequence();
    EXPECT_FALSE(s.run(samplePath("01.06A")));
    const Progress once = {{5, ""}, {5, "Mass erase occured!\r\n"}, {10, "Password FAILED!\r\n"}};
    EXPECT_EQ(takeProgress(),
              concat(concat(once, {{50, "Unsuccessful in starting the BSL. Restarting. \r\n"}}), once));
}

TEST_F(UpgradeTest, ARamLoaderOfAnotherVersionFailsTheStartUpTwice)
{
    enterLoader();
    vardo::sim::LoaderFaults faults;
    faults.ramLoaderVersion = vardo::sim::Version4{0x00, 0x06, 0x05, 0x33};
    device->loader().setFaults(faults);
    auto s = sequence();
    EXPECT_FALSE(s.run(samplePath("01.06A")));
    const Progress once = concat(startUpProgress(), {{50, "Failed to read data from RAM BSL\r\n"}});
    EXPECT_EQ(takeProgress(),
              concat(concat(once, {{50, "Unsuccessful in starting the BSL. Restarting. \r\n"}}), once));
    EXPECT_EQ(countCommand(device->loader(), P::kEraseSegment), 0);
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.05A");
}

TEST_F(UpgradeTest, AVerificationErrorLeavesTheDeviceInItsLoaderAndARetryWorks)
{
    enterLoader();
    vardo::sim::LoaderFaults faults;
    faults.stuckCell = 0x5123;
    device->loader().setFaults(faults);
    auto s = sequence();
    const std::string path = samplePath("01.06A");
    EXPECT_FALSE(s.run(path));
    const Progress expected =
        concat(startUpProgress(), {{60, "Erasing memory segments \r\n"},
                                   {70, "Sending " + path + "\r\n"},
                                   {75, "Firmware Sent\r\n"},
                                   {80, "Verifying memory\r\n"},
                                   {85, "Memory verification error\r\n"}});
    EXPECT_EQ(takeProgress(), expected);
    // The flash, not the cable: and the application is no longer whole.
    EXPECT_FALSE(s.outcome().deviceGone);
    EXPECT_TRUE(s.outcome().flashChanged);
    EXPECT_EQ(device->loader().brownOutResets(), 0);
    EXPECT_EQ(s.countLoaders(), 1u);
    EXPECT_EQ(device->loader().mode(), LoaderMode::RamLoader);

    device->loader().setFaults({});
    EXPECT_TRUE(s.run(path));
    clock.sleepMs(6000);
    vardo::sim::Bus::instance().runDue();
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
}

TEST_F(UpgradeTest, AFailedCrcRequestIsAVerificationError)
{
    enterLoader();
    vardo::sim::LoaderFaults faults;
    faults.failCrcRequest = 3;
    device->loader().setFaults(faults);
    auto s = sequence();
    EXPECT_FALSE(s.run(samplePath("01.06A")));
    EXPECT_EQ(takeProgress().back(), (std::pair<int, std::string>{85, "Memory verification error\r\n"}));
    EXPECT_FALSE(s.outcome().deviceGone);
}

TEST_F(UpgradeTest, NoFileChosen)
{
    enterLoader();
    auto s = sequence();
    EXPECT_FALSE(s.run(""));
    EXPECT_EQ(takeProgress(), (Progress{{0, "No file specified\r\n"}}));
    EXPECT_TRUE(device->loader().commands().empty());
}

TEST_F(UpgradeTest, NoLoaderToStart)
{
    auto s = sequence();
    EXPECT_FALSE(s.run(samplePath("01.06A")));
    EXPECT_EQ(takeProgress(), (Progress{{0, "USB device was unplugged!\r\n"},
                                        {50, "Unsuccessful in starting the BSL. Restarting. \r\n"},
                                        {0, "USB device was unplugged!\r\n"}}));
}

TEST_F(UpgradeTest, TheLoaderGoneWhenTheRamLoaderShouldReconnect)
{
    enterLoader();
    auto s = sequence();
    // The chip leaves the bus with the RAM loader start and never returns.
    device->loader().setTiming([] {
        vardo::sim::LoaderTiming t;
        t.ramLoaderStartMs = 3600 * 1000;
        return t;
    }());
    EXPECT_FALSE(s.run(samplePath("01.06A")));
    const Progress p = takeProgress();
    ASSERT_GE(p.size(), 9u);
    EXPECT_EQ(p[7], (std::pair<int, std::string>{50, "USB device was unplugged!\r\n"}));
    EXPECT_EQ(p[8], (std::pair<int, std::string>{50, "Unsuccessful in starting the BSL. Restarting. \r\n"}));
    EXPECT_EQ(p.back(), (std::pair<int, std::string>{0, "USB device was unplugged!\r\n"}));
}

TEST_F(UpgradeTest, WithTwoLoadersTheFirstIsUpgraded)
{
    vardo::sim::VirtualEncoderDeviceConfig second;
    second.encoder.port = "sim:1-2";
    extra = std::make_unique<vardo::sim::VirtualEncoderDevice>(second);
    enterLoader();
    {
        // The second encoder enters its loader too.
        char m[48], p[48];
        hid_device* h = nullptr;
        hid_device_info* list = hid_enumerate(0x2047, 0x0902);
        for (auto* d = list; d; d = d->next)
            if (d->interface_number == 1 && std::string(d->path).rfind("sim:1-2", 0) == 0)
                h = hid_open_path(d->path);
        hid_free_enumeration(list);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(vardo::link::sendCommand(h, vardo::link::ENTER_BSL), vardo::link::Result::Ok);
        hid_close(h);
        (void)m;
        (void)p;
    }
    auto s = sequence();
    EXPECT_EQ(s.countLoaders(), 2u);
    ASSERT_TRUE(s.run(samplePath("01.06A")));
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.06A");
    EXPECT_EQ(extra->loader().flashFirmwareVersion(), "01.05A");
}

TEST_F(UpgradeTest, ProgrammingUnderASecondReportsZeroSeconds)
{
    TempFolder folder;
    // One word of code and the reset vector to it: two segments, two packets, two CRCs.
    const std::string path = folder.write("tiny.txt", "@4410\r\n00 00\r\n@FFFE\r\n10 44 \r\nq");
    enterLoader();
    auto s = sequence();
    ASSERT_TRUE(s.run(path));
    const Progress p = takeProgress();
    EXPECT_LT(s.stopProgramTime - s.startProgramTime, 1000u);
    EXPECT_NE(std::find(p.begin(), p.end(),
                        std::pair<int, std::string>{90, "Total programming time is 0s \r\n"}),
              p.end());
}

TEST_F(UpgradeTest, AMalformedFileIsRefusedBeforeTheLoaderIsOpened)
{
    TempFolder folder;
    enterLoader();
    const auto before = device->loader().read(0x4400, 0xBC00);
    struct Case {
        std::string text;
        std::string line;
    };
    const Case cases[] = {
        {"@4400\r\n01 0Z\r\nq",
         "Not a valid TI-TXT firmware file (line 2: bad hexadecimal digit in \"0Z\")\r\n"},
        {"@4400\r\n01 0\r\nq", "Not a valid TI-TXT firmware file (line 2: \"0\" is not a two-digit byte)\r\n"},
        {"@4400\r\n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\r\nq",
         "Not a valid TI-TXT firmware file (line 2: more than 16 bytes on one line)\r\n"},
        {"@4400\r\n01\r\n", "Not a valid TI-TXT firmware file (line 3: the image does not end with \"q\")\r\n"},
        {"@1800\r\n01\r\nq",
         "Not a valid TI-TXT firmware file (line 2: address 0x1800 lies outside the encoder's flash "
         "(0x4400-0xFFFF))\r\n"},
        {"@4400\r\n01 02\r\n@4401\r\n03\r\nq",
         "Not a valid TI-TXT firmware file (line 4: address 0x4401 is given twice)\r\n"},
    };
    auto s = sequence();
    for (const Case& c : cases) {
        EXPECT_FALSE(s.run(folder.write("bad.txt", c.text)));
        EXPECT_EQ(takeProgress(), (Progress{{0, c.line}}));
    }
    EXPECT_FALSE(s.run((folder.path() / "missing.txt").string()));
    EXPECT_EQ(takeProgress(), (Progress{{0, "Unable to open the firmware file\r\n"}}));
    EXPECT_FALSE(s.run(folder.path().string()));
    EXPECT_EQ(takeProgress(), (Progress{{0, "Not a firmware file: it is a folder\r\n"}}));
    EXPECT_TRUE(device->loader().commands().empty());
    EXPECT_EQ(device->loader().read(0x4400, 0xBC00), before);
}

// Read once: what is on disk after the check never reaches the encoder.
TEST_F(UpgradeTest, TheImageIsReadOnceAndEverythingAfterUsesThatCopy)
{
    TempFolder folder;
    vardo::firmware::FirmwareImage image;
    const std::string path = folder.write("fw.txt", "");
    std::ifstream in(samplePath("01.06A"), std::ios::binary);
    image.text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    image.path = path;  // empty on disk
    enterLoader();
    auto s = sequence();
    ASSERT_TRUE(s.run(image));
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.06A");
}

TEST_F(UpgradeTest, AFileInAFolderWithNonLatinCharactersOpens)
{
    TempFolder folder;
    std::ifstream in(samplePath("01.06A"), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string path = folder.write("Прошивка/прошивка 01.06A.txt", image);
    enterLoader();
    auto s = sequence();
    ASSERT_TRUE(s.run(path));
    EXPECT_EQ(takeProgress()[8], (std::pair<int, std::string>{70, "Sending " + path + "\r\n"}));
    EXPECT_EQ(device->loader().flashFirmwareVersion(), "01.06A");
}

TEST_F(UpgradeTest, TheWriteBackStopsAtItsFirstFailure)
{
    enterLoader();
    vardo::sim::FaultPlan plan;
    plan.fault = vardo::sim::EncoderFault::Refuse;
    plan.command = vardo::link::SET_KEYPAD_TYPE;
    auto s = sequence([&] {
        device->encoder().injectFault(plan);
        device->encoder().clearReceivedCommands();
    });
    s.job().setSettings(someValues());
    ASSERT_TRUE(s.run(samplePath("01.06A")));
    EXPECT_EQ(s.outcome().phase, vardo::firmware::Phase::WriteBack);
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].caption, "Vardo USB ENCODER");
    EXPECT_EQ(records[0].text, "Unable to set Keypad Type..\r\n");
    EXPECT_EQ(records[0].icon, vardo::platform::MessageIcon::Warning);
    EXPECT_EQ(device->encoder().receivedCommands().size(), 5u);  // GET_STATUS, then four
}

TEST_F(UpgradeTest, WithoutAnEncoderAfterTheRestartNothingIsWrittenBack)
{
    enterLoader();
    auto s = sequence([&] { device->encoder().unplug(); });
    s.job().setSettings(someValues());
    ASSERT_TRUE(s.run(samplePath("01.06A")));
    EXPECT_EQ(s.outcome().phase, vardo::firmware::Phase::FindEncoder);
    EXPECT_EQ(slot->get(), nullptr);
    EXPECT_EQ(dialogs.messages(), (std::vector<std::string>{"Vardo 710 Encoder not connected..\r\n"}));
    EXPECT_EQ(dialogs.records()[0].caption, "Vardo USB Encoder");
}

// Values that could not be read before the upgrade are not written back as zeros.
TEST_F(UpgradeTest, UnknownSettingsAreNotWrittenBack)
{
    enterLoader();
    auto s = sequence([&] { device->encoder().clearReceivedCommands(); });
    RestoreValues unknown = someValues();
    unknown.known = false;
    s.job().setSettings(unknown);
    ASSERT_TRUE(s.run(samplePath("01.06A")));
    EXPECT_EQ(s.outcome().phase, vardo::firmware::Phase::WriteBack);
    ASSERT_NE(slot->get(), nullptr);
    EXPECT_TRUE(device->encoder().receivedCommands().empty());
    EXPECT_EQ(device->encoder().optionsFitted(), 7);
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].caption, "Vardo USB ENCODER");
    EXPECT_EQ(records[0].text,
              "The settings could not be read before the upgrade and were not written back..\r\n");
}

// ---- one encoder's whole upgrade, found and followed by its port ------------------

class PortUpgradeTest : public UpgradeTest {
protected:
    vardo::firmware::Outcome upgrade(const std::string& port, bool backupWorks = true)
    {
        vardo::firmware::FirmwareImage image;
        EXPECT_EQ(vardo::firmware::loadFirmwareImage(samplePath("01.06A"), image).result,
                  vardo::firmware::ImageCheck::Ok);
        vardo::firmware::Hooks hooks;
        hooks.event = [this](const vardo::firmware::Event& e) {
            events.push_back(e);
            if (e.notice == vardo::firmware::Notice::WriteBackFailed)
                reported.push_back(e.text);
            else if (e.notice == vardo::firmware::Notice::None) {
                std::lock_guard lock(progressMutex);
                progress.emplace_back(e.percent, e.text);
            }
        };
        hooks.keep = [this, backupWorks](const vardo::link::DeviceStatus& status, std::string& path) {
            ++backups;
            backedUp = status;
            path = "backup-" + std::to_string(backups);
            return backupWorks;
        };
        vardo::firmware::UpgradeJob job(vardo::firmware::benchPolicy(port), std::move(hooks));
        job.setLoaderTexts(vardo::firmware::findLoaderTexts().texts);
        return job.run(image);
    }

    std::vector<std::uint8_t> codes(const vardo::sim::VirtualEncoder& encoder) const
    {
        std::vector<std::uint8_t> out;
        for (const auto& c : encoder.receivedCommands())
            out.push_back(c.code);
        return out;
    }

    int backups = 0;
    vardo::link::DeviceStatus backedUp;
    std::vector<std::string> reported;
    std::vector<vardo::firmware::Event> events;
};

TEST_F(PortUpgradeTest, UpgradesTheEncoderOnItsPortAndNoOther)
{
    vardo::sim::VirtualEncoderDeviceConfig config;
    config.encoder.port = "sim:1-1.3";
    extra = std::make_unique<vardo::sim::VirtualEncoderDevice>(config);
    vardo::sim::EncoderSettings settings = vardo::sim::EncoderSettings::factory();
    settings.ledBrightness = 3;
    settings.keypadType = 5;
    extra->encoder().setSettings(settings);
    extra->encoder().setPowerUpDefaults(settings);

    const auto r = upgrade("1-1.3");
    EXPECT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.backupPath, "backup-1");
    EXPECT_EQ(backedUp.ledBrightness, 3);
    EXPECT_EQ(extra->loader().flashFirmwareVersion(), "01.06A");
    EXPECT_EQ(extra->encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(extra->encoder().powerUpDefaults(), settings);
    EXPECT_EQ(takeProgress().back(), (std::pair<int, std::string>{100, "Done!"}));
    // The encoder on the other port was never spoken to.
    EXPECT_TRUE(device->encoder().receivedCommands().empty());
    EXPECT_TRUE(device->loader().commands().empty());
    EXPECT_EQ(vardo::firmware::outcomeName(r), std::string("upgraded"));
    // Interruption is harmful from ENTER_BSL on, and only until the write-back ends.
    ASSERT_FALSE(events.empty());
    for (const auto& e : events)
        EXPECT_EQ(e.critical, e.phase >= vardo::firmware::Phase::EnterLoader) << phaseName(e.phase);
}

TEST_F(PortUpgradeTest, EachFailureBeforeTheLoaderLeavesTheEncoderInItsApplication)
{
    using vardo::firmware::Phase;
    auto r = upgrade("9-9");
    EXPECT_EQ(r.phase, Phase::OpenEncoder);
    EXPECT_EQ(r.device, vardo::device::Result::NoDevice);
    EXPECT_EQ(outcomeName(r), std::string("no encoder"));

    r = upgrade("1-1", false);
    EXPECT_EQ(r.phase, Phase::Backup);
    EXPECT_EQ(outcomeName(r), std::string("backup not written"));
    EXPECT_EQ(codes(device->encoder()), (std::vector<std::uint8_t>{vardo::link::GET_STATUS}));

    device->encoder().injectFault({vardo::sim::EncoderFault::Silence, true});
    r = upgrade("1-1");
    EXPECT_EQ(r.phase, Phase::ReadSettings);
    EXPECT_EQ(r.device, vardo::device::Result::Timeout);
    EXPECT_EQ(describe(r), "read the settings failed on 1-1: " + vardo::device::reasonText(r.device));
    EXPECT_EQ(backups, 1);
    EXPECT_EQ(device->encoder().mode(), vardo::sim::EncoderMode::Application);
    EXPECT_FALSE(device->loader().onBus());
}

TEST_F(PortUpgradeTest, AnEncoderWhoseLoaderNeverAppears)
{
    vardo::sim::VirtualEncoderConfig config;
    config.port = "sim:1-4";
    vardo::sim::VirtualEncoder withoutLoader(config);   // leaves the bus on ENTER_BSL, and that is all
    const std::uint64_t slept = clock.totalSleptMs();
    const auto r = upgrade("1-4");
    EXPECT_EQ(r.phase, vardo::firmware::Phase::FindLoader);
    EXPECT_EQ(outcomeName(r), std::string("no loader"));
    EXPECT_GE(clock.totalSleptMs() - slept, vardo::firmware::kLoaderWaitMs);
    EXPECT_EQ(r.backupPath, "backup-1");   // the settings are kept for a recovery
    EXPECT_TRUE(device->loader().commands().empty());
}

TEST_F(PortUpgradeTest, ARefusedWriteBackIsReportedWithItsReason)
{
    vardo::sim::FaultPlan refuse;
    refuse.fault = vardo::sim::EncoderFault::Refuse;
    refuse.persistent = true;
    refuse.command = vardo::link::SET_OPTIONS;
    device->encoder().injectFault(refuse);
    const auto r = upgrade("1-1");
    EXPECT_EQ(r.phase, vardo::firmware::Phase::WriteBack);
    EXPECT_EQ(outcomeName(r), std::string("write-back failed"));
    EXPECT_EQ(r.device, vardo::device::Result::Refused);
    EXPECT_EQ(device->encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(reported, (std::vector<std::string>{"Unable to set option.."}));
    EXPECT_TRUE(dialogs.records().empty());
}

// ---- the job under each front end's policy: what it reports and where it stops ----

TEST_F(PortUpgradeTest, EachPolicyReportsItsPhasesInOrderAndStopsWhereItShould)
{
    using vardo::firmware::Notice;
    using vardo::firmware::Phase;
    const std::vector<Phase> programmed = {Phase::Unlock, Phase::StartRamLoader, Phase::Erase,
                                           Phase::Write,  Phase::Verify,         Phase::Reset};
    const auto with = [](std::vector<Phase> before, std::vector<Phase> middle, std::vector<Phase> after) {
        before.insert(before.end(), middle.begin(), middle.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    struct Case {
        const char* name;
        vardo::firmware::Policy policy;
        bool statusLost;
        std::vector<Phase> phases;    // of the events, each run of one phase once
        std::vector<Notice> notices;
        Phase stopped;
        const char* firmware;         // in the encoder afterwards
    };
    const Case cases[] = {
        {"window", vardo::firmware::windowPolicy(), false, programmed, {}, Phase::Done, "01.06A"},
        {"window without settings", vardo::firmware::windowPolicy(), true,
         with({Phase::ReadSettings}, programmed, {Phase::WriteBack}),
         {Notice::StatusNotRead, Notice::SettingsUnknown}, Phase::WriteBack, "01.06A"},
        {"upgrade", vardo::firmware::commandPolicy("1-1"), false, programmed, {}, Phase::Done, "01.06A"},
        {"upgrade without settings", vardo::firmware::commandPolicy("1-1"), true, {Phase::ReadSettings},
         {Notice::StatusNotRead}, Phase::ReadSettings, "01.05A"},
        {"bench", vardo::firmware::benchPolicy("1-1"), false, programmed, {}, Phase::Done, "01.06A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device.reset();
        vardo::sim::Bus::instance().reset();
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>();
        if (c.statusLost) {
            vardo::sim::FaultPlan lost{vardo::sim::EncoderFault::Silence, true};
            lost.command = vardo::link::GET_STATUS;
            device->encoder().injectFault(lost);
        }
        events.clear();
        vardo::firmware::Hooks hooks;
        hooks.event = [this](const vardo::firmware::Event& e) { events.push_back(e); };
        hooks.keep = [](const vardo::link::DeviceStatus&, std::string& path) {
            path = "backup";
            return true;
        };
        vardo::firmware::UpgradeJob job(c.policy, std::move(hooks));
        job.setLoaderTexts(vardo::firmware::findLoaderTexts().texts);
        vardo::firmware::FirmwareImage image;
        ASSERT_EQ(vardo::firmware::loadFirmwareImage(samplePath("01.06A"), image).result,
                  vardo::firmware::ImageCheck::Ok);
        const vardo::firmware::Outcome o = job.run(image);
        EXPECT_EQ(o.phase, c.stopped) << describe(o);
        std::vector<Phase> phases;
        std::vector<Notice> notices;
        for (const auto& e : events) {
            if (phases.empty() || phases.back() != e.phase)
                phases.push_back(e.phase);
            if (e.notice != Notice::None)
                notices.push_back(e.notice);
        }
        EXPECT_EQ(phases, c.phases);
        EXPECT_EQ(notices, c.notices);
        EXPECT_EQ(device->encoder().firmwareVersion(), c.firmware);
    }
}

// Each wait for the device ends soon after it is there, and when it never
// comes, at the bound of the fixed wait it replaced, with the same texts.
TEST_F(UpgradeTest, EachWaitEndsWhenTheDeviceIsThereOrAtItsOldBound)
{
    using namespace vardo::firmware;
    constexpr std::uint32_t kNever = 3600 * 1000;
    struct Case {
        const char* name;
        std::uint32_t loaderEntryMs, ramLoaderStartMs, applicationStartMs;
        Phase stopped;
        std::string lastText;   // of the last event
        // How long the loader, RAM loader and restart waits lasted (0: not reached).
        std::uint32_t loaderWaitMs, ramLoaderWaitMs, restartWaitMs;
    };
    const Case cases[] = {
        {"all come", 700, 1000, 2000, Phase::Done, "Done!", 700, 1000, 2000},
        {"the loader never appears", kNever, 1000, 2000, Phase::FindLoader, "", kLoaderWaitMs, 0, 0},
        {"the RAM loader never comes back", 0, kNever, 2000, Phase::Unlock, "USB device was unplugged!\r\n", 0,
         kRamLoaderStartMs, 0},
        {"the encoder never returns", 0, 1000, kNever, Phase::FindEncoder, "Vardo 710 Encoder not connected..", 0,
         1000, kRestartWaitMs},
    };
    FirmwareImage image;
    ASSERT_EQ(loadFirmwareImage(samplePath("01.06A"), image).result, ImageCheck::Ok);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device.reset();
        vardo::sim::Bus::instance().reset();
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>();
        vardo::sim::LoaderTiming timing;
        timing.loaderEntryMs = c.loaderEntryMs;
        timing.ramLoaderStartMs = c.ramLoaderStartMs;
        timing.applicationStartMs = c.applicationStartMs;
        device->loader().setTiming(timing);
        std::vector<std::pair<std::uint64_t, Event>> events;
        Hooks hooks;
        hooks.event = [&](const Event& e) { events.emplace_back(clock.nowMs(), e); };
        hooks.keep = [](const vardo::link::DeviceStatus&, std::string& path) { return !(path = "b").empty(); };
        UpgradeJob job(commandPolicy("1-1"), std::move(hooks));
        job.setLoaderTexts(findLoaderTexts().texts);
        const std::uint64_t start = clock.nowMs();
        const Outcome o = job.run(image);
        const std::uint64_t end = clock.nowMs();
        EXPECT_EQ(o.phase, c.stopped) << describe(o);
        EXPECT_EQ(events.empty() ? "" : events.back().second.text, c.lastText);
        std::uint64_t loaderFound = end, ramLoaderStarted = 0, done = 0;
        for (const auto& [at, e] : events) {
            if (e.phase == Phase::Unlock && loaderFound == end)
                loaderFound = at;
            if (e.percent == 30)
                ramLoaderStarted = at;
            if (e.text == "Done!")
                done = at;
        }
        // The device's own time, give or take the exchanges around the wait and one look.
        const auto within = [](std::uint64_t waited, std::uint32_t expected) {
            return waited + 50 >= expected && waited <= expected + kPollMs + 50;
        };
        if (c.loaderWaitMs) {
            EXPECT_PRED2(within, loaderFound - start, c.loaderWaitMs);
        }
        if (c.ramLoaderWaitMs) {
            EXPECT_PRED2(within, job.programStartMs() - ramLoaderStarted, c.ramLoaderWaitMs);
        }
        if (c.restartWaitMs) {
            EXPECT_PRED2(within, end - done, c.restartWaitMs);
        }
    }
}

// Looking at the bus takes time of its own and may pass a slice's due time:
// every slice is still reported once, in order, and the wait ends at its bound.
TEST_F(UpgradeTest, SlowLooksStillEndTheWaitAtItsBound)
{
    vardo::firmware::UpgradeJob job(vardo::firmware::commandPolicy("1-1"), {});
    std::vector<unsigned> slices;
    const std::uint64_t start = clock.nowMs();
    const auto slowLook = [this](bool) {
        clock.advance(70);
        return false;
    };
    EXPECT_FALSE(job.awaitDevice({3000, 0, 1000}, slowLook, [&](unsigned i) { slices.push_back(i); }));
    EXPECT_EQ(slices, (std::vector<unsigned>{0, 1, 2}));
    EXPECT_GE(clock.nowMs() - start, 3000u);
    EXPECT_LE(clock.nowMs() - start, 3000u + 2 * 70u);   // one look across the bound, then the last one
}
