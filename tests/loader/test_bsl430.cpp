// The loader connection (what the upgrade uses): its frames byte for byte
// against a loader scripted from the USB loader's table; then against the
// virtual loader: passwords, transfers, erase, CRC, version, RAM loader start.
// The library's BSL_ face, its documented interface, keeps tests of its own:
// the connection text, codes, RX buffer, password blocks, file streaming,
// the loader count and device notifications.
#include "loader_fixture.h"

#include "link/hid_list.h"
#include "loader/loader_protocol.h"
#include "loader/connection.h"
#include "sim/scripted_device.h"

#include "platform/hid_trace.h"

#include <hidapi.h>
#include <regex>
#include <set>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace P = vardo::loader::protocol;
using R = vardo::loader::Result;
using vardo::sim::LoaderMode;
using vardo::sim::Report;

// ---- the frames, against a loader scripted from the table alone -------------

namespace {

Report frame(std::initializer_list<std::uint8_t> core)
{
    Report r(64, 0);
    r[0] = 0x3F;
    r[1] = static_cast<std::uint8_t>(core.size());
    std::copy(core.begin(), core.end(), r.begin() + 2);
    return r;
}
Report message(std::uint8_t m) { return frame({0x3B, m}); }

// The erased device's password: an all-0xFF vector table.
std::array<std::uint8_t, 32> erasedPassword()
{
    std::array<std::uint8_t, 32> p;
    p.fill(0xFF);
    return p;
}

class ScriptedLoaderTest : public ::testing::Test {
protected:
    ScriptedLoaderTest()
    {
        vardo::sim::Bus::instance().reset();
        vardo::sim::DeviceInfo info;
        info.path = "sim:9-1:bsl";
        info.vendorId = 0x2047;
        info.productId = 0x0200;
        info.interfaceNumber = 0;
        device = vardo::sim::ScriptedDevice::create(info);
        device->attach();
        const auto address = vardo::loader::parseConnectionText("PID=0x0200,VID=0x2047,DEVICEINDEX=0");
        EXPECT_EQ(address ? conn.open(*address) : R::BadAddress, R::Ok);
    }
    ~ScriptedLoaderTest() override
    {
        conn.close();
        BSL_close_BSL();
        vardo::sim::Bus::instance().reset();
    }
    // The answers of the next writes, one list a write ({} for none).
    void answers(std::initializer_list<std::vector<Report>> replies)
    {
        for (const auto& list : replies) {
            std::vector<vardo::sim::TimedReport> timed;
            for (const Report& r : list)
                timed.push_back({1, r});
            device->scriptReply(timed);
        }
    }

    std::string versionText() { return versionOf(conn); }
    vardo::loader::Result crc(std::uint32_t address, std::uint32_t length) { return crcResult(conn, address, length); }

    vardo::platform::VirtualClock clock;
    vardo::platform::ScopedClock scopedClock{clock};
    std::shared_ptr<vardo::sim::ScriptedDevice> device;
    vardo::loader::Connection conn;
};

} // namespace

TEST_F(ScriptedLoaderTest, PasswordFrameAndBothAnswers)
{
    std::array<std::uint8_t, 32> pass{};
    for (int i = 0; i < 32; ++i)
        pass[i] = static_cast<std::uint8_t>(0xE0 + i);
    answers({{message(0x00)}, {message(0x05)}});
    EXPECT_EQ(conn.unlock(pass), R::Ok);
    EXPECT_EQ(conn.unlock(pass), R::PasswordRefused);  // refused: the loader has mass-erased
    Report expected = frame({0x11});
    expected[1] = 33;
    for (int i = 0; i < 32; ++i)
        expected[3 + i] = static_cast<std::uint8_t>(0xE0 + i);
    ASSERT_EQ(device->writes().size(), 2u);
    EXPECT_EQ(device->writes()[0], expected);
}

