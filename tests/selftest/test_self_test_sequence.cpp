// The self test's sequence with a scripted port and view: key numbers to
// pictures, colour names, how failures and the stop request end each step.
#include "selftest/self_test_sequence.h"

#include "platform/clock.h"
#include "platform/recording_dialogs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <vector>

using namespace vardo;
using namespace vardo::selftest;

namespace {

TEST(SelfTestPictures, KeyNumbersLightThePictureOfTheirPad)
{
    const std::vector<int> four = {1, 5, 9, 13};
    const std::vector<int> twelve = {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15};
    for (int type = 0; type <= 8; ++type) {
        std::vector<int> expected(16);
        for (int i = 0; i < 16; ++i)
            expected[static_cast<std::size_t>(i)] = i + 1;
        if (type <= 2)
            expected = four;
        else if (type <= 5)
            expected = twelve;
        EXPECT_EQ(keypadPictures(type), expected) << type;
        for (std::size_t key = 0; key < expected.size(); ++key)
            EXPECT_EQ(pictureForKey(type, static_cast<int>(key)), expected[key]);
        EXPECT_EQ(pictureForKey(type, static_cast<int>(expected.size())), std::nullopt);
        EXPECT_EQ(pictureForKey(type, 255), std::nullopt);
    }
    EXPECT_EQ(pictureForKey(0, 3), 13);
    EXPECT_EQ(pictureForKey(3, 3), 5);
    EXPECT_EQ(pictureForKey(6, 3), 4);
    EXPECT_EQ(pictureForKey(5, 9), 13);
    EXPECT_EQ(pictureForKey(8, 15), 16);
    for (int type : {9, 10, 255, -1}) {
        EXPECT_TRUE(keypadPictures(type).empty());
        EXPECT_EQ(pictureForKey(type, 0), std::nullopt);
        EXPECT_EQ(keypadText(type), std::nullopt);
    }
    EXPECT_EQ(keypadText(2), "4 WAY");
    EXPECT_EQ(keypadText(3), "12 WAY");
    EXPECT_EQ(keypadText(8), "16 WAY");
}

TEST(SelfTestVerdict, NamesTheKeysThatAnsweredAndThoseThatDidNot)
{
    const auto keys = [](int count, std::initializer_list<int> answered) {
        std::vector<bool> flags(16, false);
        for (int k : answered)
            flags[static_cast<std::size_t>(k)] = true;
        return keyVerdict(count, flags);
    };
    const struct {
        std::string got, expected;
    } rows[] = {
        {keys(16, {0, 1, 2}), "Self test: keys 1-3 answered; keys 4-16 did not answer"},
        {keys(16, {}), "Self test: keys 1-16 did not answer"},
        {keys(4, {0, 1, 2, 3}), "Self test: all 4 keys answered"},
        {keys(12, {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11}), "Self test: keys 1-2, 4-12 answered; key 3 did not answer"},
        {keys(4, {1, 3, 9}), "Self test: keys 2, 4 answered; keys 1, 3 did not answer"},
        {keys(0, {}), "Self test: this keypad type has no keys to test"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.got, r.expected);
}

TEST(SelfTestPictures, ColourNames)
{
    EXPECT_EQ(colourName(0), "WHITE");
    EXPECT_EQ(colourName(1), "GREEN");
    EXPECT_EQ(colourName(2), "RED");
    EXPECT_EQ(colourName(7), "COLOUR 7");
    EXPECT_EQ(colourName(255), "COLOUR 255");
}

// Plays the device: results per command, key reports from a queue.
class ScriptedPort final : public SelfTestPort {
public:
    int GetDeviceStatusMessage(link::DeviceStatus&) override { return 0; }
    int ledBrightness(int level) override { return log("B", level); }
    int buzzerPeriod(int level) override { return log("P", level); }
    int statusBuzzer(int level) override { return log("S", level); }
    int selfTest(int start_end) override { return log("T", start_end); }
    int selfTestKeyPressed(int& key_pressed, int timeoutMs) override
    {
        ++keyWaits;
        waitedMs += timeoutMs;
        if (onKeyWait)
            onKeyWait();
        if (keys.empty())
            return -6;
        const int r = keys.front().first;
        key_pressed = keys.front().second;
        keys.pop_front();
        return r;
    }

    int log(const std::string& what, int value)
    {
        calls.push_back(what + std::to_string(value));
        if (onCall)
            onCall(calls.back());
        return failing == calls.back() ? -13 : 0;
    }

    std::vector<std::string> calls;
    std::string failing;   // the one call that fails, e.g. "B8"
    std::deque<std::pair<int, int>> keys;   // (result, key)
    int keyWaits = 0;
    int waitedMs = 0;
    std::function<void(const std::string&)> onCall;
    std::function<void()> onKeyWait;
};

class NullView final : public SelfTestView {
public:
    void AddTextToObject(TextTarget, const std::string& text) override { texts.push_back(text); }
    void AmendCheckBox(CheckTarget target, bool) override { ticks.push_back(target); }
    void highlightRow(TestRow) override {}
    void lightPicture(int picture) override { lit.push_back(picture); }
    // As the window: a box through the dialogs seam.
    void showMessage(const std::string& text) override
    {
        platform::dialogs().message(messages::kCaption, text + messages::kLineBreak,
                                    platform::MessageIcon::Warning);
    }
    std::vector<std::string> texts;
    std::vector<CheckTarget> ticks;
    std::vector<int> lit;
};

class SequenceTest : public ::testing::Test {
protected:
    SelfTestEnd run(int mask, int type = 8)
    {
        link::DeviceStatus state;
        state.optionsFitted = mask;
        state.keypadType = type;
        state.ledBrightness = 4;
        state.buzzerPeriod = 2;
        SelfTestSequence sequence(port, view, closeForm);
        const SelfTestEnd end = sequence.run(state);
        sequence.complete(state);
        return end;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingDialogs dialogs;
    platform::ScopedDialogs scopedDialogs{dialogs};
    ScriptedPort port;
    NullView view;
    std::atomic<int> closeForm{0};
};

TEST_F(SequenceTest, FailedBlinkStopsAfterItsCycleAndCompletes)
{
    port.failing = "B8";
    EXPECT_EQ(run(7), SelfTestEnd::Stopped);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"B0", "B8", "P2", "B4", "T2"}));
    EXPECT_TRUE(view.ticks.empty());
}

