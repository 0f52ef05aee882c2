#pragma once
// The one place where an encoder operation's outcome becomes the operator's
// text: the windows show the operation's sentence, the command-line tool adds
// the reason.
#include <string>

#include "device/encoder.h"

namespace vardo::device {

// Why an exchange failed, in words: the link's text (link::resultText).
[[nodiscard]] std::string reasonText(Result result);

// The sentence of a setting's box when the encoder does not take the setting
// ("Unable to set the LED Brightness..").
[[nodiscard]] const char* settingFailureText(Setting setting);

} // namespace vardo::device
