// The self test window against the virtual encoder on the virtual clock: the
// exact commands with their times, the key pictures, stopping, failures, and
// the main window exchanging on the same handle while the test runs.
#include "selftest/self_test.h"

#include "device/encoder.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"
#include "support/accessibility.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace vardo;
using link::GET_STATUS;
using link::SELF_TEST;
using link::SET_BUZZER_PERIOD;
using link::SET_LED_BRIGHTNESS;
using link::SOUND_BUZZER;

namespace {

// One command as the encoder received it: code, payload byte (-1 for none) and
// the time after the first command.
struct Step {
    int code;
    int value;
    std::uint64_t atMs;
    bool operator==(const Step&) const = default;
};

void PrintTo(const Step& s, std::ostream* os)
{
    *os << "{" << s.code << ", " << s.value << ", " << s.atMs << "}";
}

// What the window showed when the completion ended the encoder's self test.
struct Snapshot {
    bool taken = false;
    bool ledTicked = false, brightnessTicked = false, buzzerTicked = false;
    bool endEnabled = true;
    std::vector<int> lit;   // pictures with the light green face
};

const QColor kLightGreen(QStringLiteral("lightgreen"));

class SelfTestWindowTest : public ::testing::Test {
protected:
    std::shared_ptr<device::EncoderSlot> slot = std::make_shared<device::EncoderSlot>();
    void SetUp() override
    {
        sim::Bus::instance().reset();
        device::setPortLockFolderOverride("");   // no port locks: nothing else drives these encoders
    }

    void TearDown() override
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<self_test*>(w))
                delete w;
        if (encoder && listener)
            encoder->removeListener(listener);
        listener = 0;
        seenCommands = 0;
        onCommand = nullptr;
        slot->adopt(nullptr);
        encoder.reset();
        sim::Bus::instance().reset();
    }

    void attach(int mask, int layout, int colour = 0)
    {
        encoder = std::make_unique<sim::VirtualEncoder>();
        encoder->setReplyDelayMs(0);
        sim::EncoderSettings s = encoder->settings();
        s.optionsFitted = static_cast<std::uint8_t>(mask);
        s.keypadType = static_cast<std::uint8_t>(layout);
        s.ledBrightness = 5;
        s.buzzerPeriod = 3;
        s.ledColour = static_cast<std::uint8_t>(colour);
        encoder->setSettings(s);
        ASSERT_TRUE(slot->rescan());
        listener = encoder->addListener([this] { onEncoderChange(); });
    }

    // Keys pressed as soon as the encoder enters its self test (queued behind
    // the SELF_TEST reply).
    void pressOnStart(std::vector<int> keys)
    {
        std::lock_guard lock(mutex);
        keysToPress = std::move(keys);
    }

    // Runs on whichever thread talked to the encoder.
    void onEncoderChange()
    {
        const auto commands = encoder->receivedCommands();
        if (commands.empty() || commands.size() == seenCommands)
            return;
        seenCommands = commands.size();
        const sim::ReceivedCommand& last = commands.back();
        const int value = last.payload.empty() ? -1 : last.payload[0];
        if (onCommand)
            onCommand(last.code, value);
        if (last.code == SELF_TEST && value == 1) {
            std::vector<int> keys;
            {
                std::lock_guard lock(mutex);
                keys.swap(keysToPress);
            }
            for (int k : keys)
                encoder->pressKey(k);
        }
        // The completion runs on the worker: look at the window on its own thread.
        if (last.code == SELF_TEST && value == 2 && window) {
            if (QThread::currentThread() == window->thread())
                takeSnapshot();
            else
                QMetaObject::invokeMethod(window, [this] { takeSnapshot(); }, Qt::BlockingQueuedConnection);
        }
    }

    void takeSnapshot()
    {
        snapshot.taken = true;
        snapshot.ledTicked = window->findChild<QCheckBox*>("ledCheckBox")->isChecked();
        snapshot.brightnessTicked = window->findChild<QCheckBox*>("brightnessCheckBox")->isChecked();
        snapshot.buzzerTicked = window->findChild<QCheckBox*>("buzzerCheckBox")->isChecked();
        snapshot.endEnabled = window->findChild<QPushButton*>("endBtn")->isEnabled();
        for (int n = 1; n <= 16; ++n)
            if (picture(n)->palette().color(QPalette::Button) == kLightGreen)
                snapshot.lit.push_back(n);
    }

    QPointer<self_test> start()
    {
        window = new self_test(slot);
        window->show();
        // The worker reads the status first; the labels show it, or its failure is said.
        EXPECT_TRUE(QTest::qWaitFor([this] { return !window || !window->starting(); }, 10000));
        return window;
    }

    bool waitUntilClosed()
    {
        return QTest::qWaitFor([this] { return window.isNull(); }, 20000);
    }

    QPushButton* picture(int n) const
    {
        return window->findChild<QPushButton*>(QStringLiteral("button%1").arg(n));
    }
    std::string labelText(const char* name) const
    {
        return window->findChild<QLabel*>(name)->text().toStdString();
    }

    std::vector<Step> steps() const
    {
        std::vector<Step> out;
        const auto commands = encoder->receivedCommands();
        for (const auto& c : commands)
            out.push_back({c.code, c.payload.empty() ? -1 : c.payload[0], c.atMs - commands[0].atMs});
        return out;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingDialogs dialogs;
    platform::ScopedDialogs scopedDialogs{dialogs};
    std::unique_ptr<sim::VirtualEncoder> encoder;
    int listener = 0;
    std::mutex mutex;
    std::vector<int> keysToPress;
    std::size_t seenCommands = 0;
    std::function<void(int code, int value)> onCommand;
    QPointer<self_test> window;
    Snapshot snapshot;
};

