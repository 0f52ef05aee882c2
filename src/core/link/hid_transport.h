#pragma once
// The encoder's HID link: find and open its command interface, send one
// command frame (frame.h) and wait for its reply. Qt-free. The exchange
// functions return a Result's code (result.h) and hold no lock: the owner of
// the handle (device::Encoder) runs one exchange at a time on it.
#include <hidapi.h>

#include <cstdint>

#include "link/frame.h"
#include "link/result.h"

namespace vardo::link {

inline constexpr std::int32_t kEncoderVendorId = 0x2047;
inline constexpr std::int32_t kEncoderProductId = 0x0902;
inline constexpr int kEncoderInterface = 1;
inline constexpr std::size_t kReportSize = frame::kReportSize;
inline constexpr std::size_t kNameBufferSize = 48;
inline constexpr std::int32_t kDefaultTimeoutMs = 5000;
// However many ACK reports come, an exchange ends after this many time-outs.
inline constexpr std::int32_t kTimeoutsPerExchange = 3;
inline constexpr int kMaxPayload = static_cast<int>(frame::kMaxPayload);

} // namespace vardo::link

// Opens the first HID interface 1 of vendorId/productId. Fills manufacturer and
// product (48-byte buffers) with the device's strings, "Unable To Find" for an
// unreadable one; on failure returns null and both buffers hold "None".
// The returned handle is in non-blocking mode; the caller owns it.
[[nodiscard]] hid_device* ScanForUSBDevice_a(std::int32_t vendorId, std::int32_t productId,
                                             char* manufacturer, char* product);

// Sends command `code` with `payloadLength` bytes (0..55) of `payload` and waits
// for the reply frame. On 0 the N-1 data bytes are in `reply` (62 bytes at
// least) and their count in `replyLength`. `timeoutMs` 0 waits without limit;
// the time-out runs on the platform clock and each ACK report restarts it; no
// other report does, and after kTimeoutsPerExchange time-outs the exchange
// times out even among ACKs. `replyCapacity` is not consulted.
// A valid reply frame naming another command (a late reply to an earlier,
// timed-out exchange) is passed over, so it never answers this one.
[[nodiscard]] std::int32_t USBEncoderSendAndReceive_a(hid_device* device, std::uint8_t code,
                                                      const std::uint8_t* payload,
                                                      std::int32_t payloadLength, std::uint8_t* reply,
                                                      std::int32_t replyCapacity,
                                                      std::uint32_t* replyLength,
                                                      std::int32_t timeoutMs);

// Waits for one reply frame without sending anything (self-test key reports).
// `code` and `replyCapacity` are not used. Same results as above.
[[nodiscard]] std::int32_t USBEncoderReceive_a(hid_device* device, std::uint8_t code,
                                               std::uint8_t* reply, std::int32_t replyCapacity,
                                               std::uint32_t* replyLength, std::int32_t timeoutMs);

// Closes device when not null, then shuts the HID library down.
void hid_exit_safely(hid_device* device);
