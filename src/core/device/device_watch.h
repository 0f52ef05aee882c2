#pragma once
// Hearing HID devices come and go, so that a window can follow its encoder.
// A link-time seam like hidapi: programs for real hardware link the udev
// monitor (vardo_device_udev), tests and the demo the virtual bus's (vardo_sim).
// Any number of watches may run at once, beside the loader library's own.
#include <functional>
#include <memory>

namespace vardo::device {

class DeviceWatch {
public:
    // Runs on the watch's own thread, or on the thread that changed the virtual
    // bus; it only says that something changed, so the listener looks at the
    // bus itself (attachedEncoders, Encoder::attached).
    using Handler = std::function<void()>;

    // Starts watching; null when the system refuses a watch (no udev).
    static std::unique_ptr<DeviceWatch> start(Handler handler);
    // Once destroyed, the handler is not running and never runs again.
    virtual ~DeviceWatch() = default;

protected:
    DeviceWatch() = default;
};

} // namespace vardo::device
