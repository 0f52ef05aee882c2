#include "platform/hid_bus.h"

namespace vardo::platform {

std::recursive_mutex& hidBusMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

} // namespace vardo::platform
