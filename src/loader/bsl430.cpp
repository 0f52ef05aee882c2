// The loader library over hidapi: packets of loader_protocol.h, one command a
// report, TI-TXT texts and files streamed a packet at a time.
#include "firmware/bsl430.h"

#include "loader/hotplug.h"
#include "loader/loader_protocol.h"
#include "loader/text_file_state.h"
#include "loader/ti_txt.h"

#include <hidapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vardo::loader {

std::mutex& libraryMutex()
{
    static std::mutex m;
    return m;
}

namespace {

namespace P = protocol;

constexpr std::uint32_t kFamilyUsbFlash = 3;
constexpr std::uint32_t kComUsbHid = 2;
// Long enough for a mass erase or a CRC over 64 KB on the slowest loader.
constexpr int kReplyTimeoutMs = 2000;

// Everything the calls share; guarded by g_state.mutex for each call.
struct State {
    std::mutex mutex;
    std::uint32_t family = 0;
    std::uint32_t com = 0;
    hid_device* device = nullptr;
    dataBuffer lastReply{};
    std::string versionText;
    std::unique_ptr<TiTxtBlockReader> file;
};
State g_state;

// Notifications have their own lock: they arrive on other threads, possibly
// while a call of this library holds g_state.mutex.
std::mutex g_notifyMutex;
BslNotificationTarget* g_target = nullptr;

DataBlock_ emptyBlock()
{
    DataBlock_ b;
    std::memset(&b, 0, sizeof b);
    return b;
}

bool sendPacket(State& s, std::uint8_t command, std::uint32_t address, const std::uint8_t* params,
                std::size_t count)
{
    if (!s.device || count > P::kReportSize - P::kHeaderSize)
        return false;
    std::uint8_t report[P::kReportSize] = {};
    report[0] = P::kReportId;
    report[1] = static_cast<std::uint8_t>(4 + count);
    report[2] = command;
    report[3] = static_cast<std::uint8_t>(address);
    report[4] = static_cast<std::uint8_t>(address >> 8);
    report[5] = static_cast<std::uint8_t>(address >> 16);
    if (count)
        std::memcpy(report + P::kHeaderSize, params, count);
    return hid_write(s.device, report, sizeof report) == static_cast<int>(sizeof report);
}

// Waits for the reply to command and keeps it as the last reply. Replies to
// other commands (late answers to an earlier request) are skipped.
// Returns the reply's status, or kBslNoReply.
std::uint8_t receiveReply(State& s, std::uint8_t command, std::uint8_t expectedKind)
{
    for (;;) {
        std::uint8_t report[P::kReportSize] = {};
        const int n = hid_read_timeout(s.device, report, sizeof report, kReplyTimeoutMs);
        if (n <= 0)
            return kBslNoReply;
        const std::size_t count = report[1];
        if (static_cast<std::size_t>(n) < P::kReplyHeaderSize || report[0] != P::kReportId
            || count < 3 || count > P::kReportSize - 2)
            continue;
        if (report[3] != command || (report[2] != P::kAck && report[2] != P::kData))
            continue;
        std::memset(s.lastReply.data, 0, sizeof s.lastReply.data);
        std::memcpy(s.lastReply.data, report, sizeof report);
        if (report[4] != P::kStatusOk)
            return report[4];
        return report[2] == expectedKind ? std::uint8_t{P::kStatusOk} : kBslNoReply;
    }
}

std::uint8_t exchange(State& s, std::uint8_t command, std::uint32_t address,
                      const std::uint8_t* params, std::size_t count,
                      std::uint8_t expectedKind = P::kAck)
{
    if (!sendPacket(s, command, address, params, count))
        return kBslNoReply;
    return receiveReply(s, command, expectedKind);
}

// One data packet; 0, the loader's refusal, or kBslErrComm.
std::uint32_t sendData(State& s, std::uint32_t address, const std::uint8_t* data, std::size_t n,
                       std::uint8_t flag)
{
    if (flag == 0)
        return sendPacket(s, P::kRxDataBlockFast, address, data, n) ? 0 : kBslErrComm;
    const std::uint8_t status = exchange(s, P::kRxDataBlock, address, data, n);
    if (status == kBslNoReply)
        return kBslErrComm;
    return status;
}

// Sends every byte the block reader yields, a packet at a time. The packet
// holding the reset vector (0xFFFE-0xFFFF) goes last whatever the image's
// order, so a chip that loses power halfway finds the vector blank and starts
// its loader rather than half an application.
std::uint32_t sendImage(State& s, TiTxtBlockReader& blocks, std::uint8_t flag)
{
    constexpr std::uint32_t kResetVector = 0xFFFE;
    if (!s.device)
        return kBslErrComm;
    std::uint8_t data[P::kMaxDataPerPacket];
    std::uint8_t held[P::kMaxDataPerPacket];
    std::size_t heldCount = 0;
    std::uint32_t heldAddress = 0;
    std::uint32_t address = 0;
    while (std::size_t n = blocks.read(data, sizeof data, &address)) {
        const bool holdsVector = address <= kResetVector + 1 && address + n > kResetVector;
        if (holdsVector && heldCount == 0) {
            std::memcpy(held, data, n);
            heldCount = n;
            heldAddress = address;
            continue;
        }
        if (const std::uint32_t r = sendData(s, address, data, n, flag))
            return r;
    }
    if (blocks.failed())
        return kBslErrFormat;
    return heldCount ? sendData(s, heldAddress, held, heldCount, flag) : 0;
}

bool parseNumber(std::string value, unsigned long& out)
{
    int base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value = value.substr(2);
        base = 16;
    }
    if (value.empty())
        return false;
    char* end = nullptr;
    out = std::strtoul(value.c_str(), &end, base);
    return end && *end == '\0';
}

