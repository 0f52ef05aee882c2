#pragma once
// A clean world for one test of the configuration file and the main window:
// virtual clock, recording dialogs, a private user data folder, an empty
// virtual bus and an empty FileName.
#include "config/config_path.h"
#include "device/port_lock.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "platform/user_folder.h"
#include "sim/bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vardo::testenv {

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The file a first start creates, byte for byte.
inline const std::string kFreshConfig =
    " [appSettings]\r\n Options=\r\n FirmwareFile=\r\n CodeTableValues=\r\n BuzzerPeriod=\r\n"
    " Buzzer=\r\n LedColour=\r\n LedBrightness=\r\n KeypadLayout=\r\n FirstUp=\r\n";

// "0," thirty-two times.
inline std::string zeroTableText()
{
    std::string s;
    for (int i = 0; i < 32; ++i)
        s += "0,";
    return s;
}

// A config file as a save leaves it (first-start line order).
inline std::string savedConfig(const std::string& options, const std::string& table,
                               const std::string& period, const std::string& buzzer,
                               const std::string& colour, const std::string& brightness,
                               const std::string& layout, const std::string& firmwareFile = "")
{
    return " [appSettings]\r\n Options=" + options + "\r\n FirmwareFile=" + firmwareFile
        + "\r\n CodeTableValues=" + table + "\r\n BuzzerPeriod=" + period + "\r\n Buzzer=" + buzzer
        + "\r\n LedColour=" + colour + "\r\n LedBrightness=" + brightness + "\r\n KeypadLayout="
        + layout + "\r\n FirstUp=Yes\r\n";
}

class Environment : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vardo-h4-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        dataHome = root + "/data";
        std::filesystem::create_directories(dataHome);
        platform::setUserDataFolderOverride(dataHome);
        // The encoders' port locks in a folder of this test's own.
        std::filesystem::create_directories(root + "/locks");
        device::setPortLockFolderOverride(root + "/locks");
        sim::Bus::instance().reset();
        FileName.clear();
    }

    void TearDown() override
    {
        sim::Bus::instance().reset();
        FileName.clear();
        platform::setUserDataFolderOverride("");
        device::setPortLockFolderOverride(std::nullopt);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    std::string configPath() const { return dataHome + "/VardoInterface/USBUtilityCfg.ini"; }

    std::vector<std::string> messageTexts() const { return dialogs.messages(); }

    platform::VirtualClock clock;
    platform::ScopedClock clockInForce{clock};
    platform::RecordingDialogs dialogs;
    platform::ScopedDialogs dialogsInForce{dialogs};
    std::string root;
    std::string dataHome;
};

} // namespace vardo::testenv
