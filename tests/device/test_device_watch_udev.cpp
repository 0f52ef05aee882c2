// The windows' udev watch: several run at once and each stops cleanly (no
// devices are plugged here; without a udev monitor, starting says so).
#include "device/device_watch.h"

#include <gtest/gtest.h>

TEST(UdevEncoderWatch, SeveralStartAndStopIndependently)
{
    auto first = vardo::device::DeviceWatch::start([] {});
    auto second = vardo::device::DeviceWatch::start([] {});
    EXPECT_EQ(first == nullptr, second == nullptr);
    first.reset();   // the other keeps running until it goes
    second.reset();
}
