#pragma once
// One connection to one bootstrap loader (the MSP430 USB loader, framed as
// loader_protocol.h says): it owns its hidapi handle and one mutex, so several
// connections (a bench of encoders upgraded at once) run side by side. Every
// call returns a loader::Result; resultText() is the one place they become words.
// No Qt.
#include "loader/loader_protocol.h"
#include "loader/ti_txt.h"

#include <hidapi.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vardo::loader {

// The results of every loader call. Adding a value? Give it its text in
// resultText() (connection.cpp) and its code in the BSL_ calls' mapping (bsl430.cpp).
enum class Result : std::uint8_t {
    Ok,
    FlashWriteCheckFailed,  // the loader's message 1: a flash write did not verify
    FlashFailBit,           // 2: the flash controller reported a failure
    VoltageChange,          // 3: the supply changed during a flash operation
    Locked,                 // 4: the loader is locked (no password accepted yet)
    PasswordRefused,        // 5: wrong password, and the loader mass-erased its main flash
    ByteWriteForbidden,     // 6: a byte write where only words go
    UnknownCommand,         // 7: the loader does not know the command (the flash loader's short set)
    PacketTooLong,          // 8: a packet too long, or a length outside 1..65535 (not sent)
    UnknownMessage,         // a message code the loader should never send
    NoReply,                // nothing could be sent, or no fitting reply came in time
    NotOpen,                // no connection is open
    NotFound,               // no loader at that address, or it would not open
    BadAddress,             // an unreadable connection text
    Malformed,              // a malformed TI-TXT image: nothing was written
    CannotOpenFile,         // the TI-TXT file cannot be opened
};

// "no reply from the loader", "the password was refused (the loader erased its flash)", ...
[[nodiscard]] const char* resultText(Result result);

// A loader message code as a Result (0 is Ok).
[[nodiscard]] Result resultOfMessage(std::uint8_t message);

// Which loader to open: the index-th with these identifiers in enumeration
// order, counting only those on port when it is set (an encoder's own loader on a bench).
struct Address {
    std::uint16_t vendorId = protocol::kVendorId;
    std::uint16_t productId = protocol::kProductId;
    unsigned long index = 0;
    std::string port;
};

// "PID=0x0200,VID=0x2047,DEVICEINDEX=0", then ",PORT=1-1.3" when a port is set.
[[nodiscard]] std::string connectionText(const Address& address);
// Reads such a text (keys in any order and case, blanks ignored); nullopt when it cannot.
[[nodiscard]] std::optional<Address> parseConnectionText(const char* text);

// The loader's version: vendor, command interpreter, API and peripheral interface.
struct Version {
    std::uint8_t vendor = 0;
    std::uint8_t interpreter = 0;
    std::uint8_t api = 0;
    std::uint8_t peripheral = 0;
};
// "Vendor: VV Cmd: CC API:  AA  PI: PP", the fields at protocol::kVersionFieldPositions.
[[nodiscard]] std::string versionText(const Version& version);
// The fields read back from such a text; nullopt when it is none ("ERROR", too short, not hex).
[[nodiscard]] std::optional<Version> versionFromText(std::string_view text);

class Connection {
public:
    Connection() = default;
    // Closes the handle when one is open.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Closes a connection still open, then opens the loader at address.
    // NotFound when there is none (or it would not open).
    [[nodiscard]] Result open(const Address& address);
    // Closes the handle (also when none is open).
    void close();

    // Sends the 32-byte password. PasswordRefused: the loader has mass-erased its main flash.
    [[nodiscard]] Result unlock(std::span<const std::uint8_t, protocol::kPasswordSize> password);
    // Writes every byte of a TI-TXT image as unanswered fast writes (the only
    // write the flash loader knows); flash writes are padded to whole words with
    // 0xFF, and the packet holding the reset vector goes last. Nothing is written
    // from a malformed image. Whether the bytes took shows only in a CRC check.
    [[nodiscard]] Result sendImage(std::string_view text);
    // The same from an image parsed already.
    [[nodiscard]] Result sendImage(const Image& image);
    // The same from a file (8-bit path), checked whole before the first write.
    [[nodiscard]] Result sendImageFile(const std::string& path);
    // Starts code at address (the RAM loader's entry). Unanswered: Ok once sent.
    [[nodiscard]] Result loadPc(std::uint32_t address);
    // Erases the flash segment holding address.
    [[nodiscard]] Result eraseSegment(std::uint32_t address);
    // The loader's CRC-16/CCITT-FALSE of length bytes from address (1..65535, else PacketTooLong).
    [[nodiscard]] Result crc(std::uint32_t address, std::uint32_t length, std::uint16_t& crc);
    [[nodiscard]] Result version(Version& version);

    // The loader's last reply, zero-padded: [0] report ID, [1] L, [2] kind,
    // [3] the command it answered, [4] the message of a message reply, from
    // [5] the data of a data reply. All zero before the first reply.
    static constexpr std::size_t kReplySize = 260;
    static constexpr std::size_t kReplyDataOffset = 5;
    void lastReply(std::uint8_t (&out)[kReplySize]) const;

private:
    bool sendCore(const std::uint8_t* core, std::size_t count);
    bool sendAddressed(std::uint8_t command, std::uint32_t address, const std::uint8_t* params = nullptr,
                       std::size_t count = 0);
    void drainInput();
    Result awaitReply(std::uint8_t command, std::uint8_t expectedKind, std::size_t minData = 0);
    Result exchange(std::uint8_t command, std::uint32_t address, const std::uint8_t* params,
                    std::size_t count, std::uint8_t expectedKind, std::size_t minData = 0);
    Result sendData(std::uint32_t address, const std::uint8_t* data, std::size_t count);
    template <class Blocks> Result sendBlocks(Blocks& blocks);
    void closeLocked();

    mutable std::mutex mutex_;  // one call at a time on this handle
    hid_device* device_ = nullptr;
    std::uint8_t lastReply_[kReplySize] = {};
};

} // namespace vardo::loader
