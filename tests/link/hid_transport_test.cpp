// The HID transport against scripted reports: exact command frames, every
// result code, the time-out rule, scanning, closing and the mended faults.
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace vardo;
using sim::Report;
using sim::ScriptedDevice;

namespace {

Report bytes(std::initializer_list<std::uint8_t> head)
{
    Report r(64, 0);
    std::copy(head.begin(), head.end(), r.begin());
    return r;
}

// XOR of bytes 2..last, written at last + 1.
Report sealed(Report r, std::size_t last)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 2; i <= last; ++i)
        sum ^= r[i];
    r[last + 1] = sum;
    return r;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::Bus::instance().reset();
    }
    void TearDown() override
    {
        if (device)
            hid_close(device);
        sim::Bus::instance().reset();
    }

    // Attaches a scripted encoder interface and opens it through the scan.
    std::shared_ptr<ScriptedDevice> openScripted()
    {
        auto d = ScriptedDevice::create();
        d->attach();
        device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
        EXPECT_NE(device, nullptr);
        return d;
    }

    std::int32_t exchange(std::uint8_t code, std::vector<std::uint8_t> payload = {},
                          std::int32_t timeoutMs = 5000)
    {
        return USBEncoderSendAndReceive_a(device, code, payload.data(),
                                          static_cast<std::int32_t>(payload.size()), reply.data(),
                                          64, &replyLength, timeoutMs);
    }

    std::int32_t receive(std::int32_t timeoutMs = 5000)
    {
        return USBEncoderReceive_a(device, 8, reply.data(), 64, &replyLength, timeoutMs);
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    hid_device* device = nullptr;
    char manufacturer[48] = {};
    char product[48] = {};
    std::array<std::uint8_t, 64> reply{};
    std::uint32_t replyLength = 12345;
};

// ---- command frames ---------------------------------------------------------

TEST_F(TransportTest, CommandFramesAreByteExact)
{
    auto d = openScripted();
    for (std::uint8_t code : {1, 2, 9})
        d->scriptReply({{1, sim::makeReplyReport(code)}});
    ASSERT_EQ(exchange(1), 0);
    ASSERT_EQ(exchange(2, {0x05}), 0);
    ASSERT_EQ(exchange(9), 0);

    const auto w = d->writes();
    ASSERT_EQ(w.size(), 3u);
    for (const auto& frame : w)
        EXPECT_EQ(frame.size(), 64u);
    EXPECT_EQ(w[0], bytes({0x3F, 0x40, 0x02, 0x30, 0x31, 0x30, 0x30, 0x03, 0x00}));
    EXPECT_EQ(w[1], bytes({0x3F, 0x40, 0x02, 0x30, 0x32, 0x30, 0x31, 0x05, 0x03, 0x07}));
    EXPECT_EQ(w[2], bytes({0x3F, 0x40, 0x02, 0x30, 0x39, 0x30, 0x30, 0x03, 0x08}));
}

TEST_F(TransportTest, LargePayloadsEncodeLengthInUpperCaseHexAndOversizedOnesAreRefused)
{
    auto d = openScripted();
    d->scriptReply({{1, sim::makeReplyReport(13)}});
    d->scriptReply({{1, sim::makeReplyReport(5)}});
    std::vector<std::uint8_t> table(32);
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(0xA0 + i);
    ASSERT_EQ(exchange(13, {1}), 0);   // code 13 is "0D"
    ASSERT_EQ(exchange(5, table), 0);

    auto w = d->writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0][3], '0');
    EXPECT_EQ(w[0][4], 'D');
    EXPECT_EQ(w[1][5], '2');
    EXPECT_EQ(w[1][6], '0');
    EXPECT_TRUE(std::equal(table.begin(), table.end(), w[1].begin() + 7));
    EXPECT_EQ(w[1][39], 0x03);
    std::uint8_t sum = 0;
    for (int i = 2; i <= 39; ++i)
        sum ^= w[1][i];
    EXPECT_EQ(w[1][40], sum);
    EXPECT_TRUE(std::all_of(w[1].begin() + 41, w[1].end(), [](auto b) { return b == 0; }));

    // 56 bytes cannot fit the report: refused before anything is written.
    EXPECT_EQ(exchange(5, std::vector<std::uint8_t>(56, 1)), -1);
    EXPECT_EQ(exchange(5, {}, 5000), -6);   // no script left: silence
    EXPECT_EQ(USBEncoderSendAndReceive_a(device, 5, nullptr, -1, reply.data(), 64, &replyLength,
                                         5000),
              -1);
    EXPECT_EQ(d->writes().size(), 3u);
}

