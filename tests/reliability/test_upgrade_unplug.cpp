// The encoder unplugged at every step of a firmware upgrade, and during the
// write-back that follows it. Plugged in again, it must run its old firmware,
// run the new one, or wait in its loader for another try, which then succeeds;
// never anything else. And the upgrade's result and last status line must
// match what the operator will find.
#include "firmware/temp_folder.h"
#include "firmware/upgrade_fixture.h"

#include "loader/loader_protocol.h"
#include "sim/encoder_images.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace P = vardo::loader::protocol;
using vardo::firmware::RestoreValues;
using vardo::firmware::writeBackSettings;
using vardo::sim::LoaderCommandRecord;

namespace {

enum class Found { OldFirmware, NewFirmware, WaitingInLoader, Lost };

const char* foundName(Found f)
{
    switch (f) {
    case Found::OldFirmware: return "runs its old firmware";
    case Found::NewFirmware: return "runs the new firmware";
    case Found::WaitingInLoader: return "waits in its loader";
    case Found::Lost: return "LOST";
    }
    return "?";
}

const char* commandName(std::uint8_t c)
{
    switch (c) {
    case P::kRxDataBlock: return "write";
    case P::kRxPassword: return "password";
    case P::kEraseSegment: return "erase segment";
    case P::kMassErase: return "mass erase";
    case P::kCrcCheck: return "CRC";
    case P::kLoadPc: return "load PC";
    case P::kTxDataBlock: return "read";
    case P::kTxVersion: return "version";
    case P::kRxDataBlockFast: return "fast write";
    }
    return "?";
}

// What the step of the upgrade a packet belongs to is called in the report.
std::string stepOf(const LoaderCommandRecord& r)
{
    if (r.command == P::kRxDataBlockFast && r.address >= 0x2400 && r.address < 0x4400)
        return "RAM loader upload";
    if (r.command == P::kRxDataBlockFast && r.address == 0x0120)
        return "forced reset";
    if (r.command == P::kRxDataBlockFast && r.address >= 0xFFE0)
        return "vector table write";
    if (r.command == P::kEraseSegment && r.address == 0xFFFF)
        return "reset vector erase";
    return commandName(r.command);
}

RestoreValues restoreValues()
{
    RestoreValues v;
    v.known = true;
    v.ledBrightness = 7;
    v.buzzer = 0;
    v.buzzerPeriod = 4;
    v.keypadType = 5;
    v.optionsFitted = 7;
    for (std::size_t i = 0; i < v.codeTable.size(); ++i)
        v.codeTable[i] = static_cast<std::uint8_t>(i % 2 ? 0x1E + i / 2 : 0);
    return v;
}

// Whether the flash holds exactly the bytes of the firmware of that version.
bool flashHolds(const vardo::sim::VirtualLoader& loader, const std::string& version)
{
    for (const auto& section : vardo::sim::makeEncoderFirmware(version))
        if (loader.read(section.address, section.bytes.size()) != section.bytes)
            return false;
    return true;
}

class UpgradeUnplugTest : public UpgradeTest {
protected:
    void freshDevice()
    {
        slot->close();
        device.reset();
        vardo::sim::Bus::instance().reset();
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>();
        dialogs.clear();
        takeProgress();
    }

    // The operator waits a while, then pulls the cable and plugs it in again.
    // The chip starts its application when the reset vector is programmed,
    // else its loader.
    void powerCycle()
    {
        clock.sleepMs(10000);
        vardo::sim::Bus::instance().runDue();
        auto& loader = device->loader();
        loader.setFaults({});
        if (loader.onBus())
            loader.unplug();
        if (device->encoder().plugged())
            device->encoder().unplug();
        const auto vector = loader.read(vardo::sim::kResetVector, 2);
        if (vector[0] != 0xFF || vector[1] != 0xFF)
            device->encoder().restartApplication(loader.flashFirmwareVersion().value_or("??????"));
        else
            loader.plugIn();
    }

    // What the operator finds on the bus, checked against the flash.
    Found look()
    {
        vardo::sim::Bus::instance().runDue();
        const std::uint32_t loaders = sequence().countLoaders();
        slot->rescan();
        vardo::link::DeviceStatus status;
        const bool application = slot->with([&](vardo::device::Encoder& e) { return e.readStatus(status); })
                                 == vardo::device::Result::Ok;
        if (loaders == 1 && !application)
            return Found::WaitingInLoader;
        if (loaders != 0 || !application)
            return Found::Lost;
        if (status.firmwareVersion == "01.05A" && flashHolds(device->loader(), "01.05A"))
            return Found::OldFirmware;
        if (status.firmwareVersion == "01.06A" && flashHolds(device->loader(), "01.06A"))
            return Found::NewFirmware;
        return Found::Lost;
    }

