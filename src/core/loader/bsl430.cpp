// The library's 21 calls as a thin face over loader::Connection: each call
// forwards to the default connection and turns its Result into the integer
// codes the calls promise. TI-TXT file reading and the device watch live here.
#include "loader/bsl430.h"

#include "link/hid_list.h"
#include "loader/connection.h"
#include "loader/hotplug.h"
#include "loader/loader_protocol.h"
#include "loader/text_file_state.h"
#include "loader/ti_txt.h"
#include "platform/hid_bus.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace P = vardo::loader::protocol;
using vardo::loader::Result;

namespace vardo::loader {

namespace {

constexpr std::uint32_t kFamilyUsbFlash = 3;
constexpr std::uint32_t kComUsbHid = 2;

// What the calls keep between them besides the connection; guarded by mutex.
struct FaceState {
    std::mutex mutex;
    std::uint32_t family = 0;
    std::uint32_t com = 0;
    std::string versionText = "ERROR";
    std::unique_ptr<TiTxtBlockReader> file;
};

FaceState& face()
{
    static FaceState state;
    return state;
}

// Notifications have their own lock: they arrive on other threads, possibly
// while a call of this library is running.
std::mutex g_notifyMutex;
BslNotificationTarget* g_target = nullptr;

DataBlock_ emptyBlock()
{
    DataBlock_ b;
    std::memset(&b, 0, sizeof b);
    return b;
}

// The one-byte calls' codes: 0, the loader's message, or kBslNoReply.
std::uint8_t byteCode(Result r)
{
    if (r == Result::Ok)
        return 0;
    if (r == Result::UnknownMessage) {
        // Passed on as the loader sent it.
        std::uint8_t reply[Connection::kReplySize];
        defaultConnection().lastReply(reply);
        return reply[4];
    }
    if (r <= Result::PacketTooLong)
        return static_cast<std::uint8_t>(r);
    return kBslNoReply;
}

// The transfers' codes.
std::uint32_t transferCode(Result r)
{
    switch (r) {
    case Result::Ok:
        return 0;
    case Result::Malformed:
        return kBslErrFormat;
    case Result::CannotOpenFile:
        return kBslErrOpen;
    default:
        return kBslErrComm;
    }
}

} // namespace

Connection& defaultConnection()
{
    static Connection connection;
    return connection;
}

std::mutex& libraryMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool textFileFailed()
{
    auto& state = face();
    std::lock_guard lock(state.mutex);
    return state.file && state.file->failed();
}

} // namespace vardo::loader

using vardo::loader::defaultConnection;
using vardo::loader::face;

void BSL_setFamily(std::uint32_t family)
{
    std::lock_guard lock(face().mutex);
    face().family = family;
}

void BSL_setCom(std::uint32_t com)
{
    std::lock_guard lock(face().mutex);
    face().com = com;
}

std::uint8_t BSL_initialize_BSL(const char* com)
{
    defaultConnection().close();
    {
        std::lock_guard lock(face().mutex);
        if (face().family != vardo::loader::kFamilyUsbFlash || face().com != vardo::loader::kComUsbHid)
            return 1;
    }
    const auto address = vardo::loader::parseConnectionText(com);
    return address && defaultConnection().open(*address) == Result::Ok ? 0 : 1;
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
    const std::span<const std::uint8_t, P::kPasswordSize> password(pass.data, P::kPasswordSize);
    return vardo::loader::byteCode(defaultConnection().unlock(password));
}

std::uint32_t BSL_RX_TXT(const char* text, std::uint8_t /*flag*/)
{
    return text ? vardo::loader::transferCode(defaultConnection().sendImage(text)) : kBslErrFormat;
}

std::uint32_t BSL_RX_TXT_File(const char* fileName, std::uint8_t /*flag*/)
{
    return fileName ? vardo::loader::transferCode(defaultConnection().sendImageFile(fileName)) : kBslErrOpen;
}

std::uint8_t BSL_LoadPC(std::uint32_t addr)
{
    return vardo::loader::byteCode(defaultConnection().loadPc(addr));
}

std::uint8_t BSL_close_BSL()
{
    defaultConnection().close();
    return 0;
}

const char* BSL_TX_BSL_Version_String()
{
    vardo::loader::Version version;
    const bool read = defaultConnection().version(version) == Result::Ok;
    std::lock_guard lock(face().mutex);
    face().versionText = read ? vardo::loader::versionText(version) : "ERROR";
    return face().versionText.c_str();
}

std::uint8_t BSL_eraseSegment(std::uint32_t addr)
{
    return vardo::loader::byteCode(defaultConnection().eraseSegment(addr));
}

std::uint8_t BSL_CRC_Check(std::uint32_t addr, std::uint32_t length)
{
    std::uint16_t crc = 0;
    return vardo::loader::byteCode(defaultConnection().crc(addr, length, crc));
}

dataBuffer BSL_get_RX_Buffer()
{
    dataBuffer b;
    defaultConnection().lastReply(b.data);
    return b;
}

std::int32_t BSL_openTI_TextForRead(const char* fileName)
{
    auto& state = face();
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
    auto& state = face();
    std::lock_guard lock(state.mutex);
    return state.file && state.file->more() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(std::int32_t maxBytes)
{
    auto& state = face();
    DataBlock_ b = vardo::loader::emptyBlock();
    std::lock_guard lock(state.mutex);
    if (!state.file || maxBytes <= 0)
        return b;
    const std::size_t max = std::min<std::size_t>(static_cast<std::size_t>(maxBytes), sizeof b.data);
    b.length = static_cast<std::uint32_t>(state.file->read(b.data, max, &b.startAddress));
    return b;
}

void BSL_closeTI_Text()
{
    auto& state = face();
    std::lock_guard lock(state.mutex);
    state.file.reset();
}

std::uint32_t BSL_NumOfUSBDevices(std::uint16_t vid, std::uint16_t pid)
{
    return static_cast<std::uint32_t>(vardo::link::listHid(vid, pid).size());
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