// ---- replies and result codes --------------------------------------------------

TEST_F(TransportTest, ValidReplyHandsBackItsDataBytes)
{
    auto d = openScripted();
    const std::uint8_t data[] = {9, 8, 7};
    d->scriptReply({{1, sim::makeReplyReport(1, data)}});
    ASSERT_EQ(exchange(1), 0);
    EXPECT_EQ(replyLength, 3u);
    EXPECT_EQ(reply[0], 9);
    EXPECT_EQ(reply[2], 7);

    // N = 1: a status byte and no data.
    d->scriptReply({{1, sim::makeReplyReport(2)}});
    ASSERT_EQ(exchange(2, {1}), 0);
    EXPECT_EQ(replyLength, 0u);

    // A reply naming another command is passed over (a late reply to an
    // earlier exchange); with nothing else coming the wait times out.
    d->scriptReply({{1, sim::makeReplyReport(7)}});
    EXPECT_EQ(exchange(2, {1}), -6);
}

TEST_F(TransportTest, EveryFailedCheckHasItsResultCode)
{
    auto d = openScripted();
    const Report good = sim::makeReplyReport(2);   // 3F 0A 02 '0' '2' '0' '1' 00 03 xx
    struct Case {
        const char* what;
        Report report;
        std::int32_t expected;
    };
    std::vector<Case> cases;
    cases.push_back({"refusal", sim::makeRefusalReport(2), -13});
    Report count = good;
    count[1] = 0x41;
    cases.push_back({"byte count above 0x40", count, -8});
    Report count40 = good;
    count40[1] = 0x40;
    cases.push_back({"byte count 0x40 is fine", count40, 0});
    Report noStx = good;
    noStx[2] = 0x05;
    cases.push_back({"no STX", sealed(noStx, 8), -13});
    Report status = good;
    status[7] = 0x01;
    cases.push_back({"status byte not 0", sealed(status, 8), -13});
    Report etx = good;
    etx[8] = 0x04;
    cases.push_back({"ETX missing", sealed(etx, 8), -13});
    Report sum = good;
    sum[9] ^= 0x01;
    cases.push_back({"checksum wrong", sum, -13});
    Report longer = good;
    longer[6] = '2';   // N = 2: ETX expected at 9
    cases.push_back({"length field beyond the frame", longer, -13});

    for (const auto& c : cases) {
        d->scriptReply({{1, c.report}});
        EXPECT_EQ(exchange(2, {3}), c.expected) << c.what;
    }
}

TEST_F(TransportTest, ReadAndWriteFailuresAndAGoneDeviceGiveMinusOne)
{
    auto d = openScripted();
    d->setWriteFails(true);
    EXPECT_EQ(exchange(1), -1);
    d->setWriteFails(false);
    d->setReadFails(true);
    EXPECT_EQ(exchange(1), -1);
    EXPECT_EQ(receive(), -1);
    d->setReadFails(false);
    d->detach();
    EXPECT_EQ(exchange(1), -1);
    EXPECT_EQ(receive(), -1);
}