const std::string kPrompt = "Press each key (within 10sec) on keypad... \r\n";

// The LED blinks four times, the levels 0-9 each follow their label update
// (80 ms), the buzzer steps 0-9 pause 0 ... 1350 ms, then the key test; the
// completion restores period and brightness 100 ms apart and ends the test.
TEST_F(SelfTestWindowTest, AllOptionsRunTheWholeSequenceWithItsTiming)
{
    attach(7, 0);
    pressOnStart({0, 1, 2, 3});
    start();
    ASSERT_TRUE(waitUntilClosed());

    std::vector<Step> expected = {{GET_STATUS, -1, 0}};
    for (int cycle = 0; cycle < 4; ++cycle) {
        expected.push_back({SET_LED_BRIGHTNESS, 0, 1000u * cycle});
        expected.push_back({SET_LED_BRIGHTNESS, 8, 1000u * cycle + 500});
    }
    expected.push_back({SET_LED_BRIGHTNESS, 0, 4000});
    for (int level = 0; level < 10; ++level)   // after the 80 ms tick and each 80 ms label update
        expected.push_back({SET_LED_BRIGHTNESS, level, 4160u + 580u * level});
    expected.push_back({SET_LED_BRIGHTNESS, 0, 9880});
    expected.push_back({SET_LED_BRIGHTNESS, 5, 9960});
    const std::uint64_t soundAt[10] = {10040, 10120, 10350, 10730, 11260,
                                       11940, 12770, 13750, 14880, 16160};
    for (int step = 0; step < 10; ++step)
        expected.push_back({SOUND_BUZZER, step, soundAt[step]});
    // Last step's 1350 ms pause, then the 80 ms tick.
    expected.push_back({SELF_TEST, 1, 17590});
    // 100 ms pause, then four keys 100 ms apart and the encoder's 255.
    expected.push_back({SET_BUZZER_PERIOD, 3, 18090});
    expected.push_back({SET_LED_BRIGHTNESS, 5, 18190});
    expected.push_back({SELF_TEST, 2, 18290});
    EXPECT_EQ(steps(), expected);

    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{kPrompt});
    ASSERT_TRUE(snapshot.taken);
    EXPECT_TRUE(snapshot.ledTicked);
    EXPECT_TRUE(snapshot.brightnessTicked);
    EXPECT_TRUE(snapshot.buzzerTicked);
    EXPECT_EQ(snapshot.lit, (std::vector<int>{1, 5, 9, 13}));
    EXPECT_FALSE(encoder->selfTestMode());
    EXPECT_EQ(encoder->ledBrightness(), 5);
    EXPECT_EQ(encoder->buzzerPeriod(), 3);
}

