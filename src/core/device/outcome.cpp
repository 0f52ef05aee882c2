#include "device/outcome.h"

#include "link/messages.h"

namespace vardo::device {

std::string reasonText(Result result) { return std::string(link::resultText(result)); }

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
