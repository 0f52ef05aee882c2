#include "selftest/self_test_sequence.h"

#include "link/encoder_commands.h"
#include "platform/clock.h"

#include <algorithm>
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

bool EncoderSelfTestPort::connected() { return !encoder_->lost(); }

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

namespace {

// "4-16", "3", "1-2, 5": the keys (numbered from 1) whose flag equals wanted.
std::string keyRanges(const std::vector<bool>& answered, bool wanted, int& count)
{
    std::string out;
    count = 0;
    const int n = static_cast<int>(answered.size());
    for (int first = 0; first < n; ++first) {
        if (answered[static_cast<std::size_t>(first)] != wanted)
            continue;
        int last = first;
        while (last + 1 < n && answered[static_cast<std::size_t>(last + 1)] == wanted)
            ++last;
        out += (out.empty() ? "" : ", ") + std::to_string(first + 1)
             + (last > first ? "-" + std::to_string(last + 1) : "");
        count += last - first + 1;
        first = last;
    }
    return out;
}

std::string keysPhrase(const std::string& ranges, int count)
{
    return (count == 1 ? "key " : "keys ") + ranges;
}

} // namespace

std::string keyVerdict(int keyCount, const std::vector<bool>& answered)
{
    std::vector<bool> keys(static_cast<std::size_t>(std::max(keyCount, 0)), false);
    for (std::size_t k = 0; k < keys.size() && k < answered.size(); ++k)
        keys[k] = answered[k];
    if (keys.empty())
        return "Self test: this keypad type has no keys to test";
    int good = 0, bad = 0;
    const std::string yes = keyRanges(keys, true, good);
    const std::string no = keyRanges(keys, false, bad);
    if (bad == 0)
        return "Self test: all " + std::to_string(good) + " keys answered";
    const std::string missing = keysPhrase(no, bad) + " did not answer";
    return "Self test: " + (good == 0 ? missing : keysPhrase(yes, good) + " answered; " + missing);
}

// ---- the sequence ------------------------------------------------------------

SelfTestSequence::SelfTestSequence(SelfTestPort& port, SelfTestView& view,
                                   const std::atomic<int>& closeForm)
    : port_(port), view_(view), closeForm_(closeForm)
{
}

int SelfTestSequence::reported(int result, const char* failure)
{
    if (result != 0 && !encoderGone())
        view_.showMessage(failure);
    return result;
}

bool SelfTestSequence::encoderGone()
{
    if (gone_)
        return true;
    if (port_.connected())
        return false;
    gone_ = true;
    view_.showMessage(messages::kNotConnected);
    return true;
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
        if (!encoderGone())
            view_.showMessage(messages::kSelfTestStartFailed);
        return false;
    }
    keyTestStarted_ = true;
    answered_.assign(keypadPictures(state.keypadType).size(), false);
    platform::sleepMs(kKeyPauseMs);

    int key = 0;
    while (waitForKey(key)) {
        if (key == kEndOfKeys)
            return true;
        if (stopRequested())
            return false;
        if (auto picture = pictureForKey(state.keypadType, key)) {
            answered_[static_cast<std::size_t>(key)] = true;
            view_.lightPicture(*picture);
        }
        platform::sleepMs(kKeyPauseMs);
    }
    // A wait that failed for want of the encoder says so; a time-out says nothing.
    encoderGone();
    return false;
}

std::string SelfTestSequence::verdict(const link::DeviceStatus& state) const
{
    if (!keyTestStarted_)
        return gone_ ? "Self test stopped: the encoder went away before the key test"
                     : "Self test stopped before the key test";
    const std::string keys = keyVerdict(static_cast<int>(keypadPictures(state.keypadType).size()), answered_);
    return gone_ ? keys + " (the encoder went away)" : keys;
}

void SelfTestSequence::complete(const link::DeviceStatus& state)
{
    // Nothing to restore on an encoder that has gone, and no box for each command.
    if (encoderGone())
        return;
    setBuzzerPeriod(state.buzzerPeriod);
    platform::sleepMs(kRestorePauseMs);
    setBrightness(state.ledBrightness);
    platform::sleepMs(kRestorePauseMs);
    if (port_.selfTest(link::kSelfTestEnd) != 0)
        view_.showMessage(messages::kSelfTestEndFailed);
}

} // namespace vardo::selftest
