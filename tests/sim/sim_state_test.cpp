// Virtual encoders kept between runs: a device's whole state survives the
// text and a fresh device, and a damaged file is refused with its line.
#include "sim/sim_state.h"

#include "platform/clock.h"
#include "sim/bus.h"

#include <gtest/gtest.h>

using namespace vardo;
using sim::EncoderMode;

namespace {

class SimStateTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }
    platform::VirtualClock clock;
    platform::ScopedClock inForce{clock};
};

sim::VirtualEncoderDeviceConfig onPort(int n)
{
    sim::VirtualEncoderDeviceConfig config;
    config.encoder.port = "sim:1-" + std::to_string(n);
    return config;
}

TEST_F(SimStateTest, EveryEncoderComesBackAsItWasLeft)
{
    // One running 01.06A with changed settings and defaults, one left in its
    // loader with a half-programmed flash, one unplugged.
    sim::VirtualEncoderDevice running(onPort(1)), stuck(onPort(2)), unplugged(onPort(3));
    running.loader().eraseFlash();
    running.loader().loadImage(sim::makeEncoderFirmware("01.06A"));
    running.plugIn();
    sim::EncoderSettings s = sim::EncoderSettings::factory();
    s.ledBrightness = 2;
    s.keypadType = 8;
    s.customTables[2][1] = 0x1E;
    running.encoder().setPowerUpDefaults(s);
    s.buzzer = 0;
    running.encoder().setSettings(s);
    stuck.loader().eraseFlash();
    stuck.loader().loadImage({{0x4400, {0x12, 0x34, 0x56}}, {0xFFE0, std::vector<std::uint8_t>(32, 0x44)}});
    stuck.encoder().startInLoader();
    stuck.loader().plugIn();
    unplugged.unplug();

    sim::SimState state;
    for (auto* d : {&running, &stuck, &unplugged})
        state.encoders.push_back(sim::captureEncoderState(*d));
    EXPECT_EQ(state.encoders[0].mode, EncoderMode::Application);
    EXPECT_EQ(state.encoders[1].mode, EncoderMode::BootLoader);
    EXPECT_EQ(state.encoders[2].mode, EncoderMode::Unplugged);
    const std::string text = sim::formatSimState(state);
    EXPECT_NE(text.find("flash=image 01.06A\n"), std::string::npos);
    EXPECT_NE(text.find("flash=data\nflashdata=4400 123456FF"), std::string::npos);

    std::string error;
    const auto back = sim::parseSimState(text, error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->encoders.size(), 3u);
    EXPECT_EQ(back->encoders, state.encoders);

    sim::Bus::instance().reset();
    sim::VirtualEncoderDevice a(onPort(1)), b(onPort(2)), c(onPort(3));
    sim::restoreEncoderState(a, back->encoders[0]);
    sim::restoreEncoderState(b, back->encoders[1]);
    sim::restoreEncoderState(c, back->encoders[2]);
    EXPECT_EQ(a.encoder().firmwareVersion(), "01.06A");
    EXPECT_EQ(a.encoder().settings(), s);
    EXPECT_EQ(a.encoder().powerUpDefaults().buzzer, 1);
    EXPECT_EQ(b.loader().mode(), sim::LoaderMode::RomLoader);
    EXPECT_EQ(c.encoder().mode(), EncoderMode::Unplugged);
    EXPECT_EQ(sim::captureEncoderState(b), state.encoders[1]);
}

TEST_F(SimStateTest, DamagedFilesAreRefusedWithTheLineInError)
{
    const std::string head = "vardo-sim-state=1\nencoders=1\n[encoder 1]\nmode=application\n";
    const std::string settings = "settings=5 0 1 7 1 8\n";
    const std::string tables = "tables=" + std::string(64, '0') + ' ' + std::string(64, '0') + ' '
                               + std::string(64, '0') + "\n";
    const std::string defaults = "defaults=5 0 1 7 1 8\ndefaultTables" + tables.substr(6);
    const struct {
        std::string text;
        const char* error;
    } rows[] = {
        {"", "empty: not a virtual encoder state"},
        {"[appSettings]\nFirstUp=Yes\n", "line 1: not a virtual encoder state"},
        {"vardo-sim-state=1\nencoders=9\n", "line 2: encoders must be 0-8"},
        {"vardo-sim-state=1\nencoders=2\n", "encoders=2 but 0 encoder sections"},
        {"vardo-sim-state=1\n[encoder 1]\n", "line 2: encoders=N must come before the first encoder"},
        {head + settings + tables + defaults, "encoder 1 has no 'flash' line"},
        {head + "settings=5 0 1 7 1\n", "line 5: settings take six numbers"},
        {head + "settings=5 0 1 7 1 256\n", "line 5: '256' is not a number 0-255"},
        // What the encoder refuses could not be written back after an upgrade.
        {head + "settings=5 0 1 7 1 9\n", "line 5: KeypadLayout 9 is not 0-8"},
        {head + "settings=99 0 1 7 1 8\n", "line 5: LedBrightness 99 is not 0-9"},
        {head + "tables=" + std::string(64, '0') + ' ' + std::string(64, '0') + " 05" + std::string(62, '0') + "\n",
         "line 5: table 3: key 1's modifier is 5, not 0 or 224-231"},
        {head + "tables=00 00 00\n", "line 5: a table is 64 hex digits"},
        {head + "flash=image 1.6\n", "line 5: flash must be"},
        {head + "flash=data\nflashdata=FFF0 " + std::string(64, 'A') + "\n", "line 6: flashdata outside the flash"},
        {head + "flashdata=4400 00\n", "line 5: flashdata without flash=data"},
        {head + "mode=loader\n", "line 5: 'mode' given twice"},
        {head + "colour=red\n", "line 5: unknown key 'colour'"},
        {head + settings + tables + defaults + "flash=erased\n[encoder 2]\n", "line 10: more encoders than"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_FALSE(sim::parseSimState(row.text, error)) << row.text;
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
    }
    std::string error;
    EXPECT_TRUE(sim::parseSimState(head + settings + tables + defaults + "flash=erased\n", error)) << error;
}

} // namespace
