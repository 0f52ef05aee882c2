#include "cli/exit_codes.h"

#include "link/hid_transport.h"

namespace vardo::cli {

ExitCode exitForExchange(int result)
{
    if (result == link::kErrNoDevice)
        return kExitNoEncoder;
    if (result == link::kErrTimeout)
        return kExitTimeout;
    return kExitRefused;
}

} // namespace vardo::cli