TEST_F(TransportTest, NullHandleFailsWithoutTouchingTheBus)
{
    auto d = ScriptedDevice::create();
    d->attach();
    const int inits = sim::Bus::instance().initCount();
    EXPECT_EQ(USBEncoderSendAndReceive_a(nullptr, 1, nullptr, 0, reply.data(), 64, &replyLength,
                                         5000),
              -1);
    EXPECT_EQ(USBEncoderReceive_a(nullptr, 1, reply.data(), 64, &replyLength, 5000), -1);
    EXPECT_TRUE(d->writes().empty());
    EXPECT_EQ(sim::Bus::instance().initCount(), inits);
    EXPECT_EQ(clock.totalSleptMs(), 0u);
}

// ---- time-out ---------------------------------------------------------------------

TEST_F(TransportTest, SilentDeviceTimesOutAfterFiveHundredPolls)
{
    openScripted();
    const auto start = clock.nowMs();
    EXPECT_EQ(exchange(1), -6);
    EXPECT_EQ(clock.nowMs() - start, 5000u);
    EXPECT_EQ(receive(25), -6);   // counted in steps of 10: three polls
    EXPECT_EQ(clock.nowMs() - start, 5030u);
}

TEST_F(TransportTest, EachAckRestartsTheTimeOut)
{
    auto d = openScripted();
    d->scriptReply({{4000, sim::makeAckReport()},
                    {8000, sim::makeAckReport()},
                    {12000, sim::makeAckReport()},
                    {14990, sim::makeReplyReport(1)}});
    const auto start = clock.nowMs();
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(clock.nowMs() - start, 14990u);

    // After an ACK the device falls silent: the time-out runs from that ACK.
    d->scriptReply({{3000, sim::makeAckReport()}});
    const auto second = clock.nowMs();
    EXPECT_EQ(exchange(1), -6);
    EXPECT_EQ(clock.nowMs() - second, 8000u);
}

TEST_F(TransportTest, EndlessAcksEndTheExchangeAtThreeTimeOuts)
{
    auto d = openScripted();
    // One ACK a second for a minute, the reply after that: the exchange ends first.
    std::vector<sim::TimedReport> acks;
    for (std::uint32_t ms = 1000; ms <= 60000; ms += 1000)
        acks.push_back({ms, sim::makeAckReport()});
    acks.push_back({60500, sim::makeReplyReport(1)});
    d->scriptReply(acks);
    const auto start = clock.nowMs();
    EXPECT_EQ(exchange(1), -6);
    EXPECT_EQ(clock.nowMs() - start, 15000u);
    // So does a wait that sends nothing, at three times its own time-out.
    const auto second = clock.nowMs();
    EXPECT_EQ(receive(1500), -6);
    EXPECT_EQ(clock.nowMs() - second, 4500u);
}

TEST_F(TransportTest, ADeviceThatKeepsSendingCannotStretchTheTimeOut)
{
    auto d = openScripted();
    // Late replies of another command, one a millisecond for 20 s.
    for (std::uint32_t ms = 1; ms <= 20000; ++ms)
        d->queueReport(sim::makeReplyReport(7), ms);
    const auto start = clock.nowMs();
    EXPECT_EQ(exchange(1), -6);
    EXPECT_EQ(clock.nowMs() - start, 5000u);
    // An ACK amid the flood still restarts the time-out.
    d->scriptReply({{3000, sim::makeAckReport()}});
    EXPECT_EQ(exchange(1), -6);
    EXPECT_EQ(clock.nowMs() - start, 5000u + 8000u);
}

// Has a late reply ready at every read until a command is written; then answers it.
struct Flood final : sim::HidEndpoint {
    int write(const std::uint8_t*, std::size_t length) override
    {
        readsBeforeWrite = reads;
        return static_cast<int>(length);
    }
    int read(std::uint8_t* data, std::size_t) override
    {
        if (readsBeforeWrite < 0 ? reads == 1000000 : reads > readsBeforeWrite)
            return 0;
        const Report r = sim::makeReplyReport(readsBeforeWrite < 0 ? 7 : 2);
        ++reads;
        std::memcpy(data, r.data(), r.size());
        return 64;
    }
    std::optional<std::uint64_t> nextReportDue() override { return std::nullopt; }
    int reads = 0;
    int readsBeforeWrite = -1;
};

