#include "selftest/self_test_sequence.h"

#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

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

int reportFailure(int result, const char* text)
{
    if (result != 0)
        showMessage(text);
    return result;
}

std::uint8_t byteOf(int value) { return static_cast<std::uint8_t>(value); }

// The handle is read under the exchange lock: the main window may re-scan meanwhile.
std::int32_t sendByte(link::EncoderCommand code, std::uint8_t value)
{
    return link::withEncoderHandle(
        [&](hid_device* h) { return link::sendByteCommand(h, code, value); });
}

} // namespace

void showMessage(const std::string& text)
{
    platform::dialogs().message(messages::kCaption, text + messages::kLineBreak, platform::MessageIcon::Warning);
}

// ---- the port on the encoder link ------------------------------------------

int EncoderSelfTestPort::GetDeviceStatusMessage(link::DeviceStatus& state)
{
    link::DeviceStatus status = state;
    if (link::withEncoderHandle([&](hid_device* h) { return link::readDeviceStatus(h, status); }) != 0)
        return -1;
    state = status;
    return 0;
}

int EncoderSelfTestPort::ledBrightness(int level)
{
    return reportFailure(sendByte(link::SET_LED_BRIGHTNESS, byteOf(level)),
                         messages::kBrightnessFailed);
}

int EncoderSelfTestPort::buzzerPeriod(int level)
{
    return reportFailure(sendByte(link::SET_BUZZER_PERIOD, byteOf(level)),
                         messages::kBuzzerPeriodFailed);
}

int EncoderSelfTestPort::statusBuzzer(int level)
{
    return reportFailure(sendByte(link::SOUND_BUZZER, byteOf(level)),
                         kBuzzerError);
}

int EncoderSelfTestPort::selfTest(int start_end)
{
    return sendByte(link::SELF_TEST, byteOf(start_end));
}

int EncoderSelfTestPort::selfTestKeyPressed(int& key_pressed, int timeoutMs)
{
    std::array<std::uint8_t, link::kReportSize> reply{};
    std::uint32_t replyLength = 0;
    const std::int32_t r = link::withEncoderHandle([&](hid_device* h) {
        return USBEncoderReceive_a(h, link::SELF_TEST, reply.data(),
                                   static_cast<std::int32_t>(reply.size()), &replyLength, timeoutMs);
    });
    if (r == 0)
        key_pressed = reply[0];
    return r;
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
        port_.ledBrightness(0);
        platform::sleepMs(kBlinkMs);
        const int on = port_.ledBrightness(kBlinkOnLevel);
        platform::sleepMs(kBlinkMs);
        if (on != 0 || stopRequested())
            return false;
    }
    port_.ledBrightness(0);
    view_.AmendCheckBox(CheckTarget::ledCheckBox, true);
    return true;
}

bool SelfTestSequence::brightnessTest(const link::DeviceStatus& state)
{
    view_.highlightRow(TestRow::Brightness);
    for (int level = 0; level < kLevelCount; ++level) {
        view_.AddTextToObject(TextTarget::ledLevelLbl, std::to_string(level));
        const int r = port_.ledBrightness(level);
        platform::sleepMs(kLevelMs);
        if (r != 0 || stopRequested())
            return false;
    }
    port_.ledBrightness(0);
    view_.AmendCheckBox(CheckTarget::brightnessCheckBox, true);
    port_.ledBrightness(state.ledBrightness);
    return true;
}

bool SelfTestSequence::buzzerTest()
{
    view_.highlightRow(TestRow::Buzzer);
    int step = 0;
    int pauseMs = 0;
    do {
        view_.AddTextToObject(TextTarget::buzzerPeriodLbl, std::to_string(step));
        if (port_.statusBuzzer(step) != 0 || stopRequested())
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
        if (r != link::kErrTimeout)
            return false;
    }
    return false;
}

bool SelfTestSequence::keyTest(const link::DeviceStatus& state)
{
    showMessage(kKeyPrompt);
    if (port_.selfTest(link::kSelfTestStart) != 0) {
        showMessage(messages::kSelfTestStartFailed);
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
    port_.buzzerPeriod(state.buzzerPeriod);
    platform::sleepMs(kRestorePauseMs);
    port_.ledBrightness(state.ledBrightness);
    platform::sleepMs(kRestorePauseMs);
    if (port_.selfTest(link::kSelfTestEnd) != 0)
        showMessage(messages::kSelfTestEndFailed);
}

} // namespace vardo::selftest
