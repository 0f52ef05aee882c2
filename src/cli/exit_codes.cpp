#include "cli/exit_codes.h"

namespace vardo::cli {

const std::vector<ExitInfo>& exitTable()
{
    static const std::vector<ExitInfo> table = {
        {"0", "success"},
        {"1", "not carried out for another reason (a file could not be written, an\n"
              "overwrite was declined, the layout has no customised table)"},
        {"2", "usage: unknown command or option, missing or bad value"},
        {"3", "no encoder found, or it went away during the command (with --all:\n"
              "also an encoder waiting in its loader)"},
        {"4", "an encoder is attached but may not be opened (permission denied): the\n"
              "package's udev rule /usr/lib/udev/rules.d/70-vardo-encoder.rules gives\n"
              "access; installing by hand, copy it into /etc/udev/rules.d"},
        {"5", "the encoder refused a command or sent an invalid reply"},
        {"6", "the encoder did not answer in time (5000 ms)"},
        {"7", "bad input file: a configuration, backup, state or firmware image file\n"
              "is missing, unreadable or incorrect"},
        {"8", "the firmware upgrade failed"},
        {"9", "another process is using the encoder (save, factory-reset, table load,\n"
              "config apply, apply, keys and upgrade lock its USB port); the message\n"
              "names the port and that process's ID and command line"},
        {"128+N", "signal N (SIGINT 130, SIGTERM 143, SIGHUP 129) came during an\n"
                  "upgrade, which was stopped before the loader or else completed"},
    };
    return table;
}

ExitCode exitForExchange(device::Result result)
{
    switch (result) {
    case device::Result::Ok:
        return kExitOk;
    case device::Result::NoDevice:
        return kExitNoEncoder;
    case device::Result::Timeout:
        return kExitTimeout;
    case device::Result::BadCount:
    case device::Result::Refused:
        break;
    }
    return kExitRefused;
}

int exitForUpgrade(const firmware::Outcome& o, int signal)
{
    using firmware::Phase;
    if (o.cancelled)
        return o.phase == Phase::EnterLoader ? 128 + signal : kExitFailed;
    switch (o.phase) {
    case Phase::Done:
        return kExitOk;
    case Phase::OpenEncoder:
    case Phase::FindEncoder:
        return kExitNoEncoder;
    case Phase::ReadSettings:
        return o.settingsProblem.empty() ? exitForExchange(o.device) : kExitFailed;
    case Phase::WriteBack:
        return exitForExchange(o.device);
    case Phase::Backup:
        return kExitFailed;
    default:
        break;
    }
    return kExitUpgradeFailed;
}

ExitCode exitForLock(device::PortLockState state)
{
    switch (state) {
    case device::PortLockState::Held:
    case device::PortLockState::Free:
        return kExitOk;
    case device::PortLockState::Busy:
        return kExitEncoderBusy;
    case device::PortLockState::OddFile:
        break;
    }
    return kExitFailed;
}

} // namespace vardo::cli