// The library's face (bsl430.h) on the same frames: its one-byte codes, RX buffer and version text.
TEST_F(ScriptedLoaderTest, CommandFramesAndTheirReplies)
{
    conn.close();
    BSL_setFamily(3);
    BSL_setCom(2);
    ASSERT_EQ(BSL_initialize_BSL("PID=0x0200,VID=0x2047,DEVICEINDEX=0"), 0);
    answers({{message(0x00)}, {frame({0x3A, 0x34, 0x12})}, {frame({0x3A, 0x00, 0x06, 0x05, 0x34})}, {}});
    EXPECT_EQ(BSL_eraseSegment(0xFE12), 0);
    EXPECT_EQ(BSL_CRC_Check(0x4400, 5000), 0);
    const dataBuffer rx = BSL_get_RX_Buffer();
    EXPECT_EQ(rx.data[5], 0x34);
    EXPECT_EQ(rx.data[6], 0x12);
    EXPECT_STREQ(BSL_TX_BSL_Version_String(), "Vendor: 00 Cmd: 06 API:  05  PI: 34");
    EXPECT_EQ(BSL_LoadPC(0x2504), 0);
    const auto w = device->writes();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], frame({0x12, 0x12, 0xFE, 0x00}));
    EXPECT_EQ(w[1], frame({0x16, 0x00, 0x44, 0x00, 0x88, 0x13}));
    EXPECT_EQ(w[2], frame({0x19}));
    EXPECT_EQ(w[3], frame({0x17, 0x04, 0x25, 0x00}));
}

TEST_F(ScriptedLoaderTest, TheFlashResidentLoadersUnknownCommandAnswers)
{
    answers({{message(0x07)}, {message(0x07)}, {message(0x07)}});
    EXPECT_EQ(conn.eraseSegment(0x4400), R::UnknownCommand);
    EXPECT_EQ(crc(0x4400, 2), R::UnknownCommand);
    EXPECT_EQ(versionText(), "ERROR");
}

TEST_F(ScriptedLoaderTest, AnswerWaitingBeforeACommandIsDrainedNotTaken)
{
    device->queueReport(message(0x00));  // late: belongs to nothing we send next
    answers({{message(0x02)}});
    EXPECT_EQ(conn.eraseSegment(0x4400), R::FlashFailBit);
    answers({{frame({0x3A, 0x01})}});  // a data reply where a message belongs
    EXPECT_EQ(conn.eraseSegment(0x4400), R::NoReply);
    answers({{message(0x00)}});  // a message of success where data belongs
    EXPECT_EQ(crc(0x4400, 2), R::NoReply);
}

TEST_F(ScriptedLoaderTest, ALoaderThatKeepsSendingNoAnswerTimesOutOnTheClock)
{
    for (std::uint32_t ms = 1; ms <= 6000; ++ms)
        device->queueReport(frame({0x55}), ms);  // neither a message nor data
    const std::uint64_t start = clock.nowMs();
    EXPECT_EQ(conn.eraseSegment(0x4400), R::NoReply);
    EXPECT_LE(clock.nowMs() - start, 2000u);
    EXPECT_GT(device->pendingReports(), 0u);
}

TEST_F(ScriptedLoaderTest, TheTraceShowsEveryReportInAndOut)
{
    answers({{message(0x00)}});
    vardo::platform::enableHidTrace(true);
    ::testing::internal::CaptureStderr();
    (void)conn.eraseSegment(0x4400);
    const std::string trace = ::testing::internal::GetCapturedStderr();
    vardo::platform::enableHidTrace(false);
    std::string zeros;
    for (int i = 0; i < 58; ++i)
        zeros += " 00";
    const std::regex line(R"(\[[0-9]+\.[0-9]{3}\] loader (out 3F 04 12 00 44 00|in  3F 02 3B 00 00 00)(.*)\n)");
    std::smatch m;
    std::string rest = trace;
    ASSERT_TRUE(std::regex_search(rest, m, line)) << trace;
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(m[2].str(), zeros);
    rest = m.suffix();
    ASSERT_TRUE(std::regex_search(rest, m, line)) << trace;
    EXPECT_EQ(m[2].str(), zeros) << "64 bytes each way";
    EXPECT_EQ(m.suffix(), "");
}

