#include "device/outcome.h"

#include "link/messages.h"

namespace vardo::device {

std::string reasonText(Result result)
{
    switch (result) {
    case Result::Ok:
        return "done";
    case Result::NoDevice:
        return "the encoder is not connected or stopped answering";
    case Result::Timeout:
        return "no reply from the encoder within 5000 ms";
    case Result::BadCount:
        return "the encoder's reply report was malformed";
    case Result::Refused:
        break;
    }
    return "the encoder refused the command or its reply was invalid";
}

const char* settingFailureText(Setting setting)
{
    switch (setting) {
    case Setting::LedBrightness:
        return messages::kBrightnessFailed;
    case Setting::LedColour:
        return messages::kColourFailed;
    case Setting::Buzzer:
        return messages::kBuzzerFailed;
    case Setting::BuzzerPeriod:
        return messages::kBuzzerPeriodFailed;
    case Setting::KeypadType:
        break;
    }
    return messages::kKeypadTypeFailed;
}

} // namespace vardo::device
