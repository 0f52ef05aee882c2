#pragma once
// A clean bus, the virtual clock and one virtual loader holding the released
// firmware, for tests of the loader library and the virtual loader.
#include "loader/bsl430.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/encoder_images.h"
#include "sim/virtual_loader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class LoaderTest : public ::testing::Test {
protected:
    LoaderTest()
    {
        vardo::sim::Bus::instance().reset();
        loader = std::make_unique<vardo::sim::VirtualLoader>();
        loader->loadImage(vardo::sim::makeEncoderFirmware(vardo::sim::kReleasedFirmwareVersion));
        loader->plugIn();
    }
    ~LoaderTest() override
    {
        BSL_close_BSL();
        loader.reset();
        vardo::sim::Bus::instance().reset();
    }

    static std::uint8_t open(const char* com = "PID=0x0200,VID=0x2047,DEVICEINDEX=0")
    {
        BSL_setFamily(3);
        BSL_setCom(2);
        return BSL_initialize_BSL(com);
    }
    static DataBlock_ applicationPassword()
    {
        DataBlock_ b{};
        const auto v = vardo::sim::encoderVectorTable();
        std::copy(v.begin(), v.end(), b.data);
        b.length = 32;
        b.startAddress = 0xFFE0;
        return b;
    }
    // The flash-resident loader, unlocked (it knows password, fast write, load PC).
    void openUnlocked()
    {
        ASSERT_EQ(open(), 0);
        ASSERT_EQ(BSL_RX_Password(applicationPassword()), 0);
    }
    // The RAM loader started and unlocked: every command.
    void openRamLoader()
    {
        openUnlocked();
        const std::string ram = vardo::sim::toTiTxt(vardo::sim::makeRamLoader());
        ASSERT_EQ(BSL_RX_TXT(ram.c_str(), 1), 0u);
        ASSERT_EQ(BSL_LoadPC(0x2504), 0);
        BSL_close_BSL();
        clock.sleepMs(1000);
        openUnlocked();
        loader->clearCommands();
    }

    vardo::platform::VirtualClock clock;
    vardo::platform::ScopedClock scopedClock{clock};
    std::unique_ptr<vardo::sim::VirtualLoader> loader;
};
