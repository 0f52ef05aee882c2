#include "cli/exit_codes.h"

namespace vardo::cli {

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
