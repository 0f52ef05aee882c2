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