TEST_F(TransportTest, TheDrainBeforeACommandGivesUpOnAFlood)
{
    auto flood = std::make_shared<Flood>();
    sim::Bus::instance().attach(ScriptedDevice::encoderInterface("sim:flood:1.1"), flood);
    device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(exchange(2, {1}), 0);
    EXPECT_EQ(flood->readsBeforeWrite, 5000);
}

TEST_F(TransportTest, ZeroTimeOutWaitsWithoutLimit)
{
    auto d = openScripted();
    d->scriptReply({{600000, sim::makeReplyReport(1)}});
    EXPECT_EQ(exchange(1, {}, 0), 0);
    d->queueReport(sim::makeReplyReport(8, std::vector<std::uint8_t>{3}), 120000);
    EXPECT_EQ(receive(0), 0);
    EXPECT_EQ(reply[0], 3);
}

// ---- mended faults ------------------------------------------------------------

TEST_F(TransportTest, LowerCaseLengthDigitsCountAsZero)
{
    auto d = openScripted();
    // "1a" decodes as 0x10: 15 data bytes, ETX at 23, checksum at 24.
    Report r = bytes({0x3F, 0x20, 0x02, '0', '1', '1', 'a', 0x00});
    for (int i = 8; i < 23; ++i)
        r[i] = static_cast<std::uint8_t>(i);
    r[23] = 0x03;
    d->scriptReply({{1, sealed(r, 23)}});
    ASSERT_EQ(exchange(1), 0);
    EXPECT_EQ(replyLength, 15u);
    EXPECT_EQ(reply[14], 22);
}

TEST_F(TransportTest, LengthFieldsThatCannotFitTheReportAreInvalidFrames)
{
    auto d = openScripted();
    // N = 0 has no status byte; "0003" would otherwise be ETX and checksum.
    Report zero = bytes({0x3F, 0x09, 0x02, '0', '1', '0', '0', 0x03});
    d->scriptReply({{1, sealed(zero, 7)}});
    EXPECT_EQ(exchange(1), -13);

    // N = 55 is the longest frame that fits: checksum at byte 63.
    Report fits = bytes({0x3F, 0x40, 0x02, '0', '1', '3', '7', 0x00});
    fits[62] = 0x03;
    d->scriptReply({{1, sealed(fits, 62)}});
    EXPECT_EQ(exchange(1), 0);
    EXPECT_EQ(replyLength, 54u);

    // N = 56 .. 63 would need bytes past the report.
    for (int n = 56; n <= 63; ++n) {
        Report r = bytes({0x3F, 0x40, 0x02, '0', '1', '3',
                          static_cast<std::uint8_t>(n - 48 < 10 ? '0' + n - 48 : 'A' + n - 58),
                          0x00});
        r[63] = 0x03;
        d->scriptReply({{1, r}});
        EXPECT_EQ(exchange(1), -13) << "N = " << n;
    }
}

TEST_F(TransportTest, FailedFrameLeavesTheCallersBufferAlone)
{
    auto d = openScripted();
    const std::uint8_t data[] = {1, 2, 3, 4};
    Report bad = sim::makeReplyReport(1, data);
    bad[13] ^= 0xFF;   // checksum
    d->scriptReply({{1, bad}});
    reply.fill(0xEE);
    EXPECT_EQ(exchange(1), -13);
    EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_EQ(replyLength, 12345u);
}

TEST_F(TransportTest, InputWaitingBeforeACommandIsDiscarded)
{
    auto d = openScripted();
    // A stale reply (say, of a command that timed out) is already waiting.
    d->queueReport(sim::makeReplyReport(1, std::vector<std::uint8_t>{0xAA}));
    d->queueReport(sim::makeAckReport());
    d->scriptReply({{1, sim::makeReplyReport(2, std::vector<std::uint8_t>{0x55})}});
    ASSERT_EQ(exchange(2, {1}), 0);
    EXPECT_EQ(replyLength, 1u);
    EXPECT_EQ(reply[0], 0x55);
    EXPECT_EQ(d->pendingReports(), 0u);
}

