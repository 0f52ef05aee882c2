#pragma once
// The self test's device sequence without any window: LED blinks, brightness
// levels, buzzer steps and the key test, then the restoring completion. The
// window supplies the view (label texts, ticks, highlights, key pictures) and the
// device port; both are interfaces so the sequence can be driven by tests.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/encoder.h"
#include "link/encoder_commands.h"
#include "link/messages.h"

namespace vardo::selftest {

inline constexpr char kStatusError[] = "Device status message error..";
inline constexpr char kBuzzerError[] = "Unable to set Buzzer..";
inline constexpr char kKeyPrompt[] = "Press each key (within 10sec) on keypad... ";

inline constexpr std::uint8_t kEndOfKeys = 255;
inline constexpr int kKeyWaitMs = 5000;
// The key wait is taken in slices so that Close is seen within one slice and the
// encoder link is free for the main window between them.
inline constexpr int kKeyWaitSliceMs = 100;

// The device operations of the self test. Each returns 0 or the exchange's
// non-zero result and shows nothing: the sequence reports failures to its view.
class SelfTestPort {
public:
    virtual ~SelfTestPort() = default;
    // GET_STATUS into state; -1 on any failure, state unchanged. Shows nothing.
    virtual int GetDeviceStatusMessage(link::DeviceStatus& state) = 0;
    virtual int ledBrightness(int level) = 0;   // SET_LED_BRIGHTNESS
    virtual int buzzerPeriod(int level) = 0;    // SET_BUZZER_PERIOD
    virtual int statusBuzzer(int level) = 0;    // SOUND_BUZZER
    // SELF_TEST with 1 (start) or 2 (end).
    virtual int selfTest(int start_end) = 0;
    // Waits up to timeoutMs for one key report; on 0 stores its first data byte
    // in key_pressed. Returns the exchange's result (-6 when nothing came).
    virtual int selfTestKeyPressed(int& key_pressed, int timeoutMs) = 0;
    // False once the encoder has left the bus: a failure then means "gone",
    // not "refused". Ports that cannot tell say true.
    virtual bool connected() { return true; }
};

// The port on the encoder: every call uses the slot's encoder as it is at that
// moment (the main window may re-scan meanwhile).
class EncoderSelfTestPort final : public SelfTestPort {
public:
    explicit EncoderSelfTestPort(std::shared_ptr<device::EncoderSlot> encoder);
    int GetDeviceStatusMessage(link::DeviceStatus& state) override;
    int ledBrightness(int level) override;
    int buzzerPeriod(int level) override;
    int statusBuzzer(int level) override;
    int selfTest(int start_end) override;
    int selfTestKeyPressed(int& key_pressed, int timeoutMs) override;
    bool connected() override;

private:
    std::shared_ptr<device::EncoderSlot> encoder_;
};

enum class TextTarget { ledColourLbl, ledLevelLbl, buzzerPeriodLbl, keypadLbl };
enum class CheckTarget { ledCheckBox, brightnessCheckBox, buzzerCheckBox };
enum class TestRow { Led, Brightness, Buzzer };

// What the sequence changes in its window. Every call returns once the window
// shows the change.
class SelfTestView {
public:
    virtual ~SelfTestView() = default;
    virtual void AddTextToObject(TextTarget target, const std::string& text) = 0;
    virtual void AmendCheckBox(CheckTarget target, bool checked) = 0;
    // Gives the row's caption and value labels the light green background.
    virtual void highlightRow(TestRow row) = 0;
    // Lights key picture 1..16 (button1..button16).
    virtual void lightPicture(int picture) = 0;
    // One operator message (without its line break): the window shows it in a
    // box with the utility's caption, OK and the warning icon, and returns when
    // it is closed.
    virtual void showMessage(const std::string& text) = 0;
};

// Key pictures (1..16 for button1..button16) of a keypad type, in key order:
// the left column for types 0-2, the left three columns for 3-5, all sixteen for
// 6-8, none for any other type.
std::vector<int> keypadPictures(int keypadType);
// The picture that key number key (0 is key 1) lights; nothing for a key the pad
// does not have.
std::optional<int> pictureForKey(int keypadType, int key);
// "4 WAY", "12 WAY", "16 WAY"; nothing for any other type (the label keeps its text).
std::optional<std::string> keypadText(int keypadType);
// "WHITE", "GREEN", "RED" for 0-2; "COLOUR n" for an index without a name.
std::string colourName(int ledColour_index);

// The self test's verdict on the keys, for the status bar: which of keys
// 1..keyCount answered (answered holds key numbers from 0) and which did not,
// in ranges ("Self test: keys 1-3 answered; keys 4-16 did not answer").
std::string keyVerdict(int keyCount, const std::vector<bool>& answered);

// Why the sequence ended.
enum class SelfTestEnd { Finished, Stopped };

class SelfTestSequence {
public:
    // closeForm is the window's stop request (1 = stop), read after every step.
    SelfTestSequence(SelfTestPort& port, SelfTestView& view, const std::atomic<int>& closeForm);

    // The worker's sequence (LED, brightness, buzzer, key test). Runs on the
    // worker thread; every wait goes through the platform clock.
    SelfTestEnd run(const link::DeviceStatus& state);

    // Restores the buzzer period and brightness and ends the encoder's self test.
    // Runs on the window's thread after run() has returned, however it ended.
    void complete(const link::DeviceStatus& state);

    // After run(): the key verdict, or why no key was tested.
    std::string verdict(const link::DeviceStatus& state) const;

private:
    // True once the encoder has gone; the first time says so, once.
    bool encoderGone();
    bool stopRequested() const { return closeForm_.load() == 1; }
    bool ledTest();
    bool brightnessTest(const link::DeviceStatus& state);
    bool buzzerTest();
    bool keyTest(const link::DeviceStatus& state);
    bool waitForKey(int& key);
    // result, after reporting failure when it is not 0.
    int reported(int result, const char* failure);
    int setBrightness(int level);
    int setBuzzerPeriod(int level);

    SelfTestPort& port_;
    SelfTestView& view_;
    const std::atomic<int>& closeForm_;
    bool gone_ = false;
    bool keyTestStarted_ = false;
    std::vector<bool> answered_;   // by key number
};

} // namespace vardo::selftest
