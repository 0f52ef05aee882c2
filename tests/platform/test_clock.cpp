#include "platform/clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace vardo::platform;

TEST(VirtualClock, SleepAdvancesTimeAtOnceAndIsCounted)
{
    VirtualClock c(500);
    ScopedClock scoped(c);
    sleepMs(5000);
    sleepMs(10);
    EXPECT_EQ(c.nowMs(), 5510u);
    EXPECT_EQ(c.totalSleptMs(), 5010u);
    EXPECT_EQ(tickCountMs(), 5510u);
    c.advance(90);
    EXPECT_EQ(tickCountMs(), 5600u);
}

TEST(VirtualClock, SleepersOnSeveralThreadsAllMoveTheSameTime)
{
    VirtualClock c(0);
    ScopedClock scoped(c);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i)
                sleepMs(10);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(c.nowMs(), 40000u);
}

TEST(ClockSeam, ScopedClockRestoresTheRealClock)
{
    {
        VirtualClock c;
        ScopedClock scoped(c);
        EXPECT_EQ(&vardo::platform::clock(), &c);
    }
    EXPECT_NE(dynamic_cast<RealClock*>(&vardo::platform::clock()), nullptr);
}

TEST(RealClock, NeverGoesBackwards)
{
    RealClock c;
    auto a = c.nowMs();
    c.sleepMs(1);
    EXPECT_GE(c.nowMs(), a + 1);
}
