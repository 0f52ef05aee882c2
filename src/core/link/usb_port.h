#pragma once
// Which USB port a HID device sits on. On a bench of identical encoders the
// port is the one name that stays put: an encoder that restarts into its
// loader comes back with a new device path, but on the same port.
// A link-time seam like hidapi: programs for real hardware link the udev
// version (vardo_link_udev), tests and the demo the virtual bus's (vardo_sim).
#include <string>

namespace vardo::link {

// The port location of the USB device behind a HID path as hid_enumerate
// gives it ("/dev/hidraw3" -> "1-1.3"): bus number, then the hub ports down
// to the device. "" when the path names no USB device that is attached now.
std::string usbPortOf(const std::string& hidPath);

} // namespace vardo::link
