// The loader library over hidapi: the MSP430 USB loader's framing
// (loader_protocol.h), one command a report, TI-TXT texts and files streamed
// a packet at a time as fast writes.
#include "firmware/bsl430.h"

#include "link/usb_port.h"
#include "loader/hotplug.h"
#include "loader/loader_protocol.h"
#include "loader/loader_session.h"
#include "loader/text_file_state.h"
#include "loader/ti_txt.h"
#include "platform/clock.h"
#include "platform/hid_trace.h"

#include <hidapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vardo::loader {

// Everything the calls of one session share; guarded by mutex for each call.
struct Session::State {
    std::mutex mutex;
    std::mutex sequence;   // libraryMutex(): one worker's whole use of the session
    std::uint32_t family = 0;
    std::uint32_t com = 0;
    hid_device* device = nullptr;
    dataBuffer lastReply{};
    std::string versionText;
    std::unique_ptr<TiTxtBlockReader> file;
};

namespace {

using State = Session::State;

State& defaultState()
{
    static State state;
    return state;
}

// The session this thread's calls go to; null: the default one.
thread_local State* t_bound = nullptr;

State& current()
{
    return t_bound ? *t_bound : defaultState();
}

} // namespace

std::mutex& libraryMutex()
{
    return current().sequence;
}

namespace {

namespace P = protocol;

constexpr std::uint32_t kFamilyUsbFlash = 3;
constexpr std::uint32_t kComUsbHid = 2;
// Long enough for a mass erase or a CRC over 64 KB on the slowest loader.
constexpr int kReplyTimeoutMs = 2000;
// More waiting input than this is a device that keeps talking: go on anyway.
constexpr int kMaxDrainedReports = 64;
// Where the data of a data reply begins in the RX buffer (a CRC: bytes 5 and 6).
constexpr std::size_t kRxBufferDataOffset = 5;

// Notifications have their own lock: they arrive on other threads, possibly
// while a call of this library holds a session's mutex.
std::mutex g_notifyMutex;
BslNotificationTarget* g_target = nullptr;

DataBlock_ emptyBlock()
{
    DataBlock_ b;
    std::memset(&b, 0, sizeof b);
    return b;
}

void traceReport(bool out, const std::uint8_t* data, long count)
{
    if (count != 0)
        platform::traceHidReport("loader", out, data, count);
}

// One output report: 3F, L, the core command. False when it could not be sent.
bool sendCore(State& s, const std::uint8_t* core, std::size_t count)
{
    if (!s.device || count == 0 || count > P::kMaxCoreSize)
        return false;
    std::uint8_t report[P::kReportSize] = {};
    report[0] = P::kReportId;
    report[1] = static_cast<std::uint8_t>(count);
    std::memcpy(report + 2, core, count);
    const int written = hid_write(s.device, report, sizeof report);
    traceReport(true, report, written < 0 ? written : long(sizeof report));
    return written == static_cast<int>(sizeof report);
}

// A command with a 24-bit address and `count` bytes after it.
bool sendAddressed(State& s, std::uint8_t command, std::uint32_t address,
                   const std::uint8_t* params = nullptr, std::size_t count = 0)
{
    std::uint8_t core[P::kMaxCoreSize];
    if (count > sizeof core - P::kAddressedHeader)
        return false;
    core[0] = command;
    core[1] = static_cast<std::uint8_t>(address);
    core[2] = static_cast<std::uint8_t>(address >> 8);
    core[3] = static_cast<std::uint8_t>(address >> 16);
    if (count)
        std::memcpy(core + P::kAddressedHeader, params, count);
    return sendCore(s, core, P::kAddressedHeader + count);
}

// No reply names its command, so whatever already waits (an answer to an
// earlier command that came too late) is thrown away before the next one.
void drainInput(State& s)
{
    std::uint8_t report[P::kReportSize];
    for (int i = 0; s.device && i < kMaxDrainedReports; ++i) {
        const int n = hid_read_timeout(s.device, report, sizeof report, 0);
        traceReport(false, report, n);
        if (n <= 0)
            return;
    }
}

// Waits for the answer to command and keeps it as the last reply: its report
// ID, L and kind, then the command, the message (0 for data) and from byte 5
// the data. Returns the message of a message reply, 0 for a data reply of at
// least minData bytes, or kBslNoReply (nothing, or the other kind of reply).
std::uint8_t awaitReply(State& s, std::uint8_t command, std::uint8_t expectedKind,
                        std::size_t minData = 0)
{
    // The wait is bounded on the clock, not per report: a loader that keeps
    // sending reports that are no answer cannot hold the caller for good.
    platform::Clock& clock = platform::clock();
    const std::uint64_t deadline = clock.nowMs() + kReplyTimeoutMs;
    for (;;) {
        const std::uint64_t now = clock.nowMs();
        if (now >= deadline)
            return kBslNoReply;
        std::uint8_t report[P::kReportSize] = {};
        const int n = hid_read_timeout(s.device, report, sizeof report,
                                       static_cast<int>(deadline - now));
        traceReport(false, report, n);
        if (n <= 0)
            return kBslNoReply;
        const std::size_t count = report[1];
        if (static_cast<std::size_t>(n) < 4 || report[0] != P::kReportId || count < 1
            || count > P::kMaxCoreSize || static_cast<std::size_t>(n) < count + 2)
            continue;
        const std::uint8_t kind = report[2];
        if ((kind != P::kMessage || count < 2) && kind != P::kData)
            continue;
        std::memset(s.lastReply.data, 0, sizeof s.lastReply.data);
        s.lastReply.data[0] = report[0];
        s.lastReply.data[1] = report[1];
        s.lastReply.data[2] = kind;
        s.lastReply.data[3] = command;
        if (kind == P::kMessage) {
            s.lastReply.data[4] = report[3];
            return expectedKind == P::kMessage || report[3] != P::kMsgOk ? report[3] : kBslNoReply;
        }
        std::memcpy(s.lastReply.data + kRxBufferDataOffset, report + 3, count - 1);
        return expectedKind == P::kData && count - 1 >= minData ? std::uint8_t{P::kMsgOk}
                                                                : kBslNoReply;
    }
}

std::uint8_t exchange(State& s, std::uint8_t command, std::uint32_t address,
                      const std::uint8_t* params, std::size_t count, std::uint8_t expectedKind,
                      std::size_t minData = 0)
{
    drainInput(s);
    if (!sendAddressed(s, command, address, params, count))
        return kBslNoReply;
    return awaitReply(s, command, expectedKind, minData);
}

// One fast write (the only write the flash-resident loader knows; it never
// answers, so a fault shows in the CRC verification). Flash takes whole words:
// an odd start or end is padded with an erased byte, which programs nothing.
// 0 or kBslErrComm.
std::uint32_t sendData(State& s, std::uint32_t address, const std::uint8_t* data, std::size_t n)
{
    std::uint8_t padded[P::kMaxDataPerPacket + 2];
    std::size_t count = 0;
    if (address >= P::kFlashStart && (address & 1)) {
        padded[count++] = 0xFF;
        --address;
    }
    std::memcpy(padded + count, data, n);
    count += n;
    if (address >= P::kFlashStart && (count & 1))
        padded[count++] = 0xFF;
    for (std::size_t done = 0; done < count;) {
        // Both parts of a split keep an even start and length.
        const std::size_t part = std::min(count - done, P::kMaxDataPerPacket);
        drainInput(s);
        if (!sendAddressed(s, P::kRxDataBlockFast, address + static_cast<std::uint32_t>(done),
                           padded + done, part))
            return kBslErrComm;
        done += part;
    }
    return 0;
}

// Sends every byte the block reader yields, a packet at a time. The packet
// holding the reset vector (0xFFFE-0xFFFF) goes last whatever the image's
// order, so a chip that loses power halfway finds the vector blank and starts
// its loader rather than half an application.
std::uint32_t sendImage(State& s, TiTxtBlockReader& blocks)
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
        if (const std::uint32_t r = sendData(s, address, data, n))
            return r;
    }
    if (blocks.failed())
        return kBslErrFormat;
    return heldCount ? sendData(s, heldAddress, held, heldCount) : 0;
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

