// The hidapi functions, implemented over the virtual bus. Programs and tests
// that link this file instead of the system's hidapi talk to virtual devices
// through exactly the calls they would make on real hardware.
#include <hidapi.h>

#include "link/usb_port.h"
#include "platform/clock.h"
#include "sim/bus.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

using vardo::sim::Bus;

// The USB port of a virtual device: the bus knows where each one is plugged in.
// Beside the hidapi calls, so that whatever lists the bus finds it linked.
std::string vardo::link::usbPortOf(const std::string& hidPath)
{
    return Bus::instance().portOf(hidPath);
}

struct hid_device_ {
    std::string path;
    std::uint64_t attachId = 0;
    std::shared_ptr<vardo::sim::HidEndpoint> endpoint;
    vardo::sim::DeviceInfo info;
    bool nonblocking = false;
    hid_device_info* ownInfo = nullptr;
};

namespace {

wchar_t* dupWide(const std::wstring& s)
{
    auto* out = static_cast<wchar_t*>(std::calloc(s.size() + 1, sizeof(wchar_t)));
    if (out)
        std::wmemcpy(out, s.c_str(), s.size());
    return out;
}

char* dupNarrow(const std::string& s)
{
    auto* out = static_cast<char*>(std::calloc(s.size() + 1, 1));
    if (out)
        std::memcpy(out, s.c_str(), s.size());
    return out;
}

hid_device_info* makeInfo(const vardo::sim::DeviceInfo& d)
{
    auto* n = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (!n)
        return nullptr;
    n->path = dupNarrow(d.path);
    n->vendor_id = d.vendorId;
    n->product_id = d.productId;
    n->serial_number = dupWide(d.serial);
    n->release_number = 0x0100;
    n->manufacturer_string = dupWide(d.manufacturer);
    n->product_string = dupWide(d.product);
    n->usage_page = 0x01;
    n->usage = 0x06;
    n->interface_number = d.interfaceNumber;
    n->next = nullptr;
    n->bus_type = HID_API_BUS_USB;
    return n;
}

bool realClockInForce()
{
    return dynamic_cast<vardo::platform::RealClock*>(&vardo::platform::clock()) != nullptr;
}

int copyString(const std::wstring& s, wchar_t* out, size_t maxlen)
{
    if (!out || maxlen == 0)
        return -1;
    size_t n = std::min(s.size(), maxlen - 1);
    std::wmemcpy(out, s.c_str(), n);
    out[n] = L'\0';
    return 0;
}

bool gone(hid_device* dev)
{
    return !Bus::instance().alive(dev->path, dev->attachId);
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    Bus::instance().noteInit();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    Bus::instance().noteExit();
    return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id)
{
    hid_init();
    Bus::instance().runDue();
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const auto& d : Bus::instance().enumerate(vendor_id, product_id)) {
        hid_device_info* n = makeInfo(d);
        if (!n)
            break;
        *tail = n;
        tail = &n->next;
    }
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs)
{
    while (devs) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path)
{
    if (!path)
        return nullptr;
    hid_init();
    Bus::instance().runDue();
    auto* dev = new hid_device_;
    dev->path = path;
    dev->endpoint = Bus::instance().open(dev->path, &dev->info, &dev->attachId);
    if (!dev->endpoint) {
        delete dev;
        return nullptr;
    }
    return dev;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t* serial_number)
{
    for (const auto& d : Bus::instance().enumerate(vendor_id, product_id)) {
        if (serial_number && d.serial != serial_number)
            continue;
        return hid_open_path(d.path.c_str());
    }
    return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (!dev || !data || length == 0)
        return -1;
    Bus::instance().runDue();
    if (gone(dev))
        return -1;
    return dev->endpoint->write(data, length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                                 int milliseconds)
{
    if (!dev || !data)
        return -1;
    auto& bus = Bus::instance();
    auto& clock = vardo::platform::clock();
    const bool realClock = realClockInForce();
    const std::uint64_t start = clock.nowMs();
    for (;;) {
        bus.runDue();
        // Taken before the look, so a report queued by another thread right
        // after it still wakes the wait below.
        const std::uint64_t generation = realClock ? bus.reportGeneration() : 0;
        if (gone(dev))
            return -1;
        int r = dev->endpoint->read(data, length);
        if (r != 0)
            return r;
        if (milliseconds == 0)
            return 0;
        const std::uint64_t now = clock.nowMs();
        // Wake at the deadline, when the next report or device event is due,
        // or (blocking read) at least every 10 ms to look again.
        std::uint64_t wakeAt = now + 10;
        if (milliseconds > 0) {
            const std::uint64_t deadline = start + static_cast<std::uint64_t>(milliseconds);
            if (now >= deadline)
                return 0;
            wakeAt = deadline;
        }
        if (auto due = dev->endpoint->nextReportDue())
            wakeAt = std::min(wakeAt, std::max(*due, now));
        if (auto due = bus.nextScheduledDue())
            wakeAt = std::min(wakeAt, std::max(*due, now));
        if (wakeAt <= now)
            continue;
        if (realClock)
            bus.waitForReportUntil(generation, wakeAt);
        else
            clock.sleepMs(static_cast<std::uint32_t>(wakeAt - now));
    }
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length)
{
    if (!dev)
        return -1;
    return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock)
{
    if (!dev)
        return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device*, const unsigned char*, size_t)
{
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device*, unsigned char*, size_t)
{
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device*, unsigned char*, size_t)
{
    return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev)
{
    if (!dev)
        return;
    if (dev->endpoint && !gone(dev))
        dev->endpoint->closed();
    hid_free_enumeration(dev->ownInfo);
    delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    if (!dev || gone(dev) || dev->info.manufacturer.empty())
        return -1;
    return copyString(dev->info.manufacturer, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    if (!dev || gone(dev) || dev->info.product.empty())
        return -1;
    return copyString(dev->info.product, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen)
{
    if (!dev || gone(dev))
        return -1;
    return copyString(dev->info.serial, string, maxlen);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev)
{
    if (!dev)
        return nullptr;
    if (!dev->ownInfo)
        dev->ownInfo = makeInfo(dev->info);
    return dev->ownInfo;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device*, int, wchar_t*, size_t)
{
    return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev)
{
    if (dev && gone(dev))
        return L"Device disconnected";
    return L"Success";
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void)
{
    static const hid_api_version v{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                   HID_API_VERSION_PATCH};
    return &v;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"
