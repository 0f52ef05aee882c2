// The udev device watch starts and stops cleanly (no devices are plugged here;
// where the system offers no udev monitor, starting reports it); the USB port
// lookup of nodes that are not there.
#include "link/usb_port.h"
#include "loader/hotplug.h"

#include <gtest/gtest.h>

#include <atomic>

TEST(UdevDeviceWatch, StartsRestartsAndStops)
{
    std::atomic<int> heard{0};
    const bool started = vardo::loader::startDeviceWatch([&](const vardo::loader::DeviceChange&) { ++heard; });
    if (started) {
        // A second start replaces the first watch.
        EXPECT_TRUE(vardo::loader::startDeviceWatch([&](const vardo::loader::DeviceChange&) { ++heard; }));
    }
    vardo::loader::stopDeviceWatch();
    vardo::loader::stopDeviceWatch();  // stopping twice is harmless
    SUCCEED();
}

// No hidraw node of that name, or no name at all: no port, and no crash.
TEST(UdevUsbPort, NodesThatAreNotThereHaveNoPort)
{
    for (const char* path : {"", "/", "/dev/hidraw-none-such", "hidraw-none-such", "sim:1-1:1.1"})
        EXPECT_EQ(vardo::link::usbPortOf(path), "") << path;
}
