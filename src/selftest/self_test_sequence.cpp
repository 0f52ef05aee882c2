#include "selftest/self_test_sequence.h"

#include "link/encoder_commands.h"
#include "platform/clock.h"

#include <array>

namespace vardo::selftest {

namespace {

constexpr int kBlinkCycles = 4;
constexpr int kBlinkMs = 500;
constexpr int kBlinkOnLevel = 8;
constexpr int kLevelCount = 10;
constexpr int kLevelMs = 500;
constexpr int kBuzzerPauseStepMs = 150;
constexpr int kBuzzerPauseLimitMs = 1500;
constexpr int kKeyPauseMs = 100;
constexpr int kRestorePauseMs = 100;

std::uint8_t byteOf(int value) { return static_cast<std::uint8_t>(value); }

using link::codeOf;

} // namespace

// ---- the port on the encoder ---------------------------------------------------

EncoderSelfTestPort::EncoderSelfTestPort(std::shared_ptr<device::EncoderSlot> encoder)
    : encoder_(std::move(encoder))
{
}

int EncoderSelfTestPort::GetDeviceStatusMessage(link::DeviceStatus& state)
{
    link::DeviceStatus status = state;
    if (encoder_->with([&](device::Encoder& e) { return e.readStatus(status); }) != device::Result::Ok)
        return -1;
    state = status;
    return 0;
}

int EncoderSelfTestPort::ledBrightness(int level)
{
    return codeOf(encoder_->with(
        [&](device::Encoder& e) { return e.set(device::Setting::LedBrightness, byteOf(level)); }));
}

int EncoderSelfTestPort::buzzerPeriod(int level)
{
    return codeOf(encoder_->with(
        [&](device::Encoder& e) { return e.set(device::Setting::BuzzerPeriod, byteOf(level)); }));
}

int EncoderSelfTestPort::statusBuzzer(int level)
{
    return codeOf(encoder_->with([&](device::Encoder& e) { return e.soundBuzzer(byteOf(level)); }));
}

int EncoderSelfTestPort::selfTest(int start_end)
{
    return codeOf(
        encoder_->with([&](device::Encoder& e) { return e.selfTest(start_end == link::kSelfTestStart); }));
}

int EncoderSelfTestPort::selfTestKeyPressed(int& key_pressed, int timeoutMs)
{
    std::optional<std::uint8_t> key;
    const device::Result r = encoder_->with([&](device::Encoder& e) { return e.awaitKey(key, timeoutMs); });
    if (r == device::Result::Ok)
        key_pressed = key.value_or(0);
    return codeOf(r);
}

// ---- key pictures ------------------------------------------------------------

std::vector<int> keypadPictures(int keypadType)
{
    std::vector<int> pictures;
    int columns = 0;
    if (keypadType >= 0 && keypadType <= 2)
        columns = 1;
    else if (keypadType >= 3 && keypadType <= 5)
        columns = 3;
    else if (keypadType >= 6 && keypadType <= 8)
        columns = 4;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < columns; ++column)
            pictures.push_back(row * 4 + column + 1);
    return pictures;
}

std::optional<int> pictureForKey(int keypadType, int key)
{
    const std::vector<int> pictures = keypadPictures(keypadType);
    if (key < 0 || static_cast<std::size_t>(key) >= pictures.size())
        return std::nullopt;
    return pictures[static_cast<std::size_t>(key)];
}

std::optional<std::string> keypadText(int keypadType)
{
    if (keypadType >= 0 && keypadType <= 2)
        return "4 WAY";
    if (keypadType >= 3 && keypadType <= 5)
        return "12 WAY";
    if (keypadType >= 6 && keypadType <= 8)
        return "16 WAY";
    return std::nullopt;
}

std::string colourName(int ledColour_index)
{
    static const std::array<const char*, 3> names = {"WHITE", "GREEN", "RED"};
    if (ledColour_index >= 0 && ledColour_index < static_cast<int>(names.size()))
        return names[static_cast<std::size_t>(ledColour_index)];
    // The encoder may report a colour this program has no name for.
    return "COLOUR " + std::to_string(ledColour_index);
}

// ---- the sequence ------------------------------------------------------------

SelfTestSequence::SelfTestSequence(SelfTestPort& port, SelfTestView& view,
                                   const std::atomic<int>& closeForm)
    : port_(port), view_(view), closeForm_(closeForm)
{
}

