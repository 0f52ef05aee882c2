#pragma once
// A clean bus, the virtual clock and one virtual loader holding the released
// firmware, for tests of the loader library and the virtual loader.
#include "loader/bsl430.h"
#include "loader/connection.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/encoder_images.h"
#include "sim/virtual_loader.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

// The loader's version text, or "ERROR" when it cannot be read.
inline std::string versionOf(vardo::loader::Connection& conn)
{
    vardo::loader::Version v;
    return conn.version(v) == vardo::loader::Result::Ok ? vardo::loader::versionText(v) : "ERROR";
}
// A CRC request's result alone.
inline vardo::loader::Result crcResult(vardo::loader::Connection& conn, std::uint32_t address, std::uint32_t length)
{
    std::uint16_t ignored = 0;
    return conn.crc(address, length, ignored);
}

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
        conn.close();
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

    // The same on a connection of its own (loader::Connection, what the upgrade uses).
    vardo::loader::Result connect(const char* com = "PID=0x0200,VID=0x2047,DEVICEINDEX=0")
    {
        const auto address = vardo::loader::parseConnectionText(com);
        return address ? conn.open(*address) : vardo::loader::Result::BadAddress;
    }
    static std::array<std::uint8_t, 32> passwordOf(const DataBlock_& b)
    {
        std::array<std::uint8_t, 32> p{};
        std::copy(b.data, b.data + 32, p.begin());
        return p;
    }
    void connectUnlocked()
    {
        ASSERT_EQ(connect(), vardo::loader::Result::Ok);
        ASSERT_EQ(conn.unlock(passwordOf(applicationPassword())), vardo::loader::Result::Ok);
    }
    void connectRamLoader()
    {
        connectUnlocked();
        ASSERT_EQ(conn.sendImage(vardo::sim::toTiTxt(vardo::sim::makeRamLoader())), vardo::loader::Result::Ok);
        ASSERT_EQ(conn.loadPc(0x2504), vardo::loader::Result::Ok);
        conn.close();
        clock.sleepMs(1000);
        connectUnlocked();
        loader->clearCommands();
    }
    std::string versionText() { return versionOf(conn); }
    vardo::loader::Result crc(std::uint32_t address, std::uint32_t length) { return crcResult(conn, address, length); }

    vardo::platform::VirtualClock clock;
    vardo::platform::ScopedClock scopedClock{clock};
    std::unique_ptr<vardo::sim::VirtualLoader> loader;
    vardo::loader::Connection conn;
};
