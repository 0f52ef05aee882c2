// One loader connection over hidapi: the MSP430 USB loader's framing
// (loader_protocol.h), one command a report, TI-TXT images streamed a packet
// at a time as fast writes.
#include "loader/connection.h"

#include "link/hid_list.h"
#include "loader/ti_txt.h"
#include "platform/clock.h"
#include "platform/hid_bus.h"
#include "platform/hid_trace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vardo::loader {

namespace P = protocol;

namespace {

// Long enough for a mass erase or a CRC over 64 KB on the slowest loader.
constexpr int kReplyTimeoutMs = 2000;
// More waiting input than this is a device that keeps talking: go on anyway.
constexpr int kMaxDrainedReports = 64;
// The packet holding the reset vector (0xFFFE-0xFFFF) goes last.
constexpr std::uint32_t kResetVector = 0xFFFE;

void traceReport(bool out, const std::uint8_t* data, long count)
{
    if (count != 0)
        platform::traceHidReport("loader", out, data, count);
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

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

} // namespace

const char* resultText(Result result)
{
    switch (result) {
    case Result::Ok:
        return "done";
    case Result::FlashWriteCheckFailed:
        return "a flash write did not verify";
    case Result::FlashFailBit:
        return "the flash controller reported a failure";
    case Result::VoltageChange:
        return "the supply voltage changed during a flash operation";
    case Result::Locked:
        return "the loader is locked";
    case Result::PasswordRefused:
        return "the password was refused (the loader erased its flash)";
    case Result::ByteWriteForbidden:
        return "the loader refused a byte write";
    case Result::UnknownCommand:
        return "the loader does not know the command";
    case Result::PacketTooLong:
        return "a packet too long for the loader";
    case Result::UnknownMessage:
        return "an unknown message from the loader";
    case Result::NoReply:
        return "no reply from the loader";
    case Result::NotOpen:
        return "no connection to the loader";
    case Result::NotFound:
        return "no loader found";
    case Result::BadAddress:
        return "an unreadable connection text";
    case Result::Malformed:
        return "a malformed TI-TXT image";
    case Result::CannotOpenFile:
        return "the image file cannot be opened";
    }
    return "an unknown result";
}

Result resultOfMessage(std::uint8_t message)
{
    return message <= P::kMsgPacketTooLong ? static_cast<Result>(message) : Result::UnknownMessage;
}

std::string connectionText(const Address& a)
{
    const std::string text = "PID=" + hex4(a.productId) + ",VID=" + hex4(a.vendorId)
                           + ",DEVICEINDEX=" + std::to_string(a.index);
    return a.port.empty() ? text : text + ",PORT=" + a.port;
}

std::optional<Address> parseConnectionText(const char* text)
{
    if (!text)
        return std::nullopt;
    Address a;
    bool haveVid = false, havePid = false;
    const std::string all(text);
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        item.erase(std::remove_if(item.begin(), item.end(), [](unsigned char c) { return std::isspace(c); }),
                   item.end());
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            return std::nullopt;
        std::string key = item.substr(0, eq);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (key == "PORT") {
            a.port = item.substr(eq + 1);
            if (a.port.empty())
                return std::nullopt;
            continue;
        }
        unsigned long value = 0;
        if (!parseNumber(item.substr(eq + 1), value))
            return std::nullopt;
        if (key == "VID" && value <= 0xFFFF) {
            a.vendorId = static_cast<std::uint16_t>(value);
            haveVid = true;
        } else if (key == "PID" && value <= 0xFFFF) {
            a.productId = static_cast<std::uint16_t>(value);
            havePid = true;
        } else if (key == "DEVICEINDEX") {
            a.index = value;
        } else {
            return std::nullopt;
        }
    }
    if (!haveVid || !havePid)
        return std::nullopt;
    return a;
}

std::string versionText(const Version& v)
{
    char text[48];
    std::snprintf(text, sizeof text, "Vendor: %02X Cmd: %02X API:  %02X  PI: %02X", v.vendor, v.interpreter,
                  v.api, v.peripheral);
    return text;
}

std::optional<Version> versionFromText(std::string_view text)
{
    std::uint8_t fields[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t at = P::kVersionFieldPositions[i];
        if (text.size() < at + 2)
            return std::nullopt;
        const std::string digits(text.substr(at, 2));
        char* end = nullptr;
        const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (!std::isxdigit(static_cast<unsigned char>(digits[0])) || end != digits.c_str() + 2)
            return std::nullopt;
        fields[i] = static_cast<std::uint8_t>(value);
    }
    return Version{fields[0], fields[1], fields[2], fields[3]};
}

