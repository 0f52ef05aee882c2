#pragma once
// One encoder's whole firmware upgrade, found and followed by its USB port:
// its settings read and backed up, ENTER_BSL, the loader that appears on that
// port driven through a loader session of its own, the restart, and the
// settings written back into the new firmware. On a bench several run side
// by side, one worker each, and never touch each other's encoder. Qt-free.
#include "device/encoder.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_sequence.h"
#include "link/encoder_commands.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vardo::firmware {

enum class PortUpgradeOutcome {
    Upgraded,         // programmed, verified, restarted, settings written back
    NoEncoder,        // no encoder on that port, or it would not open: nothing done
    StatusFailed,     // its settings could not be read: nothing done
    BackupFailed,     // the backup file could not be written: nothing done
    NoLoader,         // after ENTER_BSL no loader appeared on its port
    UpgradeFailed,    // the loader sequence failed; the encoder waits in its loader
    NotBack,          // upgraded, but no encoder came back on its port
    WriteBackFailed,  // upgraded, but the settings were not all written back
};

// "upgraded", "no encoder", ... for tables and JSON.
const char* portUpgradeOutcomeName(PortUpgradeOutcome outcome);

struct PortUpgradeResult {
    PortUpgradeOutcome outcome = PortUpgradeOutcome::Upgraded;
    std::string backupPath;                      // "" when none was written
    device::Result result = device::Result::Ok;  // the failed exchange's result, when one failed
};

// Writes the settings about to be written back to a backup file; path receives its name.
using SettingsBackup = std::function<bool(const link::DeviceStatus& settings, std::string& path)>;

struct PortUpgradeJob {
    std::string port;
    LoaderTexts texts;        // checked by findLoaderTexts; the caller confirmed a missing password
    ProgressReport progress;  // the sequence's percentages and status lines
    SettingsBackup backup;
    WriteBackReport report;   // the write-back's failure message
};

// How long an encoder may take to come back as a loader after ENTER_BSL.
inline constexpr std::uint32_t kLoaderAppearWaitMs = 10000;

// The path of the first HID interface of vendorId/productId on port (only
// interface interfaceNumber when it is 0 or more); "" when there is none.
std::string findOnPort(std::uint16_t vendorId, std::uint16_t productId, int interfaceNumber,
                       const std::string& port);

// The whole upgrade of the encoder on job.port with image.
PortUpgradeResult upgradeOnPort(const FirmwareImage& image, const PortUpgradeJob& job);

} // namespace vardo::firmware