TEST_F(ScriptedLoaderTest, WritesAreUnansweredFastWritesPaddedToWordsInFlash)
{
    std::string text = "@4401\r\n01 02\r\n@2501\r\nA1 A2 A3\r\n@5000\r\n";
    for (int i = 0; i < 100; ++i)
        text += "5A" + std::string(i % 16 == 15 ? "\r\n" : " ");
    EXPECT_EQ(conn.sendImage(text + "\r\nq"), R::Ok);
    const auto w = device->writes();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], frame({0x1B, 0x00, 0x44, 0x00, 0xFF, 0x01, 0x02, 0xFF}));
    EXPECT_EQ(w[1], frame({0x1B, 0x01, 0x25, 0x00, 0xA1, 0xA2, 0xA3}));  // RAM: bytes as they are
    EXPECT_EQ(w[2][1], 4 + 48);
    EXPECT_EQ(w[3][1], 4 + 48);
    EXPECT_EQ(w[4], frame({0x1B, 0x60, 0x50, 0x00, 0x5A, 0x5A, 0x5A, 0x5A}));
    EXPECT_EQ(device->pendingReports(), 0u);
}

// Flash packets in the order they go out, as (address, data bytes). The one
// holding the reset vector goes last wherever the image puts it, and an odd
// start is padded to a word on both ends, split where a packet is full.
TEST_F(ScriptedLoaderTest, TheResetVectorPacketGoesLastAndOddStartsSplitIntoWords)
{
    const auto bytes = [](int count, int first) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02X", (first + i) & 0xFF);
            text += std::string(b) + (i % 16 == 15 ? "\r\n" : " ");
        }
        return count % 16 ? text + "\r\n" : text;
    };
    using Packets = std::vector<std::pair<std::uint32_t, std::size_t>>;
    const struct {
        const char* name;
        std::string text;
        Packets packets;
    } rows[] = {
        {"its own @FFFE section before the code", "@FFFE\r\n00 44\r\n@4400\r\n" + bytes(4, 1),
         {{0x4400, 4}, {0xFFFE, 2}}},
        {"the vector table before the code", "@FFE0\r\n" + bytes(32, 0x20) + "@4400\r\n" + bytes(4, 1),
         {{0x4400, 4}, {0xFFE0, 32}}},
        {"a section ending at the vector", "@FFF0\r\n" + bytes(16, 0x30) + "@4400\r\n" + bytes(2, 1),
         {{0x4400, 2}, {0xFFF0, 16}}},
        {"an odd start and 48 bytes", "@4401\r\n" + bytes(48, 1), {{0x4400, 48}, {0x4430, 2}}},
        {"48 bytes from an odd start up to the vector", "@FFCF\r\n" + bytes(48, 1) + "@4400\r\n" + bytes(2, 1),
         {{0x4400, 2}, {0xFFCE, 48}, {0xFFFE, 2}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t before = device->writes().size();
        ASSERT_EQ(conn.sendImage(row.text + "q"), R::Ok);
        Packets sent;
        const auto writes = device->writes();
        for (auto it = writes.begin() + static_cast<std::ptrdiff_t>(before); it != writes.end(); ++it) {
            const Report& w = *it;
            ASSERT_EQ(w[2], P::kRxDataBlockFast);
            sent.emplace_back(w[3] | w[4] << 8 | w[5] << 16, std::size_t(w[1] - 4));
        }
        EXPECT_EQ(sent, row.packets);
    }
    // The odd start's packets, byte for byte: an erased byte before the first
    // data byte and after the last.
    const auto all = device->writes();
    ASSERT_GE(all.size(), 3u);
    const Report* w = &all[all.size() - 3];
    EXPECT_EQ(w[1][6], 0xFF);
    EXPECT_EQ(w[1][7], 0x01);
    EXPECT_EQ(w[2], frame({0x1B, 0xFE, 0xFF, 0x00, 0x30, 0xFF}));
}

TEST_F(LoaderTest, OpensTheLoaderNamedByTheConnectionText)
{
    EXPECT_EQ(open(), 0);
    EXPECT_EQ(open("VID=0x2047, PID=0x200"), 0);                     // any order, index 0
    EXPECT_EQ(open("PID=0x0200,VID=0x2047,DEVICEINDEX=1"), 1);       // only one loader
    EXPECT_EQ(open("PID=0x0902,VID=0x2047,DEVICEINDEX=0"), 1);       // not a loader
    EXPECT_EQ(open("PID=0x0200;VID=0x2047"), 1);
    EXPECT_EQ(open("VID=0x2047"), 1);
    EXPECT_EQ(open(nullptr), 1);
    BSL_setFamily(1);
    EXPECT_EQ(BSL_initialize_BSL("PID=0x0200,VID=0x2047,DEVICEINDEX=0"), 1);
}

TEST_F(LoaderTest, DeviceIndexChoosesAmongTwoLoaders)
{
    vardo::sim::VirtualLoaderConfig second;
    second.path = "sim:1-2:bsl";
    vardo::sim::VirtualLoader other(second);
    other.plugIn();
    EXPECT_EQ(vardo::link::listHid(0x2047, 0x0200).size(), 2u);
    ASSERT_EQ(connect("PID=0x0200,VID=0x2047,DEVICEINDEX=1"), R::Ok);
    (void)conn.unlock(passwordOf(applicationPassword()));
    EXPECT_TRUE(loader->commands().empty());
    EXPECT_EQ(other.commands().size(), 1u);
}

TEST_F(LoaderTest, PortKeyAndConnectionsKeepTwoLoadersApart)
{
    vardo::sim::VirtualLoaderConfig second;
    second.path = "sim:1-1.3:bsl";
    vardo::sim::VirtualLoader other(second);
    other.plugIn();
    other.loadImage(vardo::sim::makeEncoderFirmware(vardo::sim::kReleasedFirmwareVersion));
    EXPECT_EQ(open("PID=0x0200,VID=0x2047,DEVICEINDEX=0,PORT=9-9"), 1);
    EXPECT_EQ(open("PID=0x0200,VID=0x2047,DEVICEINDEX=1,PORT=1-1.3"), 1);  // the index counts that port only
    EXPECT_EQ(open("PID=0x0200,VID=0x2047,PORT="), 1);

    // The default connection on port 1-1.3; a worker's own connection on 1-1 meanwhile.
    ASSERT_EQ(open("PID=0x0200,VID=0x2047,DEVICEINDEX=0,PORT=1-1.3"), 0);
    vardo::loader::Result workerResult = vardo::loader::Result::NotOpen;
    std::thread worker([&] {
        vardo::loader::Connection connection;
        const auto address = vardo::loader::parseConnectionText("PID=0x0200,VID=0x2047,DEVICEINDEX=0,PORT=1-1");
        workerResult = address ? connection.open(*address) : vardo::loader::Result::BadAddress;
        const std::array<std::uint8_t, 32> erased = [] {
            std::array<std::uint8_t, 32> p;
            p.fill(0xFF);
            return p;
        }();
        if (workerResult == vardo::loader::Result::Ok)
            workerResult = connection.unlock(erased);  // wrong: this loader erases
        // The connection closes with its owner; the default one stays open.
    });
    worker.join();
    EXPECT_EQ(workerResult, vardo::loader::Result::PasswordRefused);
    EXPECT_EQ(BSL_RX_Password(applicationPassword()), 0);
    EXPECT_EQ(loader->massErases(), 1);
    EXPECT_EQ(other.massErases(), 0);
    EXPECT_TRUE(other.unlocked());
    EXPECT_FALSE(loader->unlocked());
    EXPECT_EQ(BSL_get_RX_Buffer().data[4], 0);  // the default connection's own last reply
}

TEST_F(LoaderTest, CountsLoadersByVendorAndProduct)
{
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 1u);
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0201), 0u);
    loader->unplug();
    EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 0u);
}

