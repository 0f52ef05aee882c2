#pragma once
// Bring-up aid: every HID report in and out, encoder and loader, with a
// millisecond timestamp on standard error. On when VARDO_TRACE=1 or after
// enableHidTrace(true). Qt-free; safe from any thread.
#include <cstddef>
#include <cstdint>

namespace vardo::platform {

void enableHidTrace(bool on);
bool hidTraceEnabled();

// who: "encoder" or "loader"; out: written by the host. Writes one line
// "[12345.678] loader out 3F 21 11 ..." when tracing is on; nothing otherwise.
// A negative count (a failed read or write) is written as such.
void traceHidReport(const char* who, bool out, const std::uint8_t* data, long count);

} // namespace vardo::platform