// "PID=0x0200,VID=0x2047,DEVICEINDEX=0" and optionally ",PORT=1-1.3": keys in
// any order and case.
bool parseConnection(const char* text, std::uint16_t& vid, std::uint16_t& pid, unsigned long& index,
                     std::string& port)
{
    if (!text)
        return false;
    bool haveVid = false, havePid = false;
    index = 0;
    port.clear();
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
        if (key == "PORT") {
            port = item.substr(eq + 1);
            if (port.empty())
                return false;
            continue;
        }
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

namespace P = vardo::loader::protocol;

void BSL_setFamily(std::uint32_t family)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    state.family = family;
}

void BSL_setCom(std::uint32_t com)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    state.com = com;
}

std::uint8_t BSL_initialize_BSL(const char* com)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    vardo::loader::closeDevice(state);
    std::uint16_t vid = 0, pid = 0;
    unsigned long index = 0;
    std::string port;
    if (state.family != vardo::loader::kFamilyUsbFlash || state.com != vardo::loader::kComUsbHid
        || !vardo::loader::parseConnection(com, vid, pid, index, port))
        return 1;
    // With a port, DEVICEINDEX counts only the loaders on that port.
    std::string path;
    hid_device_info* list = hid_enumerate(vid, pid);
    unsigned long i = 0;
    for (hid_device_info* d = list; d; d = d->next) {
        if (!d->path || (!port.empty() && vardo::link::usbPortOf(d->path) != port))
            continue;
        if (i++ == index) {
            path = d->path;
            break;
        }
    }
    hid_free_enumeration(list);
    if (path.empty())
        return 1;
    state.device = hid_open_path(path.c_str());
    return state.device ? 0 : 1;
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
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    std::uint8_t core[1 + P::kPasswordSize];
    core[0] = P::kRxPassword;
    std::memcpy(core + 1, pass.data, P::kPasswordSize);
    vardo::loader::drainInput(state);
    if (!vardo::loader::sendCore(state, core, sizeof core))
        return kBslNoReply;
    return vardo::loader::awaitReply(state, P::kRxPassword, P::kMessage);
}