// ---- the connection ---------------------------------------------------------

Connection::~Connection() { close(); }

void Connection::closeLocked()
{
    if (device_) {
        hid_close(device_);
        device_ = nullptr;
    }
}

void Connection::close()
{
    std::lock_guard lock(mutex_);
    closeLocked();
}

Result Connection::open(const Address& address)
{
    std::lock_guard lock(mutex_);
    closeLocked();
    // With a port, the index counts only the loaders on that port.
    std::string path;
    const std::lock_guard busLock(vardo::platform::hidBusMutex());
    unsigned long i = 0;
    for (const link::HidListing& d : link::listHid(address.vendorId, address.productId)) {
        if (!address.port.empty() && d.port != address.port)
            continue;
        if (i++ == address.index) {
            path = d.path;
            break;
        }
    }
    if (path.empty())
        return Result::NotFound;
    device_ = hid_open_path(path.c_str());
    return device_ ? Result::Ok : Result::NotFound;
}

// One output report: 3F, L, the core command. False when it could not be sent.
bool Connection::sendCore(const std::uint8_t* core, std::size_t count)
{
    if (!device_ || count == 0 || count > P::kMaxCoreSize)
        return false;
    std::uint8_t report[P::kReportSize] = {};
    report[0] = P::kReportId;
    report[1] = static_cast<std::uint8_t>(count);
    std::memcpy(report + 2, core, count);
    const int written = hid_write(device_, report, sizeof report);
    traceReport(true, report, written < 0 ? written : long(sizeof report));
    return written == static_cast<int>(sizeof report);
}

bool Connection::sendAddressed(std::uint8_t command, std::uint32_t address, const std::uint8_t* params,
                               std::size_t count)
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
    return sendCore(core, P::kAddressedHeader + count);
}

// No reply names its command, so whatever already waits (an answer to an
// earlier command that came too late) is thrown away before the next one.
void Connection::drainInput()
{
    std::uint8_t report[P::kReportSize];
    for (int i = 0; device_ && i < kMaxDrainedReports; ++i) {
        const int n = hid_read_timeout(device_, report, sizeof report, 0);
        traceReport(false, report, n);
        if (n <= 0)
            return;
    }
}

// Waits for the answer to command and keeps it as the last reply. The
// loader's message for a message reply, Ok for a data reply of at least
// minData bytes, else NoReply (nothing, or the other kind of reply).
Result Connection::awaitReply(std::uint8_t command, std::uint8_t expectedKind, std::size_t minData)
{
    // The wait is bounded on the clock, not per report: a loader that keeps
    // sending reports that are no answer cannot hold the caller for good.
    platform::Clock& clock = platform::clock();
    const std::uint64_t deadline = clock.nowMs() + kReplyTimeoutMs;
    for (;;) {
        const std::uint64_t now = clock.nowMs();
        if (now >= deadline)
            return Result::NoReply;
        std::uint8_t report[P::kReportSize] = {};
        const int n = hid_read_timeout(device_, report, sizeof report, static_cast<int>(deadline - now));
        traceReport(false, report, n);
        if (n <= 0)
            return Result::NoReply;
        const std::size_t count = report[1];
        if (static_cast<std::size_t>(n) < 4 || report[0] != P::kReportId || count < 1 || count > P::kMaxCoreSize
            || static_cast<std::size_t>(n) < count + 2)
            continue;
        const std::uint8_t kind = report[2];
        if ((kind != P::kMessage || count < 2) && kind != P::kData)
            continue;
        std::memset(lastReply_, 0, sizeof lastReply_);
        lastReply_[0] = report[0];
        lastReply_[1] = report[1];
        lastReply_[2] = kind;
        lastReply_[3] = command;
        if (kind == P::kMessage) {
            lastReply_[4] = report[3];
            return expectedKind == P::kMessage || report[3] != P::kMsgOk ? resultOfMessage(report[3])
                                                                         : Result::NoReply;
        }
        std::memcpy(lastReply_ + kReplyDataOffset, report + 3, count - 1);
        return expectedKind == P::kData && count - 1 >= minData ? Result::Ok : Result::NoReply;
    }
}

Result Connection::exchange(std::uint8_t command, std::uint32_t address, const std::uint8_t* params,
                            std::size_t count, std::uint8_t expectedKind, std::size_t minData)
{
    if (!device_)
        return Result::NotOpen;
    drainInput();
    if (!sendAddressed(command, address, params, count))
        return Result::NoReply;
    return awaitReply(command, expectedKind, minData);
}