int SelfTestSequence::reported(int result, const char* failure)
{
    if (result != 0)
        view_.showMessage(failure);
    return result;
}

int SelfTestSequence::setBrightness(int level)
{
    return reported(port_.ledBrightness(level), messages::kBrightnessFailed);
}

int SelfTestSequence::setBuzzerPeriod(int level)
{
    return reported(port_.buzzerPeriod(level), messages::kBuzzerPeriodFailed);
}

SelfTestEnd SelfTestSequence::run(const link::DeviceStatus& state)
{
    if ((state.optionsFitted & link::kOptionLedColour) && !ledTest())
        return SelfTestEnd::Stopped;
    if ((state.optionsFitted & link::kOptionLedBrightness) && !brightnessTest(state))
        return SelfTestEnd::Stopped;
    if ((state.optionsFitted & link::kOptionBuzzer) && !buzzerTest())
        return SelfTestEnd::Stopped;
    return keyTest(state) ? SelfTestEnd::Finished : SelfTestEnd::Stopped;
}

bool SelfTestSequence::ledTest()
{
    view_.highlightRow(TestRow::Led);
    for (int cycle = 0; cycle < kBlinkCycles; ++cycle) {
        setBrightness(0);
        platform::sleepMs(kBlinkMs);
        const int on = setBrightness(kBlinkOnLevel);
        platform::sleepMs(kBlinkMs);
        if (on != 0 || stopRequested())
            return false;
    }
    setBrightness(0);
    view_.AmendCheckBox(CheckTarget::ledCheckBox, true);
    return true;
}

bool SelfTestSequence::brightnessTest(const link::DeviceStatus& state)
{
    view_.highlightRow(TestRow::Brightness);
    for (int level = 0; level < kLevelCount; ++level) {
        view_.AddTextToObject(TextTarget::ledLevelLbl, std::to_string(level));
        const int r = setBrightness(level);
        platform::sleepMs(kLevelMs);
        if (r != 0 || stopRequested())
            return false;
    }
    setBrightness(0);
    view_.AmendCheckBox(CheckTarget::brightnessCheckBox, true);
    setBrightness(state.ledBrightness);
    return true;
}

bool SelfTestSequence::buzzerTest()
{
    view_.highlightRow(TestRow::Buzzer);
    int step = 0;
    int pauseMs = 0;
    do {
        view_.AddTextToObject(TextTarget::buzzerPeriodLbl, std::to_string(step));
        if (reported(port_.statusBuzzer(step), kBuzzerError) != 0 || stopRequested())
            return false;
        platform::sleepMs(static_cast<std::uint32_t>(pauseMs));
        ++step;
        pauseMs += kBuzzerPauseStepMs;
    } while (pauseMs < kBuzzerPauseLimitMs);
    view_.AmendCheckBox(CheckTarget::buzzerCheckBox, true);
    return true;
}

bool SelfTestSequence::waitForKey(int& key)
{
    // Slices add up to the full wait; a stop request ends it between slices.
    for (int waited = 0; waited < kKeyWaitMs; waited += kKeyWaitSliceMs) {
        if (stopRequested())
            return false;
        const int r = port_.selfTestKeyPressed(key, kKeyWaitSliceMs);
        if (r == 0)
            return true;
        if (r != link::codeOf(link::Result::Timeout))
            return false;
    }
    return false;
}

bool SelfTestSequence::keyTest(const link::DeviceStatus& state)
{
    view_.showMessage(kKeyPrompt);
    if (port_.selfTest(link::kSelfTestStart) != 0) {
        view_.showMessage(messages::kSelfTestStartFailed);
        return false;
    }
    platform::sleepMs(kKeyPauseMs);

    int key = 0;
    while (waitForKey(key)) {
        if (key == kEndOfKeys)
            return true;
        if (stopRequested())
            return false;
        if (auto picture = pictureForKey(state.keypadType, key))
            view_.lightPicture(*picture);
        platform::sleepMs(kKeyPauseMs);
    }
    return false;
}

void SelfTestSequence::complete(const link::DeviceStatus& state)
{
    setBuzzerPeriod(state.buzzerPeriod);
    platform::sleepMs(kRestorePauseMs);
    setBrightness(state.ledBrightness);
    platform::sleepMs(kRestorePauseMs);
    if (port_.selfTest(link::kSelfTestEnd) != 0)
        view_.showMessage(messages::kSelfTestEndFailed);
}

} // namespace vardo::selftest
