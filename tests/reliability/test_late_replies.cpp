// A reply that comes after its exchange timed out must not answer the next
// command. Frames name the command they answer; the link passes over a valid
// frame naming another one and keeps waiting for its own.
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace vardo;
using sim::Report;

namespace {

// The reply frame of makeReplyReport with bytes 3-4 replaced and the checksum made good.
Report namingCommand(Report r, std::uint8_t high, std::uint8_t low)
{
    r[3] = high;
    r[4] = low;
    const int n = 1;  // no data bytes: ETX at 8, checksum at 9
    std::uint8_t sum = 0;
    for (int i = 2; i <= 7 + n; ++i)
        sum ^= r[static_cast<std::size_t>(i)];
    r[8 + n] = sum;
    return r;
}

class LateReplyTest : public ::testing::Test {
protected:
    LateReplyTest()
    {
        sim::Bus::instance().reset();
        scripted->attach();
        char manufacturer[48], product[48];
        device = ScanForUSBDevice_a(0x2047, 0x0902, manufacturer, product);
    }
    ~LateReplyTest() override
    {
        if (device)
            hid_close(device);
        sim::Bus::instance().reset();
    }

    std::int32_t exchange(std::uint8_t code, std::vector<std::uint8_t> payload = {})
    {
        replyLength = 999;
        return USBEncoderSendAndReceive_a(device, code, payload.data(),
                                          static_cast<std::int32_t>(payload.size()), reply.data(),
                                          64, &replyLength, 5000);
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    std::shared_ptr<sim::ScriptedDevice> scripted = sim::ScriptedDevice::create();
    hid_device* device = nullptr;
    std::array<std::uint8_t, 64> reply{};
    std::uint32_t replyLength = 0;
};

} // namespace

TEST_F(LateReplyTest, AStatusArrivingDuringTheNextCommandIsPassedOver)
{
    ASSERT_NE(device, nullptr);
    const std::vector<std::uint8_t> status(20, 0x11);
    // The status comes at 6000 ms, after GET_STATUS gave up at 5000 ms and
    // SET_LED_BRIGHTNESS went out; the brightness reply follows it.
    scripted->scriptReply({{6000, sim::makeReplyReport(1, status)}});
    scripted->scriptReply({{1500, sim::makeReplyReport(2)}});
    EXPECT_EQ(exchange(1), -6);
    const auto sent = clock.nowMs();
    EXPECT_EQ(exchange(2, {4}), 0);
    EXPECT_EQ(replyLength, 0u);   // the brightness reply, not the 20-byte status
    EXPECT_EQ(clock.nowMs() - sent, 1500u);
    EXPECT_EQ(scripted->pendingReports(), 0u);
}

TEST_F(LateReplyTest, OnlyTheLateReplyComingMeansATimeOut)
{
    ASSERT_NE(device, nullptr);
    scripted->scriptReply({{10, sim::makeReplyReport(1, std::vector<std::uint8_t>(20, 0))}});
    EXPECT_EQ(exchange(5, std::vector<std::uint8_t>(32, 0)), -6);
}

TEST_F(LateReplyTest, NamesAreReadInEitherCaseAndUnreadableNamesAreTaken)
{
    ASSERT_NE(device, nullptr);
    // "0a" names command 10 like "0A".
    scripted->scriptReply({{1, namingCommand(sim::makeReplyReport(10), '0', 'a')}});
    EXPECT_EQ(exchange(10), 0);
    // No command is named: nothing to tell it by, so it is the reply.
    scripted->scriptReply({{1, namingCommand(sim::makeReplyReport(2), 'x', '2')}});
    EXPECT_EQ(exchange(2, {1}), 0);
}

TEST_F(LateReplyTest, RefusalsAndBrokenFramesStillEndTheExchange)
{
    ASSERT_NE(device, nullptr);
    // A refusal's bytes 3-4 are not part of any frame: it refuses whatever was sent.
    scripted->scriptReply({{1, sim::makeRefusalReport(7)}});
    EXPECT_EQ(exchange(2, {1}), -13);
    // A frame that fails its checks cannot be trusted to name anything.
    Report broken = sim::makeReplyReport(7);
    broken[9] ^= 0xFF;
    scripted->scriptReply({{1, broken}});
    EXPECT_EQ(exchange(2, {1}), -13);
    Report tooLarge = sim::makeReplyReport(7);
    tooLarge[1] = 0x41;
    scripted->scriptReply({{1, tooLarge}});
    EXPECT_EQ(exchange(2, {1}), -8);
}

TEST_F(LateReplyTest, ReceivingTakesAReplyOfAnyCommand)
{
    ASSERT_NE(device, nullptr);
    // Key reports are collected without a command of their own.
    scripted->queueReport(sim::makeReplyReport(8, std::vector<std::uint8_t>{3}), 5);
    EXPECT_EQ(USBEncoderReceive_a(device, 1, reply.data(), 64, &replyLength, 5000), 0);
    EXPECT_EQ(replyLength, 1u);
    EXPECT_EQ(reply[0], 3);
}