// "PID=0x0200,VID=0x2047,DEVICEINDEX=0": keys in any order and case.
bool parseConnection(const char* text, std::uint16_t& vid, std::uint16_t& pid, unsigned long& index)
{
    if (!text)
        return false;
    bool haveVid = false, havePid = false;
    index = 0;
    std::string all(text);
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        item.erase(std::remove_if(item.begin(), item.end(),
                                  [](unsigned char c) { return std::isspace(c); }),
                   item.end());
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = item.substr(0, eq);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        unsigned long value = 0;
        if (!parseNumber(item.substr(eq + 1), value))
            return false;
        if (key == "VID" && value <= 0xFFFF) {
            vid = static_cast<std::uint16_t>(value);
            haveVid = true;
        } else if (key == "PID" && value <= 0xFFFF) {
            pid = static_cast<std::uint16_t>(value);
            havePid = true;
        } else if (key == "DEVICEINDEX") {
            index = value;
        } else {
            return false;
        }
    }
    return haveVid && havePid;
}

void closeDevice(State& s)
{
    if (s.device) {
        hid_close(s.device);
        s.device = nullptr;
    }
}

} // namespace
} // namespace vardo::loader

using vardo::loader::g_state;
namespace P = vardo::loader::protocol;

void BSL_setFamily(std::uint32_t family)
{
    std::lock_guard lock(g_state.mutex);
    g_state.family = family;
}

void BSL_setCom(std::uint32_t com)
{
    std::lock_guard lock(g_state.mutex);
    g_state.com = com;
}

std::uint8_t BSL_initialize_BSL(const char* com)
{
    std::lock_guard lock(g_state.mutex);
    vardo::loader::closeDevice(g_state);
    std::uint16_t vid = 0, pid = 0;
    unsigned long index = 0;
    if (g_state.family != vardo::loader::kFamilyUsbFlash || g_state.com != vardo::loader::kComUsbHid
        || !vardo::loader::parseConnection(com, vid, pid, index))
        return 1;
    std::string path;
    hid_device_info* list = hid_enumerate(vid, pid);
    unsigned long i = 0;
    for (hid_device_info* d = list; d; d = d->next, ++i) {
        if (i == index) {
            path = d->path ? d->path : "";
            break;
        }
    }
    hid_free_enumeration(list);
    if (path.empty())
        return 1;
    g_state.device = hid_open_path(path.c_str());
    return g_state.device ? 0 : 1;
}