std::uint32_t BSL_RX_TXT(const char* text, std::uint8_t /*flag*/)
{
    auto& state = vardo::loader::current();
    if (!text)
        return kBslErrFormat;
    // Nothing is written from a text that is malformed anywhere.
    if (!vardo::loader::checkTiTxtText(text).empty())
        return kBslErrFormat;
    std::lock_guard lock(state.mutex);
    vardo::loader::TiTxtBlockReader blocks(vardo::loader::TiTxtReader::fromText(text));
    return vardo::loader::sendImage(state, blocks);
}

std::uint32_t BSL_RX_TXT_File(const char* fileName, std::uint8_t /*flag*/)
{
    auto& state = vardo::loader::current();
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
    std::lock_guard lock(state.mutex);
    vardo::loader::TiTxtBlockReader blocks(std::move(reader));
    return vardo::loader::sendImage(state, blocks);
}

std::uint8_t BSL_LoadPC(std::uint32_t addr)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    vardo::loader::drainInput(state);
    return vardo::loader::sendAddressed(state, P::kLoadPc, addr) ? 0 : kBslNoReply;
}

std::uint8_t BSL_close_BSL()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    vardo::loader::closeDevice(state);
    return 0;
}

const char* BSL_TX_BSL_Version_String()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    state.versionText = "ERROR";
    const std::uint8_t core[1] = {P::kTxVersion};
    vardo::loader::drainInput(state);
    if (!vardo::loader::sendCore(state, core, sizeof core)
        || vardo::loader::awaitReply(state, P::kTxVersion, P::kData, 4) != P::kMsgOk)
        return state.versionText.c_str();
    const std::uint8_t* v = state.lastReply.data + vardo::loader::kRxBufferDataOffset;
    char text[48];
    std::snprintf(text, sizeof text, "Vendor: %02X Cmd: %02X API:  %02X  PI: %02X", v[0], v[1], v[2],
                  v[3]);
    state.versionText = text;
    return state.versionText.c_str();
}

std::uint8_t BSL_eraseSegment(std::uint32_t addr)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    return vardo::loader::exchange(state, P::kEraseSegment, addr, nullptr, 0, P::kMessage);
}

std::uint8_t BSL_CRC_Check(std::uint32_t addr, std::uint32_t length)
{
    auto& state = vardo::loader::current();
    if (length == 0 || length > 0xFFFF)
        return P::kMsgPacketTooLong;
    std::lock_guard lock(state.mutex);
    const std::uint8_t params[2] = {static_cast<std::uint8_t>(length),
                                    static_cast<std::uint8_t>(length >> 8)};
    return vardo::loader::exchange(state, P::kCrcCheck, addr, params, sizeof params, P::kData, 2);
}

dataBuffer BSL_get_RX_Buffer()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    return state.lastReply;
}

std::int32_t BSL_openTI_TextForRead(const char* fileName)
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    state.file.reset();
    if (!fileName)
        return -2;
    auto reader = vardo::loader::TiTxtReader::fromFile(fileName);
    if (!reader)
        return -2;
    state.file = std::make_unique<vardo::loader::TiTxtBlockReader>(std::move(reader));
    return 0;
}

std::int32_t BSL_moreDataToRead_TextFile()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    return state.file && state.file->more() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(std::int32_t maxBytes)
{
    auto& state = vardo::loader::current();
    DataBlock_ b = vardo::loader::emptyBlock();
    std::lock_guard lock(state.mutex);
    if (!state.file || maxBytes <= 0)
        return b;
    const std::size_t max = std::min<std::size_t>(static_cast<std::size_t>(maxBytes), sizeof b.data);
    b.length = static_cast<std::uint32_t>(state.file->read(b.data, max, &b.startAddress));
    return b;
}

bool vardo::loader::textFileFailed()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    return state.file && state.file->failed();
}

void BSL_closeTI_Text()
{
    auto& state = vardo::loader::current();
    std::lock_guard lock(state.mutex);
    state.file.reset();
}

namespace vardo::loader {

Session::Session() : state_(std::make_unique<State>()) {}

Session::~Session()
{
    std::lock_guard lock(state_->mutex);
    closeDevice(*state_);
}

SessionScope::SessionScope(Session& session) : previous_(t_bound)
{
    t_bound = session.state_.get();
}

SessionScope::~SessionScope()
{
    t_bound = previous_;
}

} // namespace vardo::loader

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
