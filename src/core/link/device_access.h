#pragma once
// Telling "no encoder" from "an encoder this user may not open". On Linux the
// encoder's hidraw node belongs to root unless a udev rule hands it to the
// user at the seat; the windows and the command-line tool say so.
#include <string>

namespace vardo::link {

// Where the package installs the rule that grants access, and where an
// administrator puts it by hand.
inline constexpr const char* kUdevRulePath = "/usr/lib/udev/rules.d/70-vardo-encoder.rules";
inline constexpr const char* kUdevRuleFolderByHand = "/etc/udev/rules.d";

// What to do when the encoder is there but may not be opened: the rule's
// installed path, the folder for a manual install, and how to apply it.
std::string udevRuleAdvice();

// True when path is a device node we may not read and write. A path that is
// no file at all (a bus without device nodes) is judged by the failed open
// alone, so it counts as refused.
bool lacksPermission(const std::string& path);

// After ScanForUSBDevice_a found nothing to open: true when an encoder's
// command interface is listed on the bus but cannot be opened for lack of
// permission.
bool encoderListedButNotPermitted();

} // namespace vardo::link
