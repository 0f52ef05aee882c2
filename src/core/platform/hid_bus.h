#pragma once
// hidapi keeps one error text for the whole process, which hid_enumerate,
// hid_open_path and hid_exit free and replace: every caller holds this lock
// around them, or two threads looking at the bus together free it twice (the
// hidraw backend crashed so under --all upgrade). Recursive, so that an open
// made while a list is walked needs no care.
#include <mutex>

namespace vardo::platform {

std::recursive_mutex& hidBusMutex();

} // namespace vardo::platform
