#include "device/power_up_defaults.h"

#include <algorithm>

namespace vardo::device {

namespace {

// The table bytes the status message carries for the layout of a.
bool sameTable(const link::DeviceStatus& a, const link::CodeTable& b)
{
    const auto bytes = static_cast<std::size_t>(link::statusTableBytes(a.keypadType));
    return std::equal(a.codeTable.begin(), a.codeTable.begin() + static_cast<std::ptrdiff_t>(bytes),
                      b.begin());
}

} // namespace

void PowerUpDefaults::seen(const std::string& who, const link::DeviceStatus& status)
{
    if (!defaults_ || who != who_) {
        who_ = who;
        saved(status);
        return;
    }
    live_ = status;
    // Under another layout the read says nothing about the defaults' table.
    if (status.keypadType == defaults_->keypadType)
        tableDiffers_ = !sameTable(*defaults_, status.codeTable);
}

void PowerUpDefaults::changed(const link::DeviceStatus& settings)
{
    const link::CodeTable table = live_.codeTable;
    live_ = settings;
    live_.codeTable = table;
}

void PowerUpDefaults::tableLoaded(const link::CodeTable& table)
{
    live_.codeTable = table;
    // A table of another layout than the defaults' one cannot be compared: it counts as a change.
    tableDiffers_ = !defaults_ || live_.keypadType != defaults_->keypadType || !sameTable(*defaults_, table);
}

void PowerUpDefaults::saved(const link::DeviceStatus& status)
{
    defaults_ = status;
    live_ = status;
    tableDiffers_ = false;
}

void PowerUpDefaults::forget()
{
    who_.clear();
    defaults_.reset();
    tableDiffers_ = false;
}

bool PowerUpDefaults::unsaved() const
{
    if (!defaults_)
        return false;
    const link::DeviceStatus& d = *defaults_;
    return tableDiffers_ || live_.ledBrightness != d.ledBrightness || live_.ledColour != d.ledColour
        || live_.buzzer != d.buzzer || live_.buzzerPeriod != d.buzzerPeriod
        || live_.keypadType != d.keypadType;
}

} // namespace vardo::device