TEST_F(SequenceTest, StartFailureShowsItsMessageAndWaitsForNoKey)
{
    port.failing = "T1";
    EXPECT_EQ(run(0), SelfTestEnd::Stopped);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"T1", "P2", "B4", "T2"}));
    EXPECT_EQ(port.keyWaits, 0);
    EXPECT_EQ(dialogs.messages(), (std::vector<std::string>{
                                      "Press each key (within 10sec) on keypad... \r\n",
                                      "Unable to START Self test..\r\n"}));
}

TEST_F(SequenceTest, EndFailureShowsItsMessage)
{
    port.failing = "T2";
    port.keys = {{0, 255}};
    EXPECT_EQ(run(0), SelfTestEnd::Finished);
    EXPECT_EQ(dialogs.messages().back(), "Unable to END Self test..\r\n");
}

// Quiet slices add up to the full 5000 ms wait; any other failure ends the test at once.
TEST_F(SequenceTest, KeyWaitRunsOutAfterFiveSecondsOrOnAFailedReceive)
{
    EXPECT_EQ(run(0), SelfTestEnd::Stopped);
    EXPECT_EQ(port.waitedMs, 5000);
    EXPECT_EQ(port.keyWaits, 5000 / kKeyWaitSliceMs);

    port.calls.clear();
    port.keyWaits = 0;
    port.keys = {{0, 1}, {-6, 0}, {0, 2}, {-13, 0}, {0, 3}};
    EXPECT_EQ(run(0, 8), SelfTestEnd::Stopped);
    EXPECT_EQ(view.lit, (std::vector<int>{2, 3}));
    EXPECT_EQ(port.keyWaits, 4);
}

TEST_F(SequenceTest, StopRequestIsSeenBetweenKeyWaitSlices)
{
    port.onKeyWait = [&] {
        if (port.keyWaits == 3)
            closeForm = 1;
    };
    EXPECT_EQ(run(0), SelfTestEnd::Stopped);
    EXPECT_EQ(port.keyWaits, 3);
    EXPECT_EQ(port.calls.back(), "T2");
}

TEST_F(SequenceTest, StopRequestDuringBrightnessEndsAfterThatLevel)
{
    port.onCall = [&](const std::string& call) {
        if (call == "B3")
            closeForm = 1;
    };
    EXPECT_EQ(run(2), SelfTestEnd::Stopped);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"B0", "B1", "B2", "B3", "P2", "B4", "T2"}));
    EXPECT_EQ(view.texts, (std::vector<std::string>{"0", "1", "2", "3"}));
}

} // namespace