DataBlock_ BSL_getDefaultPass()
{
    DataBlock_ b = vardo::loader::emptyBlock();
    std::memset(b.data, 0xFF, P::kPasswordSize);
    b.length = P::kPasswordSize;
    b.startAddress = 0xFFE0;
    return b;
}

DataBlock_ BSL_readTI_Text(const char* text, std::int32_t maxBytes)
{
    DataBlock_ b = vardo::loader::emptyBlock();
    if (!text || maxBytes <= 0)
        return b;
    const std::size_t max = std::min<std::size_t>(static_cast<std::size_t>(maxBytes), sizeof b.data);
    vardo::loader::TiTxtBlockReader blocks(vardo::loader::TiTxtReader::fromText(text));
    b.length = static_cast<std::uint32_t>(blocks.read(b.data, max, &b.startAddress));
    if (blocks.failed())
        b = vardo::loader::emptyBlock();  // a block cut short by a malformed line is no block
    return b;
}

std::uint8_t BSL_RX_Password(DataBlock_ pass)
{
    std::lock_guard lock(g_state.mutex);
    return vardo::loader::exchange(g_state, P::kRxPassword, pass.startAddress, pass.data,
                                   P::kPasswordSize);
}

std::uint32_t BSL_RX_TXT(const char* text, std::uint8_t flag)
{
    if (!text)
        return kBslErrFormat;
    // Nothing is written from a text that is malformed anywhere.
    if (!vardo::loader::checkTiTxtText(text).empty())
        return kBslErrFormat;
    std::lock_guard lock(g_state.mutex);
    vardo::loader::TiTxtBlockReader blocks(vardo::loader::TiTxtReader::fromText(text));
    return vardo::loader::sendImage(g_state, blocks, flag);
}

std::uint32_t BSL_RX_TXT_File(const char* fileName, std::uint8_t flag)
{
    if (!fileName)
        return kBslErrOpen;
    {
        // A first pass checks the whole file, so a malformed one writes nothing.
        auto check = vardo::loader::TiTxtReader::fromFile(fileName);
        if (!check)
            return kBslErrOpen;
        vardo::loader::TiTxtLine line;
        vardo::loader::TiTxtReader::Step step;
        while ((step = check->next(line)) == vardo::loader::TiTxtReader::Step::Data) {
        }
        if (step != vardo::loader::TiTxtReader::Step::End)
            return kBslErrFormat;
    }
    auto reader = vardo::loader::TiTxtReader::fromFile(fileName);
    if (!reader)
        return kBslErrOpen;
    std::lock_guard lock(g_state.mutex);
    vardo::loader::TiTxtBlockReader blocks(std::move(reader));
    return vardo::loader::sendImage(g_state, blocks, flag);
}

std::uint8_t BSL_LoadPC(std::uint32_t addr)
{
    std::lock_guard lock(g_state.mutex);
    return vardo::loader::sendPacket(g_state, P::kLoadPc, addr, nullptr, 0) ? 0 : kBslNoReply;
}

std::uint8_t BSL_close_BSL()
{
    std::lock_guard lock(g_state.mutex);
    vardo::loader::closeDevice(g_state);
    return 0;
}

const char* BSL_TX_BSL_Version_String()
{
    std::lock_guard lock(g_state.mutex);
    g_state.versionText = "ERROR";
    if (vardo::loader::exchange(g_state, P::kTxVersion, 0, nullptr, 0, P::kData) != P::kStatusOk
        || g_state.lastReply.data[1] < 3 + 4)
        return g_state.versionText.c_str();
    const std::uint8_t* v = g_state.lastReply.data + P::kReplyHeaderSize;
    char text[48];
    std::snprintf(text, sizeof text, "Vendor: %02X Cmd: %02X API:  %02X  PI: %02X", v[0], v[1], v[2],
                  v[3]);
    g_state.versionText = text;
    return g_state.versionText.c_str();
}