Result Connection::unlock(std::span<const std::uint8_t, P::kPasswordSize> password)
{
    std::lock_guard lock(mutex_);
    if (!device_)
        return Result::NotOpen;
    std::uint8_t core[1 + P::kPasswordSize];
    core[0] = P::kRxPassword;
    std::memcpy(core + 1, password.data(), P::kPasswordSize);
    drainInput();
    if (!sendCore(core, sizeof core))
        return Result::NoReply;
    return awaitReply(P::kRxPassword, P::kMessage);
}

// One fast write (the only write the flash-resident loader knows; it never
// answers, so a fault shows in the CRC verification). Flash takes whole words:
// an odd start or end is padded with an erased byte, which programs nothing.
Result Connection::sendData(std::uint32_t address, const std::uint8_t* data, std::size_t n)
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
        drainInput();
        if (!sendAddressed(P::kRxDataBlockFast, address + static_cast<std::uint32_t>(done), padded + done, part))
            return Result::NoReply;
        done += part;
    }
    return Result::Ok;
}

// Sends every byte the block reader yields, a packet at a time. The packet
// holding the reset vector goes last whatever the image's order, so a chip
// that loses power halfway finds the vector blank and starts its loader
// rather than half an application.
template <class Blocks> Result Connection::sendBlocks(Blocks& blocks)
{
    if (!device_)
        return Result::NotOpen;
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
        if (const Result r = sendData(address, data, n); r != Result::Ok)
            return r;
    }
    if (blocks.failed())
        return Result::Malformed;
    return heldCount ? sendData(heldAddress, held, heldCount) : Result::Ok;
}

Result Connection::sendImage(std::string_view text)
{
    // Nothing is written from a text that is malformed anywhere.
    Image image;
    if (!parseTiTxt(text, image).empty())
        return Result::Malformed;
    return sendImage(image);
}

Result Connection::sendImage(const Image& image)
{
    std::lock_guard lock(mutex_);
    ImageBlockReader blocks(image);
    return sendBlocks(blocks);
}

Result Connection::sendImageFile(const std::string& path)
{
    {
        // A first pass checks the whole file, so a malformed one writes nothing.
        auto check = TiTxtReader::fromFile(path);
        if (!check)
            return Result::CannotOpenFile;
        TiTxtLine line;
        TiTxtReader::Step step;
        while ((step = check->next(line)) == TiTxtReader::Step::Data) {
        }
        if (step != TiTxtReader::Step::End)
            return Result::Malformed;
    }
    auto reader = TiTxtReader::fromFile(path);
    if (!reader)
        return Result::CannotOpenFile;
    std::lock_guard lock(mutex_);
    TiTxtBlockReader blocks(std::move(reader));
    return sendBlocks(blocks);
}

Result Connection::loadPc(std::uint32_t address)
{
    std::lock_guard lock(mutex_);
    if (!device_)
        return Result::NotOpen;
    drainInput();
    return sendAddressed(P::kLoadPc, address) ? Result::Ok : Result::NoReply;
}

Result Connection::eraseSegment(std::uint32_t address)
{
    std::lock_guard lock(mutex_);
    return exchange(P::kEraseSegment, address, nullptr, 0, P::kMessage);
}

Result Connection::crc(std::uint32_t address, std::uint32_t length, std::uint16_t& crc)
{
    if (length == 0 || length > 0xFFFF)
        return Result::PacketTooLong;
    std::lock_guard lock(mutex_);
    const std::uint8_t params[2] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    const Result r = exchange(P::kCrcCheck, address, params, sizeof params, P::kData, 2);
    if (r == Result::Ok)
        crc = static_cast<std::uint16_t>(lastReply_[kReplyDataOffset] | lastReply_[kReplyDataOffset + 1] << 8);
    return r;
}

Result Connection::version(Version& version)
{
    std::lock_guard lock(mutex_);
    if (!device_)
        return Result::NotOpen;
    const std::uint8_t core[1] = {P::kTxVersion};
    drainInput();
    if (!sendCore(core, sizeof core))
        return Result::NoReply;
    const Result r = awaitReply(P::kTxVersion, P::kData, 4);
    if (r != Result::Ok)
        return r;
    const std::uint8_t* v = lastReply_ + kReplyDataOffset;
    version = Version{v[0], v[1], v[2], v[3]};
    return Result::Ok;
}

void Connection::lastReply(std::uint8_t (&out)[kReplySize]) const
{
    std::lock_guard lock(mutex_);
    std::memcpy(out, lastReply_, kReplySize);
}

} // namespace vardo::loader
