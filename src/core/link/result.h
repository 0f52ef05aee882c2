#pragma once
// The link's one result vocabulary. The values are the exchange functions'
// result codes, so a code and its Result convert both ways without a table.
#include <cstdint>
#include <string_view>

namespace vardo::link {

enum class Result : std::int32_t {
    Ok = 0,
    NoDevice = -1,    // no encoder, closed, or a write/read failed
    Timeout = -6,     // no reply within the time-out
    BadCount = -8,    // a report with a byte count above 0x40
    Refused = -13,    // refused, or an invalid or short reply
};

// An exchange function's code as a Result; an unknown failure code counts as Refused.
[[nodiscard]] Result resultOf(std::int32_t code);
[[nodiscard]] constexpr std::int32_t codeOf(Result result) { return static_cast<std::int32_t>(result); }

// Why an exchange failed, in words ("no reply from the encoder within 5000 ms").
[[nodiscard]] std::string_view resultText(Result result);

} // namespace vardo::link
