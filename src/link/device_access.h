#pragma once
// Telling "no encoder" from "an encoder this user may not open". On Linux the
// encoder's hidraw node belongs to root unless a udev rule hands it to the
// user at the seat; the windows and the command-line tool say so.
#include <string>

namespace vardo::link {

// Where the package installs the rule that grants access.
inline constexpr const char* kUdevRulePath = "/lib/udev/rules.d/70-vardo-encoder.rules";

// True when path is a device node we may not read and write. A path that is
// no file at all (a bus without device nodes) is judged by the failed open
// alone, so it counts as refused.
bool lacksPermission(const std::string& path);

// After ScanForUSBDevice_a found nothing to open: true when an encoder's
// command interface is listed on the bus but cannot be opened for lack of
// permission.
bool encoderListedButNotPermitted();

} // namespace vardo::link
