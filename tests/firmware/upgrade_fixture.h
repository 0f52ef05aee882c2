#pragma once
// A virtual encoder on a clean bus, the virtual clock, recorded dialogs and
// the progress of an upgrade sequence, for tests of the upgrade.
#include "firmware/upgrade_sequence.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "sim/bus.h"
#include "sim/virtual_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using Progress = std::vector<std::pair<int, std::string>>;

inline std::string samplePath(const std::string& version)
{
    return std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_" + version + ".txt";
}

class UpgradeTest : public ::testing::Test {
protected:
    UpgradeTest()
    {
        vardo::sim::Bus::instance().reset();
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>();
    }
    ~UpgradeTest() override
    {
        slot->close();
        extra.reset();
        device.reset();
        vardo::sim::Bus::instance().reset();
    }

    // What the main window does before showing the upgrade window.
    void enterLoader()
    {
        ASSERT_TRUE(slot->rescan());
        ASSERT_EQ(slot->get()->enterLoader(), vardo::device::Result::Ok);
    }

    // The encoder the main window would lend the upgrade window.
    std::shared_ptr<vardo::device::EncoderSlot> slot = std::make_shared<vardo::device::EncoderSlot>();
    // The write-back's messages as the upgrade window shows them.
    const vardo::firmware::WriteBackReport report = [](const char* caption, const std::string& text) {
        vardo::platform::dialogs().message(caption, text + "\r\n", vardo::platform::MessageIcon::Warning);
    };

    // The window's sequence; onBack runs as the encoder is looked for after the restart.
    vardo::firmware::UpgradeSequence sequence(std::function<void()> onBack = {})
    {
        vardo::firmware::Hooks hooks;
        hooks.findEncoder = [this, onBack] {
            if (onBack)
                onBack();
            slot->rescan();
            return slot->get();
        };
        return vardo::firmware::UpgradeSequence(
            [this](int percent, const std::string& text) {
                std::lock_guard lock(progressMutex);
                progress.emplace_back(percent, text);
            },
            report, std::move(hooks));
    }
    Progress takeProgress()
    {
        std::lock_guard lock(progressMutex);
        return std::exchange(progress, {});
    }

    vardo::platform::VirtualClock clock;
    vardo::platform::ScopedClock scopedClock{clock};
    vardo::platform::RecordingDialogs dialogs;
    vardo::platform::ScopedDialogs scopedDialogs{dialogs};
    std::unique_ptr<vardo::sim::VirtualEncoderDevice> device;
    std::unique_ptr<vardo::sim::VirtualEncoderDevice> extra;
    std::mutex progressMutex;
    Progress progress;
};

// The progress of a start-up whose password and RAM loader go through.
inline Progress startUpProgress()
{
    return {{5, ""},
            {10, "Password Sent Successfully\r\n"},
            {20, "Sending RAM BSL v00.06.05.34\r\n"},
            {30, "Done RAM BSL v00.06.05.34\r\n"},
            {35, ""},
            {40, ""},
            {45, ""}};
}
