#pragma once
// The bootstrap-loader library's 21 calls, under the names and results the
// upgrade window's code expects of them: a thin face over loader::Connection
// (loader/connection.h), which the upgrade job itself uses. The connection
// calls act on one default connection (defaultConnection() below).
// Texts are NUL-terminated 8-bit strings. Calls may come from any thread; a
// caller that needs a whole sequence (initialise ... close, or a file read)
// undisturbed holds vardo::loader::libraryMutex() for it.
#include <cstdint>
#include <mutex>

// One block of image bytes: `length` valid bytes of `data` for the device
// addresses from `startAddress` on.
struct DataBlock_ {
    std::uint8_t data[10240];
    std::uint32_t length;
    std::uint32_t startAddress;
};

// The loader's last reply, zero-padded: [0] report ID, [1] L and [2] kind as
// received, [3] the command it answered, [4] the message of a message reply,
// from [5] the data of a data reply. For a CRC byte 5 is the low byte, 6 the high.
struct dataBuffer {
    std::uint8_t data[260];
};

// Where device-change notifications go: `callback(context, 0x0219, event)`
// with event 0x8000 (a loader arrived) or 0x8004 (a loader was removed). It
// runs on whichever thread saw the change and must only hand the event on
// (post it to its window's thread); it must not call into this library.
struct BslNotificationTarget {
    void (*callback)(void* context, std::uint32_t message, std::uint32_t event);
    void* context;
};

inline constexpr std::uint32_t kBslDeviceChangeMessage = 0x0219;
inline constexpr std::uint32_t kBslDeviceArrival = 0x8000;
inline constexpr std::uint32_t kBslDeviceRemoveComplete = 0x8004;

// Loader family and communication channel for the next BSL_initialize_BSL.
// This library knows family 3 (flash devices with a USB loader) and channel 2 (USB HID).
void BSL_setFamily(std::uint32_t family);
void BSL_setCom(std::uint32_t com);

// Opens the loader named by a connection text such as
// "PID=0x0200,VID=0x2047,DEVICEINDEX=0" (the DEVICEINDEX-th loader in
// enumeration order). ",PORT=1-1.3" keeps to the loaders on that USB port
// (DEVICEINDEX then counts those), so an encoder's own loader is found on a
// bench. Closes a connection still open. 0 = open, 1 = failure (no such
// device, unreadable text, or unknown family/channel).
std::uint8_t BSL_initialize_BSL(const char* com);

// The password of an erased device: 32 bytes of 0xFF for the vector table 0xFFE0-0xFFFF.
DataBlock_ BSL_getDefaultPass();

// The first block (at most maxBytes, up to 10240) of a TI-TXT text; length 0
// when the text holds no valid data.
DataBlock_ BSL_readTI_Text(const char* text, std::int32_t maxBytes);

// Sends a 32-byte password block. 0 = accepted; 5 = refused, and the loader
// has mass-erased its main flash; kBslNoReply when it could not be reached.
std::uint8_t BSL_RX_Password(DataBlock_ pass);

// Writes every byte of a TI-TXT text / file to the device as unanswered fast
// writes of at most 48 bytes (the only write the flash-resident loader knows),
// flash writes padded to whole words with 0xFF; the flag is not consulted.
// Nothing is written from a malformed text. Whether the bytes took shows only
// in a CRC check. 0 = all sent; kBslErrComm / kBslErrFormat / kBslErrOpen.
std::uint32_t BSL_RX_TXT(const char* text, std::uint8_t flag);
std::uint32_t BSL_RX_TXT_File(const char* fileName, std::uint8_t flag);

// Results of the one-byte calls: 0 = done, the loader's message (4 locked,
// 7 unknown command, ..., loader_protocol.h), or kBslNoReply when no fitting
// reply came.
inline constexpr std::uint8_t kBslNoReply = 0xFF;

// Starts code at addr (the RAM loader's entry 0x2504). The loader does not
// answer: 0 = sent, kBslNoReply when it could not be sent.
std::uint8_t BSL_LoadPC(std::uint32_t addr);

// Closes the connection (also when none is open). 0.
std::uint8_t BSL_close_BSL();

// The loader's version as "Vendor: VV Cmd: CC API:  AA  PI: PP" (two-digit
// hex fields at character positions 8-9, 16-17, 25-26 and 33-34), or "ERROR".
// The text stays valid until the next call.
const char* BSL_TX_BSL_Version_String();

// Erases the flash segment holding addr. 0 = erased.
std::uint8_t BSL_eraseSegment(std::uint32_t addr);

// Asks the loader for the CRC-16 of length bytes from addr (length 1..65535;
// else 8 without asking). 0 = success, the CRC then in bytes 5 (low) and 6 (high) of BSL_get_RX_Buffer().
std::uint8_t BSL_CRC_Check(std::uint32_t addr, std::uint32_t length);

// The last reply received from the loader (all zero before the first one).
dataBuffer BSL_get_RX_Buffer();

// TI-TXT file reading, one block held at a time. Open: 0, or -2 when the file
// cannot be opened. More: non-zero while data remains. Read: the next block of
// contiguous bytes, at most maxBytes (when maxBytes is a power of two a block
// never crosses a multiple of it, so 512-byte blocks stay inside one flash
// segment); length 0 when no data remains or the file is malformed.
std::int32_t BSL_openTI_TextForRead(const char* fileName);
std::int32_t BSL_moreDataToRead_TextFile();
DataBlock_ BSL_readTI_TextFile(std::int32_t maxBytes);
void BSL_closeTI_Text();

// Number of loaders attached with this vendor and product ID.
std::uint32_t BSL_NumOfUSBDevices(std::uint16_t vid, std::uint16_t pid);

// Starts delivering device changes of loaders to target (not owned; it must stay
// valid until unregistered). 0 = registered, 1 = the watch could not start.
std::uint8_t BSL_RegisterUSBDeviceNotification(BslNotificationTarget* target);
// Stops the notifications; when it returns no callback is running or will run. 0.
std::uint8_t BSL_UnRegisterUSBDeviceNotification();

// Results of the TI-TXT transfers besides the loader's own refusal codes.
inline constexpr std::uint32_t kBslErrComm = 0x100;    // no connection, write or read failed, no reply
inline constexpr std::uint32_t kBslErrFormat = 0x101;  // the TI-TXT text is malformed
inline constexpr std::uint32_t kBslErrOpen = 0x102;    // the file cannot be opened

namespace vardo::loader {
class Connection;
// The connection the calls above act on.
Connection& defaultConnection();
// Held by a user of the calls above for a whole sequence of them, so that
// the window's loader count and its upgrade never interleave.
std::mutex& libraryMutex();
} // namespace vardo::loader