TEST_F(LoaderTest, DefaultPasswordIsAnErasedVectorTable)
{
    const DataBlock_ b = BSL_getDefaultPass();
    EXPECT_EQ(b.length, 32u);
    EXPECT_EQ(b.startAddress, 0xFFE0u);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(b.data[i], 0xFF);
}

TEST_F(LoaderTest, ReadsThePasswordBlockFromAText)
{
    const DataBlock_ b = BSL_readTI_Text(
        "@FFE0\r\n20 44 20 44 20 44 20 44 20 44 20 44 00 45 20 44 \r\n"
        "20 44 20 44 80 44 20 44 20 44 20 44 20 44 10 44 \r\nq",
        32);
    EXPECT_EQ(b.startAddress, 0xFFE0u);
    ASSERT_EQ(b.length, 32u);
    EXPECT_EQ(b.data[12], 0x00);
    EXPECT_EQ(b.data[31], 0x44);
    EXPECT_EQ(BSL_readTI_Text("@FFE0\r\n2G\r\nq", 32).length, 0u);
    EXPECT_EQ(BSL_readTI_Text("@FFE0\r\n00 01 02 03\r\nq", 2).length, 2u);
}

TEST_F(LoaderTest, TheRightPasswordUnlocks)
{
    ASSERT_EQ(connect(), R::Ok);
    EXPECT_EQ(conn.sendImage("@F800\r\n01 02\r\nq"), R::Ok);  // sent, but a locked loader drops it
    EXPECT_EQ(loader->read(0xF800, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(loader->commands().back().status, P::kMsgLocked);
    EXPECT_EQ(conn.unlock(passwordOf(applicationPassword())), R::Ok);
    EXPECT_TRUE(loader->unlocked());
    EXPECT_EQ(loader->massErases(), 0);
    EXPECT_EQ(conn.sendImage("@F800\r\n01 02\r\nq"), R::Ok);
    EXPECT_EQ(loader->read(0xF800, 2), (std::vector<std::uint8_t>{0x01, 0x02}));
}

TEST_F(LoaderTest, TheFlashResidentLoaderKnowsThreeCommandsTheRamLoaderAll)
{
    connectUnlocked();
    EXPECT_EQ(conn.eraseSegment(0x4400), R::UnknownCommand);
    EXPECT_EQ(crc(0x4400, 16), R::UnknownCommand);
    EXPECT_EQ(versionText(), "ERROR");
    EXPECT_EQ(loader->commands().back().status, P::kMsgUnknownCommand);
    connectRamLoader();
    EXPECT_EQ(conn.eraseSegment(0x4400), R::Ok);
    EXPECT_EQ(crc(0x4400, 16), R::Ok);
}

TEST_F(LoaderTest, AWrongPasswordMassErasesAndTheDefaultThenUnlocks)
{
    ASSERT_EQ(connect(), R::Ok);
    DataBlock_ wrong = applicationPassword();
    wrong.data[0] ^= 1;
    EXPECT_EQ(conn.unlock(passwordOf(wrong)), R::PasswordRefused);
    EXPECT_EQ(loader->massErases(), 1);
    EXPECT_EQ(loader->read(0x4400, 4), std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(loader->read(0xFFE0, 32), std::vector<std::uint8_t>(32, 0xFF));
    EXPECT_EQ(conn.unlock(passwordOf(applicationPassword())), R::PasswordRefused);
    EXPECT_EQ(conn.unlock(erasedPassword()), R::Ok);
}

TEST_F(LoaderTest, WritesATextIntoFlashAndRefusesAMalformedOneWhole)
{
    connectRamLoader();
    ASSERT_EQ(conn.eraseSegment(0x5000), R::Ok);
    EXPECT_EQ(conn.sendImage("@5000\r\n01 02 03 04\r\n@5010\r\nAA\r\nq"), R::Ok);
    EXPECT_EQ(loader->read(0x5000, 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 0xFF}));
    EXPECT_EQ(loader->read(0x5010, 1)[0], 0xAA);

    loader->clearCommands();
    EXPECT_EQ(conn.sendImage("@5020\r\n01 02\r\n03 0\r\nq"), R::Malformed);
    EXPECT_TRUE(loader->commands().empty());
    EXPECT_EQ(conn.sendImage("@5020\r\n01 02\r\n"), R::Malformed);
}

TEST_F(LoaderTest, LongSectionsGoIn48BytePacketsOfFastWrites)
{
    connectUnlocked();
    // 0xF800 lies in the gap of the released firmware: erased flash.
    std::string text = "@F800\r\n";
    for (int line = 0; line < 10; ++line)
        text += "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\r\n";
    loader->clearCommands();
    EXPECT_EQ(conn.sendImage(text + "q"), R::Ok);
    const auto commands = loader->commands();
    ASSERT_EQ(commands.size(), 4u);  // 160 bytes: 48 + 48 + 48 + 16
    EXPECT_EQ(commands[0].command, P::kRxDataBlockFast);
    EXPECT_EQ(commands[1].address, 0xF800u + 48);
    EXPECT_EQ(commands[3].length, 16u);
    EXPECT_EQ(loader->read(0xF89E, 3), (std::vector<std::uint8_t>{0xEE, 0xFF, 0xFF}));
}

TEST_F(LoaderTest, RefusalsOfTheLoaderComeBackAsItsMessage)
{
    connectRamLoader();
    EXPECT_EQ(conn.sendImage("@0200\r\n01\r\nq"), R::Ok);  // a fast write is never answered
    EXPECT_EQ(loader->commands().back().status, P::kMsgFlashWriteCheckFailed);
    EXPECT_EQ(conn.eraseSegment(0x1000), R::FlashFailBit);
    EXPECT_EQ(crc(0x4400, 0), R::PacketTooLong);
    EXPECT_EQ(crc(0x4400, 0x10000), R::PacketTooLong);
    loader->clearCommands();
    std::uint8_t tooLong[64] = {0x3F, 63, 0x12};
    hid_device* raw = hid_open_path(loader->path().c_str());
    ASSERT_EQ(hid_write(raw, tooLong, sizeof tooLong), 64);
    hid_close(raw);
    EXPECT_EQ(loader->commands().back().status, P::kMsgPacketTooLong);
}

TEST_F(LoaderTest, ProgrammingOnlyClearsBitsUntilTheSegmentIsErased)
{
    connectRamLoader();
    // The released firmware is still there: writing over it without an erase
    // leaves old bits set to 0, as real flash does.
    const std::uint8_t before = loader->read(0x4500, 1)[0];
    EXPECT_EQ(conn.sendImage("@4500\r\nFF\r\nq"), R::Ok);
    EXPECT_EQ(loader->read(0x4500, 1)[0], before);
    ASSERT_EQ(conn.eraseSegment(0x45FF), R::Ok);
    EXPECT_EQ(loader->read(0x4400, 0x200), std::vector<std::uint8_t>(0x200, 0xFF));
    EXPECT_NE(loader->read(0x4600, 0x200), std::vector<std::uint8_t>(0x200, 0xFF));
}

TEST_F(LoaderTest, CrcReplyCarriesTheCrcInBytesFiveAndSix)
{
    connectRamLoader();
    ASSERT_EQ(crc(0x4400, 5000), R::Ok);
    const auto memory = loader->read(0x4400, 5000);
    const std::uint16_t expected = vardo::sim::crc16(memory.data(), memory.size());
    std::uint8_t reply[vardo::loader::Connection::kReplySize];
    conn.lastReply(reply);
    EXPECT_EQ(reply[5], expected & 0xFF);
    EXPECT_EQ(reply[6], expected >> 8);
    EXPECT_EQ(reply[2], P::kData);
    EXPECT_EQ(reply[3], P::kCrcCheck);
}

TEST_F(LoaderTest, AFailedCrcRequestIsReported)
{
    connectRamLoader();
    vardo::sim::LoaderFaults faults;
    faults.failCrcRequest = 2;
    loader->setFaults(faults);
    EXPECT_EQ(crc(0x4400, 16), R::Ok);
    EXPECT_EQ(crc(0x4400, 16), R::NoReply);
    EXPECT_EQ(crc(0x4400, 16), R::Ok);
}

TEST_F(LoaderTest, VersionTextHasItsDigitsAtFixedPositions)
{
    EXPECT_EQ(versionText(), "ERROR");  // no connection
    connectRamLoader();
    const std::string ram = versionText();
    EXPECT_EQ(ram, "Vendor: 00 Cmd: 06 API:  05  PI: 34");
    EXPECT_EQ(ram.substr(16, 2) + ram.substr(25, 2) + ram.substr(33, 2), "060534");
    // The positions named in loader_protocol.h read back what the text was made of.
    const vardo::loader::Version v{0xAB, 0x06, 0x05, 0x34};
    const auto back = vardo::loader::versionFromText(vardo::loader::versionText(v));
    ASSERT_TRUE(back);
    EXPECT_EQ((std::array{back->vendor, back->interpreter, back->api, back->peripheral}),
              (std::array<std::uint8_t, 4>{0xAB, 0x06, 0x05, 0x34}));
    for (const char* notOne : {"ERROR", "Vendor: 00 Cmd: 06 API:  05  PI: 3", "Vendor: 00 Cmd: 0G API:  05  PI: 34"})
        EXPECT_FALSE(vardo::loader::versionFromText(notOne)) << notOne;
}

// Every loader result has its own words, and the library's one-byte codes
// are the loader's messages.
TEST(LoaderResult, EachResultHasItsOwnTextAndTheMessagesKeepTheirCodes)
{
    using vardo::loader::Result;
    std::set<std::string> texts;
    for (int r = 0; r <= static_cast<int>(Result::CannotOpenFile); ++r)
        EXPECT_TRUE(texts.insert(vardo::loader::resultText(static_cast<Result>(r))).second) << r;
    EXPECT_EQ(vardo::loader::resultOfMessage(P::kMsgPasswordError), Result::PasswordRefused);
    EXPECT_EQ(vardo::loader::resultOfMessage(P::kMsgPacketTooLong), Result::PacketTooLong);
    EXPECT_EQ(vardo::loader::resultOfMessage(0x2A), Result::UnknownMessage);
    const auto a = vardo::loader::parseConnectionText("vid=0x2047, pid=512,DeviceIndex=1,PORT=1-1.3");
    ASSERT_TRUE(a);
    EXPECT_EQ(vardo::loader::connectionText(*a), "PID=0x0200,VID=0x2047,DEVICEINDEX=1,PORT=1-1.3");
}

TEST_F(LoaderTest, TheUploadedRamLoaderRestartsTheDeviceAndReportsItsVersion)
{
    connectUnlocked();
    std::atomic<int> arrivals{0}, removals{0};
    const int id = vardo::sim::Bus::instance().addListener([&](const vardo::sim::BusEvent& e) {
        (e.kind == vardo::sim::BusEventKind::Arrival ? arrivals : removals)++;
    });
    const std::string ram = vardo::sim::toTiTxt(vardo::sim::makeRamLoader());
    EXPECT_EQ(conn.sendImage(ram), R::Ok);
    EXPECT_EQ(conn.loadPc(0x2504), R::Ok);
    EXPECT_EQ(removals.load(), 1);
    EXPECT_EQ(loader->mode(), LoaderMode::Restarting);
    EXPECT_EQ(versionText(), "ERROR");  // the old handle is stale
    conn.close();
    clock.sleepMs(1000);
    EXPECT_EQ(connect(), R::Ok);
    EXPECT_EQ(arrivals.load(), 1);
    EXPECT_EQ(loader->mode(), LoaderMode::RamLoader);
    EXPECT_FALSE(loader->unlocked());
    EXPECT_EQ(versionText(), "ERROR");  // locked
    EXPECT_EQ(conn.unlock(passwordOf(applicationPassword())), R::Ok);
    EXPECT_EQ(versionText(), "Vendor: 00 Cmd: 06 API:  05  PI: 34");
    vardo::sim::Bus::instance().removeListener(id);
}

TEST_F(LoaderTest, ACorruptRamLoaderEndsBackInTheRomLoader)
{
    connectUnlocked();
    auto image = vardo::sim::makeRamLoader();
    image[1].bytes[100] ^= 0x01;
    ASSERT_EQ(conn.sendImage(vardo::sim::toTiTxt(image)), R::Ok);
    EXPECT_EQ(conn.loadPc(0x2504), R::Ok);
    conn.close();
    clock.sleepMs(1000);
    ASSERT_EQ(connect(), R::Ok);
    EXPECT_EQ(loader->mode(), LoaderMode::RomLoader);
}

TEST_F(LoaderTest, TheForcedBrownOutStartsAProgrammedApplication)
{
    connectUnlocked();
    std::string started;
    loader->setRestartHandler([&](const std::string& v) { started = v; });
    EXPECT_EQ(conn.sendImage("@0120\r\n04 A5 \r\nq"), R::Ok);
    EXPECT_EQ(loader->brownOutResets(), 1);
    EXPECT_EQ(conn.sendImage("@0120\r\n04 A5 \r\nq"), R::NoReply);  // already gone
    clock.sleepMs(2000);
    EXPECT_EQ(loader->mode(), LoaderMode::Application);
    EXPECT_EQ(started, "01.05A");
    EXPECT_EQ(vardo::link::listHid(0x2047, 0x0200).size(), 0u);
}

TEST_F(LoaderTest, WithoutAResetVectorTheBrownOutComesBackAsALoader)
{
    connectRamLoader();
    ASSERT_EQ(conn.eraseSegment(0xFFFF), R::Ok);
    bool started = false;
    loader->setRestartHandler([&](const std::string&) { started = true; });
    EXPECT_EQ(conn.sendImage("@0120\r\n04 A5 \r\nq"), R::Ok);
    clock.sleepMs(2000);
    EXPECT_EQ(vardo::link::listHid(0x2047, 0x0200).size(), 1u);
    EXPECT_FALSE(started);
    EXPECT_EQ(loader->mode(), LoaderMode::RomLoader);
}

TEST_F(LoaderTest, UnpluggedMidTransferTheWriteFails)
{
    connectUnlocked();
    vardo::sim::LoaderFaults faults;
    faults.unplugAfterPackets = 2;
    loader->setFaults(faults);
    std::string text = "@F800\r\n";
    for (int line = 0; line < 10; ++line)
        text += "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\r\n";
    EXPECT_EQ(conn.sendImage(text + "q"), R::NoReply);
    EXPECT_EQ(loader->mode(), LoaderMode::Off);
    // Two packets of 48 bytes arrived; byte 96 (0x00) never did.
    EXPECT_EQ(loader->read(0xF800 + 94, 3), (std::vector<std::uint8_t>{0xEE, 0xFF, 0xFF}));
}

TEST_F(LoaderTest, StreamsAFileBlockByBlock)
{
    EXPECT_EQ(BSL_openTI_TextForRead("/nonexistent/vardo/image.txt"), -2);
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
    const auto path = std::filesystem::temp_directory_path() / "vardo_bsl_stream.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "@4400\r\n";
        for (int i = 0; i < 40; ++i)  // 640 bytes
            f << "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n";
        f << "@FFFE\r\n10 44\r\nq\r\n";
    }
    ASSERT_EQ(BSL_openTI_TextForRead(path.c_str()), 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
    while (BSL_moreDataToRead_TextFile()) {
        const DataBlock_ b = BSL_readTI_TextFile(512);
        blocks.emplace_back(b.startAddress, b.length);
    }
    BSL_closeTI_Text();
    EXPECT_EQ(blocks, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                          {0x4400, 512}, {0x4600, 128}, {0xFFFE, 2}}));
    EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);

    openUnlocked();
    EXPECT_EQ(BSL_RX_TXT_File(path.c_str(), 1), 0u);  // over the old firmware: bits only cleared
    EXPECT_EQ(BSL_RX_TXT_File("/nonexistent/vardo/image.txt", 1), kBslErrOpen);
    std::filesystem::remove(path);
}