    // Another try from what was found: the whole upgrade and write-back.
    bool tryAgain(Found found, const std::string& path)
    {
        if (found == Found::OldFirmware || found == Found::NewFirmware)
            enterLoader();
        auto s = sequence();
        s.job().setSettings(restoreValues());
        return s.run(path) && s.outcome().ok() && look() == Found::NewFirmware && settingsWrittenBack();
    }

    bool settingsWrittenBack()
    {
        const auto d = device->encoder().powerUpDefaults();
        const RestoreValues v = restoreValues();
        return d.ledBrightness == v.ledBrightness && d.buzzer == v.buzzer
            && d.buzzerPeriod == v.buzzerPeriod && d.keypadType == v.keypadType
            && d.optionsFitted == v.optionsFitted && d.customTables[1] == v.codeTable;
    }

    // The packets of a whole upgrade without faults.
    std::vector<LoaderCommandRecord> cleanRun(const std::string& path)
    {
        freshDevice();
        enterLoader();
        device->loader().clearCommands();
        auto s = sequence();
        EXPECT_TRUE(s.run(path));
        return device->loader().commands();
    }

    void unplugMatrix(const std::string& path, int stride);
};

// The packet numbers to unplug at: every first and last packet of a step,
// its neighbours, and an even spread through the long runs of writes.
std::vector<int> unplugPoints(const std::vector<LoaderCommandRecord>& packets, int stride)
{
    std::set<int> at;
    const int n = static_cast<int>(packets.size());
    for (int i = 0; i < n; ++i) {
        const bool first = i == 0 || stepOf(packets[i]) != stepOf(packets[i - 1]);
        const bool last = i == n - 1 || stepOf(packets[i]) != stepOf(packets[i + 1]);
        if (first || last)
            for (int j = i - 1; j <= i + 1; ++j)
                if (j >= 0 && j < n)
                    at.insert(j);
    }
    for (int i = 0; i < n; i += stride)
        at.insert(i);
    at.insert(n);  // the upgrade's packets all went through
    return {at.begin(), at.end()};
}

// Unplugs the encoder at each chosen packet of an upgrade to `path`, checks
// what is found and that a second try works, and prints the outcome per step.
void UpgradeUnplugTest::unplugMatrix(const std::string& path, int stride)
{
    const std::vector<LoaderCommandRecord> packets = cleanRun(path);
    ASSERT_GT(packets.size(), 500u);
    // An unplugged encoder is said to be so, never blamed on its flash.
    const std::set<std::string> failureLines = {"USB device was unplugged!\r\n",
                                                vardo::firmware::kMsgUnpluggedDuringUpgrade};

    struct Row {
        int cases = 0;
        std::map<std::string, int> outcomes;
    };
    std::vector<std::pair<std::string, Row>> table;  // in the order of the steps
    auto rowFor = [&](const std::string& step) -> Row& {
        for (auto& [name, row] : table)
            if (name == step)
                return row;
        table.push_back({step, Row{}});
        return table.back().second;
    };

    for (int n : unplugPoints(packets, stride)) {
        const std::string step =
            n < static_cast<int>(packets.size()) ? stepOf(packets[static_cast<std::size_t>(n)]) : "none";
        SCOPED_TRACE("unplugged at packet " + std::to_string(n) + " (" + step + ")");
        freshDevice();
        enterLoader();
        vardo::sim::LoaderFaults faults;
        faults.unplugAfterPackets = n;
        device->loader().setFaults(faults);
        auto s = sequence();
        const bool upgraded = s.run(path);
        const Progress progress = takeProgress();
        ASSERT_FALSE(progress.empty());
        const std::string lastLine = progress.back().second;

        powerCycle();
        const Found found = look();
        EXPECT_NE(found, Found::Lost);
        // The report tells the operator what he will find.
        if (upgraded) {
            EXPECT_EQ(lastLine, "Done!");
            EXPECT_EQ(found, Found::NewFirmware);
        } else {
            EXPECT_TRUE(failureLines.count(lastLine)) << lastLine;
            // The loader never started: nothing was erased.
            if (lastLine == "USB device was unplugged!\r\n") {
                EXPECT_EQ(found, Found::OldFirmware);
            }
            // Once the reset vector is erased the old firmware cannot start;
            // the report says when that erase did not happen.
            const bool vectorKept = std::count(progress.begin(), progress.end(),
                                               std::pair<int, std::string>{
                                                   50, "Failed to erase reset vector\r\n"})
                > 0;
            if (lastLine == vardo::firmware::kMsgUnpluggedDuringUpgrade && !vectorKept) {
                EXPECT_NE(found, Found::OldFirmware);
            }
        }
        Row& row = rowFor(step);
        ++row.cases;
        const std::string said = lastLine.substr(0, lastLine.find('\r'));
        ++row.outcomes["\"" + said + "\", " + foundName(found)];

        EXPECT_TRUE(tryAgain(found, path)) << "the second try failed";
    }

    std::printf("unplug matrix over %zu packets of an upgrade to %s:\n", packets.size(),
                path.substr(path.find_last_of('/') + 1).c_str());
    for (const auto& [step, row] : table)
        for (const auto& [outcome, count] : row.outcomes)
            std::printf("  %-19s %3d of %3d: %s\n", step.c_str(), count, row.cases, outcome.c_str());
}

} // namespace

