#include "sim/gadget/configfs_gadget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vardo::sim::gadget {

namespace {

constexpr char kGadgetRoot[] = "/sys/kernel/config/usb_gadget/";

bool writeText(const std::string& path, const std::string& text, std::string& why)
{
    // configfs takes each attribute in one write.
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int error = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        why = path + ": " + std::strerror(error);
        return false;
    }
    return true;
}

bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& why)
{
    return writeText(path, std::string(bytes.begin(), bytes.end()), why);
}

std::string hex4(std::uint16_t v)
{
    char s[8];
    std::snprintf(s, sizeof s, "0x%04x", v);
    return s;
}

bool makeDir(const std::string& path, std::string& why)
{
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    why = path + ": " + std::strerror(errno);
    return false;
}

// A private character node for the function's /dev/hidgN.
int openNode(const std::string& function, const std::string& node, std::string& why)
{
    std::ifstream dev(function + "/dev");
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(dev >> major >> colon >> minor)) {
        why = function + "/dev unreadable";
        return -1;
    }
    ::unlink(node.c_str());
    if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(major, minor)) != 0) {
        why = node + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        why = node + ": " + std::strerror(errno);
    return fd;
}

} // namespace

std::vector<std::uint8_t> commandReportDescriptor()
{
    return {0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
            0x09, 0x01,        // usage 1
            0xA1, 0x01,        // collection (application)
            0x85, 0x3F,        //   report ID 0x3F
            0x15, 0x00,        //   logical minimum 0
            0x26, 0xFF, 0x00,  //   logical maximum 255
            0x75, 0x08,        //   report size 8
            0x95, 0x3F,        //   report count 63
            0x09, 0x01,        //   usage 1
            0x81, 0x02,        //   input (data, variable, absolute)
            0x09, 0x01,        //   usage 1
            0x91, 0x02,        //   output (data, variable, absolute)
            0xC0};             // end collection
}

std::vector<std::uint8_t> keyboardReportDescriptor()
{
    return {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // generic desktop, keyboard
            0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,  // modifiers: 8 bits
            0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,
            0x95, 0x01, 0x75, 0x08, 0x81, 0x03,              // reserved byte
            0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,  // LEDs out
            0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x03,
            0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // six key codes
            0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
            0xC0};
}

ConfigfsGadget::ConfigfsGadget(std::string name, std::string udc, std::string nodeDir)
    : root_(kGadgetRoot + name), udc_(std::move(udc)), nodeDir_(std::move(nodeDir))
{
}

ConfigfsGadget::~ConfigfsGadget()
{
    remove();
}

bool ConfigfsGadget::create(std::string& why)
{
    const std::string kbd = root_ + "/functions/hid.kbd";
    const std::string cmd = root_ + "/functions/hid.cmd";
    created_ = makeDir(root_, why) && makeDir(root_ + "/strings/0x409", why)
        && makeDir(root_ + "/configs/c.1", why) && makeDir(root_ + "/configs/c.1/strings/0x409", why)
        && writeText(root_ + "/configs/c.1/MaxPower", "100", why)
        && writeText(root_ + "/bcdUSB", "0x0200", why)
        && makeDir(kbd, why) && writeText(kbd + "/subclass", "1", why)
        && writeText(kbd + "/protocol", "1", why) && writeText(kbd + "/report_length", "8", why)
        && writeBytes(kbd + "/report_desc", keyboardReportDescriptor(), why)
        && makeDir(cmd, why) && writeText(cmd + "/subclass", "0", why)
        && writeText(cmd + "/protocol", "0", why) && writeText(cmd + "/report_length", "64", why)
        && writeBytes(cmd + "/report_desc", commandReportDescriptor(), why);
    return created_;
}

bool ConfigfsGadget::bind(const UsbIdentity& id, bool withKeyboard, std::string& why)
{
    unbind();
    const std::string config = root_ + "/configs/c.1/";
    bool ok = writeText(root_ + "/idVendor", hex4(id.vendorId), why)
        && writeText(root_ + "/idProduct", hex4(id.productId), why)
        && writeText(root_ + "/bcdDevice", "0x0100", why)
        // A line end, which configfs takes off: an empty string (the loader's
        // serial number) cannot be written otherwise.
        && writeText(root_ + "/strings/0x409/manufacturer", id.manufacturer + "\n", why)
        && writeText(root_ + "/strings/0x409/product", id.product + "\n", why)
        && writeText(root_ + "/strings/0x409/serialnumber", id.serial + "\n", why);
    // Interfaces are numbered in the order the functions are linked.
    if (ok && withKeyboard) {
        ok = ::symlink((root_ + "/functions/hid.kbd").c_str(), (config + "hid.kbd").c_str()) == 0;
        keyboardLinked_ = ok;
    }
    if (ok)
        ok = ::symlink((root_ + "/functions/hid.cmd").c_str(), (config + "hid.cmd").c_str()) == 0;
    if (!ok && why.empty())
        why = config + ": " + std::strerror(errno);
    if (ok)
        ok = writeText(root_ + "/UDC", udc_, why);
    if (!ok) {
        unbind();
        return false;
    }
    bound_ = true;
    const std::string base = nodeDir_ + "/" + root_.substr(root_.rfind('/') + 1);
    commandFd_ = openNode(root_ + "/functions/hid.cmd", base + "-cmd", why);
    if (withKeyboard)
        keyboardFd_ = openNode(root_ + "/functions/hid.kbd", base + "-kbd", why);
    return commandFd_ >= 0 && (!withKeyboard || keyboardFd_ >= 0);
}

void ConfigfsGadget::unbind()
{
    for (int* fd : {&keyboardFd_, &commandFd_})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    if (bound_) {
        std::string ignored;
        (void)writeText(root_ + "/UDC", "\n", ignored);
        bound_ = false;
    }
    ::unlink((root_ + "/configs/c.1/hid.cmd").c_str());
    if (keyboardLinked_)
        ::unlink((root_ + "/configs/c.1/hid.kbd").c_str());
    keyboardLinked_ = false;
}

void ConfigfsGadget::remove()
{
    unbind();
    if (!created_)
        return;
    // configfs folders go in the reverse order of their making.
    for (const char* dir : {"/configs/c.1/strings/0x409", "/configs/c.1", "/functions/hid.kbd",
                            "/functions/hid.cmd", "/strings/0x409", ""})
        ::rmdir((root_ + dir).c_str());
    created_ = false;
}

} // namespace vardo::sim::gadget
