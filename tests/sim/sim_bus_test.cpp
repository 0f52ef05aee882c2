// Timed device events on the bus, and reads that wake exactly when a report
// or event is due.
#include "link/usb_port.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/scripted_device.h"

#include <gtest/gtest.h>
#include <hidapi.h>

#include <array>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

using namespace vardo;

namespace {

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    sim::Bus& bus = sim::Bus::instance();
};

TEST_F(SimBusTest, ScheduledActionsRunOnceDueInTimeOrder)
{
    std::string ran;
    const auto now = clock.nowMs();
    bus.schedule(now + 20, [&] { ran += "b"; });
    bus.schedule(now + 10, [&] { ran += "a"; });
    const int dropped = bus.schedule(now + 15, [&] { ran += "x"; });
    bus.schedule(now + 20, [&] { ran += "c"; });
    bus.cancel(dropped);
    EXPECT_EQ(bus.nextScheduledDue(), now + 10);

    bus.runDue();
    EXPECT_EQ(ran, "");
    clock.advance(10);
    bus.runDue();
    EXPECT_EQ(ran, "a");
    clock.advance(10);
    bus.runDue();
    EXPECT_EQ(ran, "abc");
    EXPECT_FALSE(bus.nextScheduledDue().has_value());
}

TEST_F(SimBusTest, DevicesSitOnUsbPorts)
{
    sim::DeviceInfo behindHub;
    behindHub.path = "sim:1-1.3:1.1";
    sim::DeviceInfo named;
    named.path = "/dev/hidraw7";
    named.port = "2-4";
    bus.attach(behindHub, sim::ScriptedDevice::create(behindHub));
    bus.attach(named, sim::ScriptedDevice::create(named));
    EXPECT_EQ(bus.portOf("sim:1-1.3:1.1"), "1-1.3");
    EXPECT_EQ(link::usbPortOf("/dev/hidraw7"), "2-4");   // what the program asks goes to the bus
    EXPECT_EQ(link::usbPortOf("sim:1-9:1.1"), "");
    bus.detach("/dev/hidraw7");
    EXPECT_EQ(link::usbPortOf("/dev/hidraw7"), "");
}

// An enumeration made while another thread is attaching a device that is due
// sees the bus after it, not half way.
TEST_F(SimBusTest, RunDueReturnsOnlyOnceTheDueActionsOfOtherThreadsAreDone)
{
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<bool> secondReturned{false};
    bus.schedule(clock.nowMs(), [&] {
        started = true;
        while (!release)
            std::this_thread::yield();
    });
    std::thread first([&] { bus.runDue(); });
    while (!started)
        std::this_thread::yield();
    std::thread second([&] {
        bus.runDue();
        secondReturned = true;
    });
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    EXPECT_FALSE(secondReturned);
    release = true;
    first.join();
    second.join();
    EXPECT_TRUE(secondReturned);
}

TEST_F(SimBusTest, ReadWakesWhenAReportIsDueNotAtItsTimeOut)
{
    auto d = sim::ScriptedDevice::create();
    d->attach();
    hid_device* dev = hid_open_path(d->info().path.c_str());
    ASSERT_NE(dev, nullptr);
    d->queueReport(sim::makeAckReport(), 7);
    std::array<unsigned char, 64> buf{};
    const auto start = clock.nowMs();
    EXPECT_EQ(hid_read_timeout(dev, buf.data(), buf.size(), 1000), 64);
    EXPECT_EQ(clock.nowMs() - start, 7u);
    EXPECT_EQ(hid_read_timeout(dev, buf.data(), buf.size(), 30), 0);
    EXPECT_EQ(clock.nowMs() - start, 37u);
    hid_close(dev);
}

TEST_F(SimBusTest, DeviceArrivingWhileAReadWaitsIsSeenOnTime)
{
    auto d = sim::ScriptedDevice::create();
    auto late = sim::ScriptedDevice::create(sim::ScriptedDevice::encoderInterface("sim:5-1:1.1"));
    d->attach();
    hid_device* dev = hid_open_path(d->info().path.c_str());
    ASSERT_NE(dev, nullptr);
    std::vector<sim::BusEvent> events;
    std::uint64_t arrivedAt = 0;
    bus.addListener([&](const sim::BusEvent& e) {
        events.push_back(e);
        arrivedAt = clock.nowMs();
    });
    bus.schedule(clock.nowMs() + 40, [&] { late->attach(); });
    std::array<unsigned char, 64> buf{};
    const auto start = clock.nowMs();
    EXPECT_EQ(hid_read_timeout(dev, buf.data(), buf.size(), 100), 0);
    EXPECT_EQ(clock.nowMs() - start, 100u);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, sim::BusEventKind::Arrival);
    EXPECT_EQ(events[0].device.path, "sim:5-1:1.1");
    EXPECT_EQ(arrivedAt - start, 40u);
    hid_close(dev);
}

} // namespace