std::uint8_t BSL_eraseSegment(std::uint32_t addr)
{
    std::lock_guard lock(g_state.mutex);
    return vardo::loader::exchange(g_state, P::kEraseSegment, addr, nullptr, 0);
}

std::uint8_t BSL_CRC_Check(std::uint32_t addr, std::uint32_t length)
{
    if (length == 0 || length > 0xFFFF)
        return P::kStatusBadLength;
    std::lock_guard lock(g_state.mutex);
    const std::uint8_t params[2] = {static_cast<std::uint8_t>(length),
                                    static_cast<std::uint8_t>(length >> 8)};
    const std::uint8_t status =
        vardo::loader::exchange(g_state, P::kCrcCheck, addr, params, sizeof params, P::kData);
    if (status == P::kStatusOk && g_state.lastReply.data[1] < 3 + 2)
        return kBslNoReply;
    return status;
}

dataBuffer BSL_get_RX_Buffer()
{
    std::lock_guard lock(g_state.mutex);
    return g_state.lastReply;
}

std::int32_t BSL_openTI_TextForRead(const char* fileName)
{
    std::lock_guard lock(g_state.mutex);
    g_state.file.reset();
    if (!fileName)
        return -2;
    auto reader = vardo::loader::TiTxtReader::fromFile(fileName);
    if (!reader)
        return -2;
    g_state.file = std::make_unique<vardo::loader::TiTxtBlockReader>(std::move(reader));
    return 0;
}

std::int32_t BSL_moreDataToRead_TextFile()
{
    std::lock_guard lock(g_state.mutex);
    return g_state.file && g_state.file->more() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(std::int32_t maxBytes)
{
    DataBlock_ b = vardo::loader::emptyBlock();
    std::lock_guard lock(g_state.mutex);
    if (!g_state.file || maxBytes <= 0)
        return b;
    const std::size_t max = std::min<std::size_t>(static_cast<std::size_t>(maxBytes), sizeof b.data);
    b.length = static_cast<std::uint32_t>(g_state.file->read(b.data, max, &b.startAddress));
    return b;
}

bool vardo::loader::textFileFailed()
{
    std::lock_guard lock(g_state.mutex);
    return g_state.file && g_state.file->failed();
}

void BSL_closeTI_Text()
{
    std::lock_guard lock(g_state.mutex);
    g_state.file.reset();
}

std::uint32_t BSL_NumOfUSBDevices(std::uint16_t vid, std::uint16_t pid)
{
    std::uint32_t count = 0;
    hid_device_info* list = hid_enumerate(vid, pid);
    for (hid_device_info* d = list; d; d = d->next)
        ++count;
    hid_free_enumeration(list);
    return count;
}

std::uint8_t BSL_RegisterUSBDeviceNotification(BslNotificationTarget* target)
{
    if (!target || !target->callback)
        return 1;
    {
        std::lock_guard lock(vardo::loader::g_notifyMutex);
        vardo::loader::g_target = target;
    }
    const bool started = vardo::loader::startDeviceWatch([](const vardo::loader::DeviceChange& c) {
        if (c.vendorId != P::kVendorId || c.productId != P::kProductId)
            return;
        std::lock_guard lock(vardo::loader::g_notifyMutex);
        if (auto* t = vardo::loader::g_target)
            t->callback(t->context, kBslDeviceChangeMessage,
                        c.arrival ? kBslDeviceArrival : kBslDeviceRemoveComplete);
    });
    if (!started) {
        std::lock_guard lock(vardo::loader::g_notifyMutex);
        vardo::loader::g_target = nullptr;
        return 1;
    }
    return 0;
}

std::uint8_t BSL_UnRegisterUSBDeviceNotification()
{
    vardo::loader::stopDeviceWatch();
    std::lock_guard lock(vardo::loader::g_notifyMutex);
    vardo::loader::g_target = nullptr;
    return 0;
}