TEST_F(TransportTest, LateReplyIsNotTakenForTheNextCommand)
{
    sim::VirtualEncoder encoder;
    encoder.injectFault({sim::EncoderFault::LateReply, false, -1, 6000});
    device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(exchange(1), -6);
    clock.advance(2000);   // the late status reply has arrived by now
    ASSERT_EQ(exchange(2, {4}), 0);
    EXPECT_EQ(replyLength, 0u);   // the brightness reply, not the 20-byte status
    EXPECT_EQ(encoder.ledBrightness(), 4);
}

// ---- one exchange at a time ----------------------------------------------------

// ---- scan and close ------------------------------------------------------------

TEST_F(TransportTest, ScanOpensInterfaceOneOfACompositeDevice)
{
    auto keyboard = ScriptedDevice::create(ScriptedDevice::encoderInterface("sim:2-1:1.0", 0));
    auto other = ScriptedDevice::create(ScriptedDevice::encoderInterface("sim:2-1:1.2", -1));
    auto commands = ScriptedDevice::create(ScriptedDevice::encoderInterface("sim:2-1:1.1", 1));
    keyboard->attach();
    other->attach();
    commands->attach();
    device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(manufacturer, "Vardo Interface");
    EXPECT_STREQ(product, "Vardo 710 Encoder");
    exchange(1, {}, 10);
    EXPECT_EQ(commands->writes().size(), 1u);
    EXPECT_TRUE(keyboard->writes().empty());
    EXPECT_TRUE(other->writes().empty());
}

TEST_F(TransportTest, ScanReportsNoneWhenNothingSuitableCanBeOpened)
{
    auto expectNone = [&](const char* what) {
        std::strcpy(manufacturer, "stale");
        std::strcpy(product, "stale");
        hid_device* d = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
        EXPECT_EQ(d, nullptr) << what;
        EXPECT_STREQ(manufacturer, "None") << what;
        EXPECT_STREQ(product, "None") << what;
    };
    expectNone("empty bus");

    auto keyboardOnly = ScriptedDevice::create(ScriptedDevice::encoderInterface("sim:3-1:1.0", 0));
    keyboardOnly->attach();
    expectNone("no interface 1");

    auto info = ScriptedDevice::encoderInterface("sim:3-2:1.1");
    info.productId = 0x0200;
    ScriptedDevice::create(info)->attach();
    expectNone("other product");

    info = ScriptedDevice::encoderInterface("sim:3-3:1.1");
    info.openable = false;
    ScriptedDevice::create(info)->attach();
    expectNone("permission denied");
}

TEST_F(TransportTest, ScanNarrowsNamesAndMarksUnreadableOnes)
{
    auto info = ScriptedDevice::encoderInterface();
    info.manufacturer = L"";   // the device cannot tell
    info.product = std::wstring(L"P\u0141") + std::wstring(60, L'x');
    ScriptedDevice::create(info)->attach();
    device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(manufacturer, "Unable To Find");
    EXPECT_EQ(std::strlen(product), 47u);
    EXPECT_EQ(product[1], 0x41);   // U+0141 keeps its low byte
}

TEST_F(TransportTest, CloseShutsTheLibraryDownAlsoWithoutAHandle)
{
    auto d = openScripted();
    const int exits = sim::Bus::instance().exitCount();
    hid_exit_safely(nullptr);
    EXPECT_EQ(sim::Bus::instance().exitCount(), exits + 1);
    EXPECT_EQ(d->closedCount(), 0);

    hid_exit_safely(device);
    device = nullptr;
    EXPECT_EQ(d->closedCount(), 1);
    EXPECT_EQ(sim::Bus::instance().exitCount(), exits + 2);
    EXPECT_FALSE(sim::Bus::instance().initialised());

    // The next scan brings the library up again.
    device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    EXPECT_NE(device, nullptr);
    EXPECT_TRUE(sim::Bus::instance().initialised());
}

} // namespace