TEST_F(SelfTestWindowTest, NoOptionsGoStraightToTheKeyPrompt)
{
    attach(0, 0);
    pressOnStart({0, 1, 2, 3});
    QPointer<self_test> w = start();
    EXPECT_EQ(labelText("ledLevelLbl"), "NOT INSTALLED");
    EXPECT_EQ(labelText("buzzerPeriodLbl"), "NOT INSTALLED");
    EXPECT_EQ(labelText("ledColourLbl"), "RED LED");
    EXPECT_EQ(labelText("keypadLbl"), "4 WAY");
    ASSERT_TRUE(waitUntilClosed());

    const std::vector<Step> expected = {
        {GET_STATUS, -1, 0},          {SELF_TEST, 1, 0},    {SET_BUZZER_PERIOD, 3, 500},
        {SET_LED_BRIGHTNESS, 5, 600}, {SELF_TEST, 2, 700},
    };
    EXPECT_EQ(steps(), expected);
    EXPECT_FALSE(snapshot.ledTicked || snapshot.brightnessTicked || snapshot.buzzerTicked);
}

TEST_F(SelfTestWindowTest, LedOnlyBlinksFourTimesAndStaysOffUntilTheCompletion)
{
    attach(1, 0, 2);
    pressOnStart({0, 1, 2, 3});
    start();
    EXPECT_EQ(labelText("ledColourLbl"), "RED");
    EXPECT_EQ(labelText("ledLevelLbl"), "NOT INSTALLED");
    ASSERT_TRUE(waitUntilClosed());

    const std::vector<Step> expected = {
        {GET_STATUS, -1, 0},
        {SET_LED_BRIGHTNESS, 0, 0},    {SET_LED_BRIGHTNESS, 8, 500},
        {SET_LED_BRIGHTNESS, 0, 1000}, {SET_LED_BRIGHTNESS, 8, 1500},
        {SET_LED_BRIGHTNESS, 0, 2000}, {SET_LED_BRIGHTNESS, 8, 2500},
        {SET_LED_BRIGHTNESS, 0, 3000}, {SET_LED_BRIGHTNESS, 8, 3500},
        {SET_LED_BRIGHTNESS, 0, 4000}, {SELF_TEST, 1, 4080},
        {SET_BUZZER_PERIOD, 3, 4580},  {SET_LED_BRIGHTNESS, 5, 4680},
        {SELF_TEST, 2, 4780},
    };
    EXPECT_EQ(steps(), expected);
    EXPECT_TRUE(snapshot.ledTicked);
    EXPECT_FALSE(snapshot.brightnessTicked);
}

TEST_F(SelfTestWindowTest, LabelsShowTheStatusAndAColourWithoutNameReadsColourN)
{
    attach(7, 5, 1);
    start();
    EXPECT_EQ(labelText("ledColourLbl"), "GREEN");
    EXPECT_EQ(labelText("ledLevelLbl"), "5");
    EXPECT_EQ(labelText("buzzerPeriodLbl"), "3");
    EXPECT_EQ(labelText("keypadLbl"), "12 WAY");
    EXPECT_EQ(window->windowTitle().toStdString(), "Self Test");
    EXPECT_EQ(window->size(), QSize(978, 565));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(labelText("label3"), "SELF TEST");
    EXPECT_FALSE(window->findChild<QLabel*>("ledLbl")->isEnabled());
    EXPECT_DOUBLE_EQ(window->findChild<QLabel*>("ledLevelLbl")->font().pointSizeF(), 22.2);
    EXPECT_DOUBLE_EQ(window->findChild<QLabel*>("label3")->font().pointSizeF(), 24);
    EXPECT_EQ(window->findChild<QLabel*>("label3")->font().family().toStdString(),
              "Microsoft Sans Serif");
    delete window;

    TearDown();
    SetUp();
    attach(1, 8, 7);
    start();
    EXPECT_EQ(labelText("ledColourLbl"), "COLOUR 7");
    EXPECT_EQ(labelText("keypadLbl"), "16 WAY");
}

