#pragma once
// Exit statuses of vardo-encoder, one per kind of failure, so that a script
// programming encoders on a bench can tell what went wrong.
#include "device/encoder.h"
#include "device/port_lock.h"
#include "firmware/upgrade_job.h"

#include <vector>

namespace vardo::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,          // not carried out for another reason (file not writable, declined)
    kExitUsage = 2,           // unknown subcommand or option, bad value
    kExitNoEncoder = 3,       // no encoder found, or it went away during the command
    kExitPermission = 4,      // an encoder is on the bus but may not be opened
    kExitRefused = 5,         // the encoder refused a command or sent an invalid reply
    kExitTimeout = 6,         // the encoder did not answer in time
    kExitBadInputFile = 7,    // a configuration, backup or image file is missing or invalid
    kExitUpgradeFailed = 8,   // the firmware upgrade did not complete
    kExitEncoderBusy = 9,     // another process holds the encoder's port lock
};

// Every exit status with its meaning, laid out as the overview prints it
// (lines joined by a line break).
struct ExitInfo {
    const char* code;   // "0" ... "9", "128+N"
    const char* meaning;
};
[[nodiscard]] const std::vector<ExitInfo>& exitTable();

// The exit status that a failed encoder operation stands for: no encoder or
// gone, time-out, anything else refused.
[[nodiscard]] ExitCode exitForExchange(device::Result result);

// The exit status of an upgrade's outcome, for `upgrade` and each port of
// `--all upgrade` alike; signal: the one that stopped it before ENTER_BSL.
[[nodiscard]] int exitForUpgrade(const firmware::Outcome& outcome, int signal);

// The exit status of a port lock that stops the command (busy, or an odd
// lock file); kExitOk when it may go on.
[[nodiscard]] ExitCode exitForLock(device::PortLockState state);

} // namespace vardo::cli