TEST_F(UpgradeUnplugTest, UnpluggedAtAnyPacketTheEncoderIsNeverLost)
{
    unplugMatrix(samplePath("01.06A"), 29);
}

// An image file need not end with its vector table. Were the reset vector
// written before the rest, a chip unplugged halfway would start half an
// application instead of its loader.
TEST_F(UpgradeUnplugTest, AnImageGivingItsVectorTableFirstIsNeverLostEither)
{
    vardo::sim::Image image = vardo::sim::makeEncoderFirmware("01.06A");
    std::stable_partition(image.begin(), image.end(),
                          [](const auto& section) { return section.address >= 0xFF80; });
    ASSERT_EQ(image.front().address, vardo::sim::kVectorTable);
    TempFolder folder;
    const std::string path = folder.write("vectors_first.txt", vardo::sim::toTiTxt(image));

    // The loader library holds the packet with the reset vector back to the end.
    const auto packets = cleanRun(path);
    const auto lastFlashWrite = std::find_if(packets.rbegin(), packets.rend(), [](const auto& r) {
        return r.command == P::kRxDataBlockFast && r.address >= vardo::sim::kFlashStart
            && r.address <= vardo::sim::kFlashEnd;
    });
    ASSERT_NE(lastFlashWrite, packets.rend());
    EXPECT_LE(lastFlashWrite->address, vardo::sim::kResetVector);
    EXPECT_GT(lastFlashWrite->address + lastFlashWrite->length, vardo::sim::kResetVector + 1);

    unplugMatrix(path, 97);
}

TEST_F(UpgradeUnplugTest, UnpluggedDuringTheWriteBackTheNewFirmwareRunsAndTheWriteBackCanBeRepeated)
{
    const char* messages[] = {"Unable to set option..\r\n",      "Unable to set buzzer..\r\n",
                              "Unable to set buzzer period..\r\n", "Unable to set Keypad Type..\r\n",
                              "Unable to Load Table..\r\n",       "Unable to set LED Brightness..\r\n",
                              "Unable to set WRITE_DEFAULTs..\r\n"};
    for (int k = 0; k < 7; ++k) {
        SCOPED_TRACE("unplugged at write-back command " + std::to_string(k + 1));
        freshDevice();
        enterLoader();
        // The cable comes out as the k-th command of the write-back reaches the encoder.
        auto& encoder = device->encoder();
        bool pulled = false;
        int listener = -1;
        auto s = sequence([&] {
            encoder.clearReceivedCommands();
            dialogs.clear();
            listener = encoder.addListener([&] {
                // The first command is the GET_STATUS that finds it back.
                if (!pulled && encoder.receivedCommands().size() == static_cast<std::size_t>(k + 2)) {
                    pulled = true;
                    encoder.unplug();
                }
            });
        });
        s.job().setSettings(restoreValues());
        ASSERT_TRUE(s.run(samplePath("01.06A")));
        EXPECT_EQ(s.outcome().phase, vardo::firmware::Phase::WriteBack);
        encoder.removeListener(listener);
        EXPECT_TRUE(pulled);
        EXPECT_EQ(dialogs.messages(), std::vector<std::string>{messages[k]});
        EXPECT_EQ(dialogs.records().at(0).caption, "Vardo USB ENCODER");

        powerCycle();
        EXPECT_EQ(look(), Found::NewFirmware);
        // The values are still at hand: sent again, they all go through.
        EXPECT_TRUE(writeBackSettings(slot->get().get(), restoreValues(), report));
        EXPECT_TRUE(settingsWrittenBack());
    }
}