// Every control a screen reader meets has a name: check boxes, key pictures, Close.
TEST_F(SelfTestWindowTest, EveryControlHasAName)
{
    attach(7, 8);
    start();
    int controls = 0;
    EXPECT_EQ(testenv::unnamedControls(window, &controls).join(' ').toStdString(), "");
    EXPECT_EQ(controls, 20);
}

TEST_F(SelfTestWindowTest, EachPadTypeShowsItsPicturesAndKeyThreeLightsItsOwn)
{
    struct Case {
        int layout;
        std::vector<int> pictures;
        int keyThree;
    };
    const Case cases[] = {
        {1, {1, 5, 9, 13}, 13},
        {4, {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15}, 5},
        {7, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        attach(0, c.layout);
        pressOnStart({3, 255});
        start();
        std::vector<int> shown;
        for (int n = 1; n <= 16; ++n) {
            if (!picture(n)->isVisible()) {
                EXPECT_EQ(picture(n)->text(), QStringLiteral("button%1").arg(n));
                continue;
            }
            shown.push_back(n);
            EXPECT_EQ(picture(n)->text(), QString::number(shown.size()));
            EXPECT_FALSE(picture(n)->isEnabled());
        }
        EXPECT_EQ(shown, c.pictures);
        ASSERT_TRUE(waitUntilClosed());
        EXPECT_EQ(snapshot.lit, std::vector<int>{c.keyThree});
        snapshot = {};
        TearDown();
        SetUp();
    }
}

// Key numbers 16-254 light nothing and the test goes on; 255 ends it at once.
TEST_F(SelfTestWindowTest, KeyNumbersOutsideThePadLightNothingAnd255Ends)
{
    attach(0, 8);
    pressOnStart({16, 200, 254, 15, 255, 0});
    start();
    QString verdict;
    QObject::connect(window, &self_test::verdict, [&](const QString& text) { verdict = text; });
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_EQ(snapshot.lit, std::vector<int>{16});
    EXPECT_EQ(verdict, "Self test: key 16 answered; keys 1-15 did not answer");
    const auto s = steps();
    ASSERT_EQ(s.size(), 5u);
    // Four reports 100 ms apart after the 100 ms pause; the key after 255 is never taken.
    EXPECT_EQ(s[2], (Step{SET_BUZZER_PERIOD, 3, 500}));
}

TEST_F(SelfTestWindowTest, SilentKeypadEndsTheKeyTestAfterFiveSeconds)
{
    attach(0, 0);
    start();
    ASSERT_TRUE(waitUntilClosed());
    const auto s = steps();
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[1], (Step{SELF_TEST, 1, 0}));
    EXPECT_EQ(s[2], (Step{SET_BUZZER_PERIOD, 3, 5100}));
    EXPECT_EQ(s[4], (Step{SELF_TEST, 2, 5300}));
    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{kPrompt});
}

TEST_F(SelfTestWindowTest, KeypadTypeNineShowsNoPicturesAndStillRunsTheKeyTest)
{
    attach(0, 0);
    encoder->setKeypadTypeRaw(9);
    pressOnStart({0, 3, 255});
    start();
    for (int n = 1; n <= 16; ++n)
        EXPECT_FALSE(picture(n)->isVisible()) << n;
    EXPECT_EQ(labelText("keypadLbl"), "16 Way");
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_TRUE(snapshot.taken);
    EXPECT_TRUE(snapshot.lit.empty());
}

// Close during the buzzer test: the current step ends, nothing more is tested,
// and the completion still restores the encoder and ends its self test.
TEST_F(SelfTestWindowTest, CloseDuringTheBuzzerTestStopsAfterTheCurrentStep)
{
    attach(4, 8);
    onCommand = [this](int code, int value) {
        if (code == SOUND_BUZZER && value == 3)
            QMetaObject::invokeMethod(
                window->findChild<QPushButton*>("endBtn"), [this] {
                    window->findChild<QPushButton*>("endBtn")->click();
                },
                Qt::BlockingQueuedConnection);
    };
    start();
    ASSERT_TRUE(waitUntilClosed());

    const std::vector<Step> expected = {
        {GET_STATUS, -1, 0},      {SOUND_BUZZER, 0, 80},     {SOUND_BUZZER, 1, 160},
        {SOUND_BUZZER, 2, 390},   {SOUND_BUZZER, 3, 770},    {SET_BUZZER_PERIOD, 3, 770},
        {SET_LED_BRIGHTNESS, 5, 870}, {SELF_TEST, 2, 970},
    };
    EXPECT_EQ(steps(), expected);
    EXPECT_TRUE(dialogs.messages().empty());
    ASSERT_TRUE(snapshot.taken);
    EXPECT_FALSE(snapshot.buzzerTicked);
    EXPECT_FALSE(snapshot.endEnabled);
}

