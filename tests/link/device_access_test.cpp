// Telling a missing encoder from one this user may not open.
#include "link/device_access.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace vardo;

namespace {

class DeviceAccess : public ::testing::Test {
protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
};

TEST_F(DeviceAccess, NodesAreJudgedByTheirModeOtherPathsByTheFailedOpen)
{
    // A readable and writable file is no permission problem; a missing /dev node
    // is absent rather than refused.
    const auto file = std::filesystem::temp_directory_path() / "vardo-access-probe";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(link::lacksPermission(file.string()));
    std::filesystem::remove(file);
    EXPECT_FALSE(link::lacksPermission("/dev/hidraw-vardo-missing"));
    EXPECT_TRUE(link::lacksPermission("sim:1-1:1.1"));
}

TEST_F(DeviceAccess, OnlyAListedButRefusedCommandInterfaceCounts)
{
    EXPECT_FALSE(link::encoderListedButNotPermitted());   // nothing on the bus

    sim::VirtualEncoderConfig config;
    config.openable = false;
    sim::VirtualEncoder encoder(config);
    char m[48], p[48];
    EXPECT_EQ(ScanForUSBDevice_a(0x2047, 0x0902, m, p), nullptr);
    EXPECT_TRUE(link::encoderListedButNotPermitted());

    encoder.setOpenable(true);
    EXPECT_FALSE(link::encoderListedButNotPermitted());
    encoder.unplug();
    EXPECT_FALSE(link::encoderListedButNotPermitted());
}

} // namespace