TEST_F(LoaderTest, TransfersTakeTheirModelledTimeOnTheClock)
{
    connectRamLoader();
    loader->resetWireTime();
    const std::uint64_t before = clock.nowMs();
    ASSERT_EQ(conn.eraseSegment(0x8000), R::Ok);
    // Command report, 23 ms erase, reply report.
    EXPECT_EQ(loader->wireTimeUs(), 25000u);
    EXPECT_GE(clock.nowMs() - before, 25u);
}

namespace {
struct Heard {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> events;
};
void record(void* context, std::uint32_t message, std::uint32_t event)
{
    auto* h = static_cast<Heard*>(context);
    std::lock_guard lock(h->mutex);
    h->events.emplace_back(message, event);
}
} // namespace

TEST_F(LoaderTest, NotificationsTellLoaderArrivalsAndRemovalsOnly)
{
    Heard heard;
    BslNotificationTarget target{record, &heard};
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&target), 0);
    loader->unplug();
    loader->plugIn();
    vardo::sim::DeviceInfo other;
    other.path = "sim:9-9:1.1";
    other.vendorId = 0x2047;
    other.productId = 0x0902;
    vardo::sim::Bus::instance().attach(other, nullptr);
    EXPECT_EQ(BSL_UnRegisterUSBDeviceNotification(), 0);
    loader->unplug();
    EXPECT_EQ(heard.events, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                                {0x0219, 0x8004}, {0x0219, 0x8000}}));
    BslNotificationTarget empty{nullptr, nullptr};
    EXPECT_EQ(BSL_RegisterUSBDeviceNotification(&empty), 1);
}
