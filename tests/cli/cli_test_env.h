#pragma once
// One command line run in-process against virtual encoders on the virtual
// clock, in a private user data folder.
#include "cli/cli.h"
#include "config/config_test_env.h"
#include "config/config_path.h"
#include "device/port_lock.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/user_folder.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vardo::clitest {

using testenv::readFile;
using testenv::writeFile;

// A configuration file as a save leaves it.
inline std::string savedConfig(int layout, const std::string& table, int brightness, int colour,
                               int buzzer, int period, int options = 7)
{
    return testenv::savedConfig(std::to_string(options), table, std::to_string(period),
                                std::to_string(buzzer), std::to_string(colour),
                                std::to_string(brightness), std::to_string(layout));
}

// A sample firmware image of the build (01.05A, the released one, or 01.06A).
inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

inline std::string samplePath(const std::string& version)
{
    // Appended in place: GCC 12 sees a temporary string's small buffer in
    // a + b + c and warns of an overflow that cannot happen.
    std::string path = VARDO_FIRMWARE_SAMPLES_DIR;
    path.append("/encoder_firmware_").append(version).append(".txt");
    return path;
}

// "n," for each byte.
inline std::string tableText(const sim::EncoderTable& table)
{
    std::string s;
    for (auto b : table)
        s += std::to_string(b) + ",";
    return s;
}

struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};

struct Sent {
    std::uint8_t code;
    std::vector<std::uint8_t> payload;
    bool operator==(const Sent&) const = default;
};

inline void PrintTo(const Sent& s, std::ostream* os)
{
    *os << "{" << int(s.code) << ":";
    for (auto b : s.payload)
        *os << " " << int(b);
    *os << "}";
}

// The settings every test encoder starts with: all options, layout 8, a
// customised table of 0x04.. with LeftShift on key 2.
inline sim::EncoderSettings testSettings()
{
    sim::EncoderSettings s = sim::EncoderSettings::factory();
    s.optionsFitted = 7;
    s.keypadType = 8;
    s.ledBrightness = 4;
    s.ledColour = 0;
    s.buzzer = 1;
    s.buzzerPeriod = 3;
    s.customTables[2][2] = 0xE1;
    return s;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vardo-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        dataHome = root + "/data";
        std::filesystem::create_directories(dataHome);
        platform::setUserDataFolderOverride(dataHome);
        std::filesystem::create_directories(root + "/locks");
        device::setPortLockFolderOverride(root + "/locks");
        sim::Bus::instance().reset();
        FileName.clear();
        encoder = addEncoder(1);
    }

    void TearDown() override
    {
        encoders.clear();
        sim::Bus::instance().reset();
        FileName.clear();
        platform::setUserDataFolderOverride("");
        device::setPortLockFolderOverride(std::nullopt);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    // Encoder n sits on port sim:1-n with serial VE710-00000n.
    sim::VirtualEncoder* addEncoder(int n, bool openable = true)
    {
        sim::VirtualEncoderConfig config;
        config.port = "sim:1-" + std::to_string(n);
        config.serial = L"VE710-00000" + std::to_wstring(n);
        config.factorySettings = sim::EncoderSettings::factory();
        config.openable = openable;
        auto e = std::make_unique<sim::VirtualEncoder>(config);
        e->setSettings(testSettings());
        e->setPowerUpDefaults(testSettings());
        encoders.push_back(std::move(e));
        return encoders.back().get();
    }

    void removeEncoders()
    {
        encoders.clear();
        encoder = nullptr;
    }

    // in: standard input, when given.
    RunResult run(std::vector<std::string> args, const std::optional<std::string>& in = std::nullopt)
    {
        std::ostringstream out;
        std::ostringstream err;
        std::istringstream input(in.value_or(""));
        cli::Console console(out, err);
        console.interrupted = &interrupted;
        if (in)
            console.in = &input;
        RunResult r;
        r.code = cli::runCli(args, console);
        r.out = out.str();
        r.err = err.str();
        EXPECT_FALSE(sim::Bus::instance().initialised()) << "a run must close the HID library";
        return r;
    }

    static std::vector<Sent> sent(const sim::VirtualEncoder& e)
    {
        std::vector<Sent> out;
        for (const auto& c : e.receivedCommands())
            out.push_back({c.code, c.payload});
        return out;
    }

    std::string configPath() const { return dataHome + "/VardoInterface/USBUtilityCfg.ini"; }

    platform::VirtualClock clock;
    platform::ScopedClock clockInForce{clock};
    std::atomic<bool> interrupted{false};
    std::string root;
    std::string dataHome;
    std::vector<std::unique_ptr<sim::VirtualEncoder>> encoders;
    sim::VirtualEncoder* encoder = nullptr;
};

// Command codes, for readable expectations.
inline constexpr std::uint8_t GET_STATUS = 0x01, SET_LED_BRIGHTNESS = 0x02, SET_LED_COLOUR = 0x03,
                              SET_BUZZER = 0x04, LOAD_CODE_TABLE = 0x05, SET_BUZZER_PERIOD = 0x06,
                              SET_KEYPAD_TYPE = 0x07, SELF_TEST = 0x08, WRITE_DEFAULTS = 0x09,
                              FACTORY_RESET = 0x0A;

} // namespace vardo::clitest