// Closing by the title bar while the test runs asks the worker to stop as
// Close does; the completion then closes the window.
TEST_F(SelfTestWindowTest, TitleBarCloseOrEscWhileRunningStopsLikeClose)
{
    const std::function<void(self_test*)> ways[] = {
        [](self_test* w) { w->close(); },
        [](self_test* w) { QTest::keyClick(w, Qt::Key_Escape); },
    };
    for (const auto& stop : ways) {
        attach(4, 8);
        onCommand = [this, &stop](int code, int value) {
            if (code == SOUND_BUZZER && value == 1)
                QMetaObject::invokeMethod(window, [this, &stop] { stop(window); },
                                          Qt::BlockingQueuedConnection);
        };
        start();
        ASSERT_TRUE(waitUntilClosed());
        const auto s = steps();
        ASSERT_EQ(s.size(), 6u);
        EXPECT_EQ(s[2], (Step{SOUND_BUZZER, 1, 160}));
        EXPECT_EQ(s[3], (Step{SET_BUZZER_PERIOD, 3, 160}));
        EXPECT_EQ(s[5], (Step{SELF_TEST, 2, 360}));
        EXPECT_FALSE(snapshot.endEnabled);
        TearDown();
        SetUp();
    }
}

// Unplugged midway: one message says so, with no box for each command that
// could no longer reach the encoder, and the verdict says why no key was tested.
TEST_F(SelfTestWindowTest, AnUnplugMidwayIsOneMessageAndTheVerdictSaysSo)
{
    attach(4, 8);
    onCommand = [this](int code, int value) {
        if (code == SOUND_BUZZER && value == 2)
            encoder->unplug();
    };
    QString verdict;
    start();
    QObject::connect(window, &self_test::verdict, [&](const QString& text) { verdict = text; });
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{"Vardo 710 Encoder not connected..\r\n"});
    EXPECT_EQ(verdict, "Self test stopped: the encoder went away before the key test");
}

TEST_F(SelfTestWindowTest, StatusFailureShowsItsMessageAndStartsNothing)
{
    attach(7, 8);
    encoder->injectFault({sim::EncoderFault::Refuse, true, GET_STATUS});
    QPointer<self_test> w = start();
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(dialogs.records()[0].caption, "Vardo USB Encoder");
    EXPECT_EQ(dialogs.records()[0].text, "Device status message error..\r\n");
    EXPECT_EQ(dialogs.records()[0].icon, platform::MessageIcon::Warning);
    EXPECT_FALSE(w->running());
    QTest::qWait(20);
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(labelText("ledLevelLbl"), "2");

    // The title-bar close ends the idle window and sends nothing.
    w->close();
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_EQ(steps().size(), 1u);

    // Without any encoder the same; the read is the worker's, not the constructor's.
    dialogs.clear();
    slot->adopt(nullptr);
    window = new self_test(slot);
    EXPECT_TRUE(window->starting());
    EXPECT_TRUE(QTest::qWaitFor([this] { return !window->starting(); }, 10000));
    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{"Device status message error..\r\n"});
    EXPECT_FALSE(window->running());
}

