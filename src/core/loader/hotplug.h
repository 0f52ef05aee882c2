#pragma once
// Watching USB devices come and go. A link-time seam: production links
// hotplug_udev.cpp (target vardo_loader_udev), tests and the demo link the
// virtual bus's watch in vardo_sim.
#include <cstdint>
#include <functional>

namespace vardo::loader {

struct DeviceChange {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool arrival = false;  // false: removed
};

// Called on the watch's own thread (or the thread that changed the device).
using DeviceChangeHandler = std::function<void(const DeviceChange&)>;

// Starts the one watch, replacing a running one. False when it cannot start.
[[nodiscard]] bool startDeviceWatch(DeviceChangeHandler handler);
// Stops it; when this returns the handler is not running and will not run again.
void stopDeviceWatch();

} // namespace vardo::loader
