#pragma once
// One USB gadget made through the kernel's configfs: a device on a USB device
// controller (dummy_hcd's UDC in the test guest) with two HID functions, the
// keyboard (interface 0) and the 64-byte command interface (interface 1).
// Binding it is the device's arrival on the host's port, unbinding its
// departure. The loader face links only the command function. Linux only.
#include <cstdint>
#include <string>
#include <vector>

namespace vardo::sim::gadget {

struct UsbIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

class ConfigfsGadget {
public:
    // name: the gadget's folder under /sys/kernel/config/usb_gadget; udc: the
    // controller it binds to ("dummy_udc.0"); nodeDir: where its /dev/hidg
    // nodes are made (so their numbers need not be known).
    ConfigfsGadget(std::string name, std::string udc, std::string nodeDir);
    ~ConfigfsGadget();
    ConfigfsGadget(const ConfigfsGadget&) = delete;
    ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

    // Makes the gadget's folders and functions; false with why.
    [[nodiscard]] bool create(std::string& why);
    // Binds with this identity: both functions (keyboard first), or the
    // command function alone as interface 0.
    [[nodiscard]] bool bind(const UsbIdentity& identity, bool withKeyboard, std::string& why);
    void unbind();
    bool bound() const { return bound_; }

    // Open while bound; -1 otherwise. Non-blocking.
    int keyboardFd() const { return keyboardFd_; }
    int commandFd() const { return commandFd_; }

private:
    std::string root_;
    std::string udc_;
    std::string nodeDir_;
    bool created_ = false;
    bool bound_ = false;
    bool keyboardLinked_ = false;
    int keyboardFd_ = -1;
    int commandFd_ = -1;
    void remove();
};

// The report descriptor of the command interface (report ID 0x3F, 63 data
// bytes each way) and of a boot keyboard.
std::vector<std::uint8_t> commandReportDescriptor();
std::vector<std::uint8_t> keyboardReportDescriptor();

} // namespace vardo::sim::gadget