TEST_F(SelfTestWindowTest, FailuresInsideTheSequenceShowTheirMessagesAndStillComplete)
{
    attach(1, 0);
    bool armed = false;
    onCommand = [&](int code, int value) {
        // The first blink's "on" command is refused.
        if (code == SET_LED_BRIGHTNESS && value == 0 && !armed) {
            armed = true;
            encoder->injectFault({sim::EncoderFault::Refuse, false, SET_LED_BRIGHTNESS});
        }
    };
    start();
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{"Unable to set the LED Brightness..\r\n"});
    const std::vector<Step> expected = {
        {GET_STATUS, -1, 0},          {SET_LED_BRIGHTNESS, 0, 0}, {SET_LED_BRIGHTNESS, 8, 500},
        {SET_BUZZER_PERIOD, 3, 1000}, {SET_LED_BRIGHTNESS, 5, 1100}, {SELF_TEST, 2, 1200},
    };
    EXPECT_EQ(steps(), expected);

    // A refused start and end: both messages, and the window still closes.
    TearDown();
    SetUp();
    dialogs.clear();
    attach(0, 0);
    encoder->injectFault({sim::EncoderFault::Refuse, true, SELF_TEST});
    start();
    ASSERT_TRUE(waitUntilClosed());
    EXPECT_EQ(dialogs.messages(),
              (std::vector<std::string>{kPrompt, "Unable to START Self test..\r\n",
                                        "Unable to END Self test..\r\n"}));
}

// Deleting the window while its worker runs waits for the worker and still
// leaves the encoder restored and out of its self test.
TEST_F(SelfTestWindowTest, DeletingTheWindowWhileTheWorkerRunsIsSafe)
{
    attach(7, 8);
    onCommand = [this](int code, int value) {
        if (code == SOUND_BUZZER && value == 1)
            QMetaObject::invokeMethod(qApp, [this] { delete window; }, Qt::QueuedConnection);
    };
    start();
    ASSERT_TRUE(waitUntilClosed());
    const auto s = steps();
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(s[s.size() - 3].code, SET_BUZZER_PERIOD);
    EXPECT_EQ(s[s.size() - 2].code, SET_LED_BRIGHTNESS);
    EXPECT_EQ(s.back(), (Step{SELF_TEST, 2, s.back().atMs}));
    for (const Step& step : s)
        EXPECT_NE(step, (Step{SELF_TEST, 1, step.atMs}));
    EXPECT_FALSE(encoder->selfTestMode());
    EXPECT_EQ(encoder->ledBrightness(), 5);
}

// The main window reads the status over and over on another thread while the
// self test exchanges on the same handle: every reply reaches its own sender.
TEST_F(SelfTestWindowTest, MainWindowExchangesWhileTheSelfTestRuns)
{
    attach(7, 8);
    pressOnStart({0, 5, 10, 15, 255});
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, failures{0}, wrong{0};
    // Bounded, so the encoder's command log (10000 entries) keeps the self test's own.
    std::thread mainWindow([&] {
        while (!stop && reads < 3000) {
            link::DeviceStatus status;
            if (slot->with([&](device::Encoder& e) { return e.readStatus(status); }) != device::Result::Ok)
                ++failures;
            else if (status.keypadType != 8 || status.optionsFitted != 7)
                ++wrong;
            ++reads;
            std::this_thread::yield();
        }
    });
    // The main window falls quiet at the key prompt, so that no command of its
    // own clears the key reports waiting for the self test.
    dialogs.onMessage([&](const platform::DialogRecord& r) {
        if (r.text == kPrompt && !stop.exchange(true))
            mainWindow.join();
    });
    start();
    const bool closed = waitUntilClosed();
    if (!stop.exchange(true))
        mainWindow.join();
    ASSERT_TRUE(closed);

    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(dialogs.messages() == std::vector<std::string>{kPrompt});
    EXPECT_EQ(snapshot.lit, (std::vector<int>{1, 6, 11, 16}));
    // The self test's own commands all arrived, in order, and were accepted.
    std::vector<std::pair<int, int>> own;
    for (const auto& c : encoder->receivedCommands()) {
        EXPECT_TRUE(c.accepted);
        if (c.code != GET_STATUS)
            own.emplace_back(c.code, c.payload.empty() ? -1 : c.payload[0]);
    }
    ASSERT_EQ(own.size(), 8u + 1 + 10 + 2 + 10 + 1 + 3);
    EXPECT_EQ(own.front(), std::make_pair(int(SET_LED_BRIGHTNESS), 0));
    EXPECT_EQ(own[own.size() - 4], std::make_pair(int(SELF_TEST), 1));
    EXPECT_EQ(own.back(), std::make_pair(int(SELF_TEST), 2));
}

} // namespace
