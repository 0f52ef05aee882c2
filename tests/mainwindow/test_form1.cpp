// The main window against the virtual encoder: start-up states, the status
// panel, the five settings boxes, save, the two resets, the configuration file
// menus, the windows it opens and the exit paths.
#include "config/config_test_env.h"
#include "config/utility_config.h"
#include "config/inifile.h"
#include "firmware/firmware_upgrade.h"
#include "device/encoder_choice.h"
#include "device/port_lock.h"
#include "link/encoder_commands.h"
#include "link/messages.h"
#include "loader/bsl430.h"
#include "mainwindow/about.h"
#include "codetable/code_table_editor_window.h"
#include "mainwindow/form1.h"
#include "selftest/self_test.h"
#include "sim/virtual_device.h"
#include "sim/virtual_encoder.h"
#include "sim/virtual_loader.h"
#include "support/accessibility.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QWheelEvent>

#include <gmock/gmock.h>

#include <filesystem>

using namespace vardo;
using testenv::readFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using DR = platform::DialogRecord;

namespace {

const QString kNoneLine1 = QStringLiteral(
    "Device Connected   -    None                                Firmware Version        -   None");
const QString kNoneLine2 = QStringLiteral(
    "Keypad Selected     -    None                                Code Table Loaded     -   None");

QString presentLine1(const QString& model, const QString& version)
{
    return QStringLiteral("Device Connected   -    ") + model
        + QStringLiteral("       Firmware Version        -   ") + version;
}

QString presentLine2(const QString& layoutText)
{
    return QStringLiteral("Keypad Selected     -    ") + layoutText.left(4)
        + QStringLiteral("                                Code Table Loaded     -   ") + layoutText;
}

class MainWindow : public testenv::Environment {
protected:
    void SetUp() override
    {
        Environment::SetUp();
        window = std::make_unique<Form1>();
        window->setApplicationEnder([this] { ++ended; });
    }

    void TearDown() override
    {
        window.reset();
        Environment::TearDown();
        encoder.reset();
    }

    // An encoder on the bus with these settings in force and as power-up defaults.
    sim::VirtualEncoder& plugEncoder(int options = 7, int layout = 0)
    {
        sim::VirtualEncoderConfig config;
        config.firmwareVersion = "02.10B";
        config.factorySettings.optionsFitted = static_cast<std::uint8_t>(options);
        config.factorySettings.keypadType = static_cast<std::uint8_t>(layout);
        encoder.reset();   // one encoder on the bus at a time
        encoder = std::make_unique<sim::VirtualEncoder>(config);
        return *encoder;
    }

    void load()
    {
        window->onLoad();
        settle();
        if (encoder)
            encoder->clearReceivedCommands();
        dialogs.clear();
    }

    template <typename T = QWidget>
    T* w(const char* name) const
    {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QComboBox* box(const char* name) const { return w<QComboBox>(name); }
    QStringList panelLines() const { return w<QTextEdit>("richTextBox1")->toPlainText().split('\n'); }

    // Chooses item `index` in a box as the operator does (keyboard commit).
    void choose(QComboBox* b, int index)
    {
        b->setCurrentIndex(index);
        emit b->activated(index);
        settle();
    }

    // The handlers (and the editors' Apply) return at once; the workers'
    // exchanges end and are shown.
    // The upgrade windows' preparations (status read, backup, ENTER_BSL) have ended on their workers.
    void settleUpgrade()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] {
            for (QWidget* w : window->openWindows())
                if (auto* f = qobject_cast<firmware_upgrade*>(w); f && f->preparing())
                    return false;
            return true;
        }, 10000));
    }
    void settle()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] {
            for (auto* editor : window->findChildren<codetable::CodeTableEditorWindow*>())
                if (editor->busy())
                    return false;
            return !window->busy();
        }, 10000));
    }

    std::vector<std::uint8_t> commandCodes() const
    {
        std::vector<std::uint8_t> out;
        for (const auto& c : encoder->receivedCommands())
            out.push_back(c.code);
        return out;
    }

    // Names of the controls that are enabled (menus aside).
    std::vector<std::string> enabledControls() const
    {
        std::vector<std::string> out;
        for (const char* name : {"button11", "keypadTypeCbox", "ledBrightnessCbox", "ledColourCbox",
                                 "buzzerCbox", "buzzerPeriodCbox", "button2", "button1", "button3",
                                 "button8", "btnLoadFirmware", "button9", "button10"})
            if (w(name)->isEnabled())
                out.emplace_back(name);
        return out;
    }

    // Customise Code Table on the 16-key layout, key 1 given 0x2C: the editor, not applied yet.
    codetable::CodeTableEditorWindow* editKeyOne()
    {
        window->onCustomiseCodeTable();
        settle();
        auto* editor = window->findChild<codetable::CodeTableEditorWindow*>("My16way_layout");
        if (!editor)
            return nullptr;
        editor->findChild<QPushButton*>("key1Btn")->click();
        auto* codes = editor->findChild<QComboBox*>("selectCodeCbox");
        codes->setCurrentIndex(0x2C);
        emit codes->activated(0x2C);
        return editor;
    }

    std::unique_ptr<sim::VirtualEncoder> encoder;
    std::unique_ptr<Form1> window;
    int ended = 0;
};

// ---- layout of the window -------------------------------------------------------

TEST_F(MainWindow, ControlsSitWhereTheyWereDesigned)
{
    EXPECT_EQ(window->windowTitle(), "USB Encoder Configuration Utility");
    EXPECT_EQ(window->minimumSize(), QSize(891, 500));
    EXPECT_EQ(window->maximumSize(), QSize(891, 500));
    struct Place {
        const char* name;
        QRect rect;
        QString text;
        double points;
    };
    const Place places[] = {
        {"label1", {179, 23, 530, 37}, "USB Encoder Configuration Utility", 24},
        {"button11", {27, 82, 109, 67}, "Scan For Device", 18},
        {"richTextBox1", {158, 82, 680, 68}, "", 12},
        {"keypadTypeCbox", {27, 173, 207, 28}, "", 12},
        {"ledBrightnessCbox", {330, 173, 207, 28}, "", 12},
        {"ledColourCbox", {632, 173, 207, 28}, "", 12},
        {"buzzerCbox", {27, 245, 207, 28}, "", 12},
        {"buzzerPeriodCbox", {330, 245, 207, 28}, "", 12},
        {"button2", {632, 231, 206, 50}, "Test Encoder", 13.8},
        {"button1", {27, 318, 206, 50}, "Customise Code Table", 13.8},
        {"button3", {333, 314, 203, 58}, "Reset From Configuration File", 13.8},
        {"button8", {632, 318, 206, 50}, "Save Changes", 13.8},
        {"btnLoadFirmware", {27, 398, 206, 67}, "Update Encoder Firmware", 13.8},
        {"button9", {330, 398, 206, 67}, "Reset To Factory Default", 13.8},
        {"button10", {632, 398, 206, 67}, "Exit", 13.8},
        {"menuStrip1", {0, 0, 891, 24}, "", 0},
        {"statusStrip1", {0, 478, 891, 22}, "", 0},
    };
    for (const Place& p : places) {
        QWidget* c = w(p.name);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->geometry(), p.rect) << p.name;
        if (auto* b = qobject_cast<QPushButton*>(c)) {
            EXPECT_EQ(b->text(), p.text) << p.name;
        }
        if (auto* l = qobject_cast<QLabel*>(c)) {
            EXPECT_EQ(l->text(), p.text) << p.name;
        }
        if (p.points > 0) {
            EXPECT_DOUBLE_EQ(c->font().pointSizeF(), p.points) << p.name;
            EXPECT_EQ(c->font().family(), "Microsoft Sans Serif") << p.name;
        }
    }
    EXPECT_TRUE(w("label1")->font().bold());

    auto* panel = w<QTextEdit>("richTextBox1");
    EXPECT_TRUE(panel->isReadOnly());
    EXPECT_EQ(panel->lineWrapMode(), QTextEdit::NoWrap);
    EXPECT_EQ(panel->palette().color(QPalette::Base), QColor(192, 255, 255));
    EXPECT_EQ(panel->palette().color(QPalette::Text), QColor(105, 105, 105));
    EXPECT_FALSE(panel->focusPolicy() & Qt::TabFocus);
}

TEST_F(MainWindow, BoxesHoldTheirItemsAndMenusTheirEntries)
{
    EXPECT_EQ(box("keypadTypeCbox")->count(), 9);
    EXPECT_EQ(box("keypadTypeCbox")->itemText(0), "4W    Function Key Table");
    EXPECT_EQ(box("keypadTypeCbox")->itemText(5), "12W  Customised Table");
    EXPECT_EQ(box("ledBrightnessCbox")->count(), 10);
    EXPECT_EQ(box("ledBrightnessCbox")->itemText(9), "LED Brightness - 9");
    EXPECT_EQ(box("ledColourCbox")->count(), 1);
    EXPECT_EQ(box("ledColourCbox")->itemText(0), "LED Colour - White");
    EXPECT_EQ(box("buzzerCbox")->itemText(1), "Buzzer - On");
    EXPECT_EQ(box("buzzerPeriodCbox")->itemText(0), "Buzzer Period -0");
    EXPECT_EQ(box("buzzerPeriodCbox")->itemText(9), "Buzzer Period -9");

    auto* file = w<QMenu>("helpToolStripMenuItem");
    auto* help = w<QMenu>("helpToolStripMenuItem1");
    ASSERT_TRUE(file && help);
    // The texts as they were, with a mnemonic each.
    EXPECT_EQ(file->title(), "&File");
    EXPECT_EQ(help->title(), "&Help");
    QStringList fileItems;
    for (QAction* a : file->actions())
        fileItems << a->objectName() + "=" + a->text();
    EXPECT_EQ(fileItems, QStringList({"aboutVardoUSBEncoderConfiguratorToolStripMenuItem=&Import Cfg File",
                                      "exitToolStripMenuItem=&Export Cfg File",
                                      "exitToolStripMenuItem1=E&xit"}));
    ASSERT_EQ(help->actions().size(), 1);
    EXPECT_EQ(help->actions()[0]->text(), "&About Keypad Configuration Utility");
}

TEST_F(MainWindow, BeforeLoadingOnlyTheAlwaysAvailableControlsWork)
{
    EXPECT_THAT(enabledControls(), ElementsAre("button11", "button3", "btnLoadFirmware", "button10"));
    EXPECT_EQ(w<QTextEdit>("richTextBox1")->toPlainText(), "");
    EXPECT_EQ(window->deviceStatus.optionsFitted, 0);
}

// ---- start-up states --------------------------------------------------------------

// An encoder whose node this user may not open: the message as it stands, and a
// line that names the udev rule.
TEST_F(MainWindow, EncoderWithoutPermissionNamesTheUdevRule)
{
    plugEncoder().setOpenable(false);
    window->onLoad();
    settle();
    EXPECT_THAT(dialogs.messages(),
                ElementsAre("Vardo 710 Encoder not connected..\r\n"
                            "The encoder is on the USB bus, but this user has no permission to "
                            "open it.\r\nInstall the udev rule "
                            "/usr/lib/udev/rules.d/70-vardo-encoder.rules and plug the encoder in "
                            "again.\r\n"));
    EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));

    dialogs.clear();
    encoder->setOpenable(true);
    window->onScanForDevice();
    settle();
    EXPECT_THAT(dialogs.messages(), IsEmpty());
    EXPECT_NE(window->encoder()->get(), nullptr);
}

TEST_F(MainWindow, NoEncoderAtStart)
{
    window->onLoad();
    settle();
    EXPECT_EQ(w<QStatusBar>("statusStrip1")->currentMessage(),
              "No encoder: plug it in, install the udev rule /usr/lib/udev/rules.d/70-vardo-encoder.rules (by "
              "hand: copy it to /etc/udev/rules.d), then press Scan For Device.");
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, DR::Kind::Message);
    EXPECT_EQ(records[0].caption, "Vardo USB Encoder");
    // The box comes before the window, so it says what to do once the window is there.
    EXPECT_EQ(records[0].text, "Vardo 710 Encoder not connected..\r\n"
                               "The main window opens next, without an encoder: plug it in, install the udev "
                               "rule /usr/lib/udev/rules.d/70-vardo-encoder.rules (by hand: copy it to "
                               "/etc/udev/rules.d), then press Scan For Device.\r\n");
    EXPECT_EQ(records[0].icon, platform::MessageIcon::Warning);

    struct Placeholder {
        const char* name;
        const char* text;
    };
    for (const Placeholder& p : {Placeholder{"keypadTypeCbox", "Keypad - Layout"},
                                 Placeholder{"ledBrightnessCbox", "LED Brightness"},
                                 Placeholder{"ledColourCbox", "LED Colour"},
                                 Placeholder{"buzzerCbox", "Buzzer"},
                                 Placeholder{"buzzerPeriodCbox", "Buzzer Period"}}) {
        EXPECT_EQ(box(p.name)->currentIndex(), -1) << p.name;
        EXPECT_EQ(box(p.name)->placeholderText(), p.text) << p.name;
    }
    EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));
    EXPECT_EQ(window->configArray[0], kNoneLine1);
    EXPECT_THAT(enabledControls(), ElementsAre("button11", "btnLoadFirmware", "button10"));
    EXPECT_TRUE(w("menuStrip1")->isEnabled());
    // The configuration file was set up before the encoder was looked for.
    EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
}

TEST_F(MainWindow, MaskSevenIsThe710iWithEverythingEnabled)
{
    plugEncoder(7, 0);
    load();
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_EQ(panelLines(), QStringList({presentLine1("Vardo 710i Encoder", "02.10B"),
                                         presentLine2("4W    Function Key Table")}));
    EXPECT_EQ(enabledControls().size(), 13u);
    EXPECT_EQ(box("ledBrightnessCbox")->currentText(), "LED Brightness - 5");
    EXPECT_EQ(box("buzzerCbox")->currentText(), "Buzzer - On");
    EXPECT_EQ(box("buzzerPeriodCbox")->currentText(), "Buzzer Period -1");
    EXPECT_EQ(box("ledColourCbox")->currentText(), "LED Colour - White");
    EXPECT_EQ(window->deviceStatus.firmwareVersion, "02.10B");
}

TEST_F(MainWindow, MasksDecideWhichBoxesWork)
{
    struct Case {
        int mask;
        bool brightness, colour, buzzer;
    };
    for (const Case& c : {Case{6, true, false, true}, Case{3, true, false, false},
                          Case{5, false, true, true}, Case{1, false, false, false},
                          Case{0, false, false, false}}) {
        plugEncoder(c.mask);
        load();
        EXPECT_EQ(box("ledBrightnessCbox")->isEnabled(), c.brightness) << c.mask;
        EXPECT_EQ(box("ledColourCbox")->isEnabled(), c.colour) << c.mask;
        EXPECT_EQ(box("buzzerCbox")->isEnabled(), c.buzzer) << c.mask;
        EXPECT_EQ(box("buzzerPeriodCbox")->isEnabled(), c.buzzer) << c.mask;
        for (const char* always : {"keypadTypeCbox", "button1", "button2", "button3", "button8", "button9"})
            EXPECT_TRUE(w(always)->isEnabled()) << always << " mask " << c.mask;
        EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710 Encoder", "02.10B")) << c.mask;
    }
}

TEST_F(MainWindow, PanelNamesTheLayout)
{
    plugEncoder(7, 3);
    load();
    EXPECT_EQ(panelLines()[1],
              "Keypad Selected     -    12W                                 Code Table Loaded     -   "
              "12W  Telephone Table");
    encoder->setKeypadTypeRaw(8);
    window->onScanForDevice();
    settle();
    EXPECT_EQ(panelLines()[1],
              "Keypad Selected     -    16W                                 Code Table Loaded     -   "
              "16W  Customised Table");
    EXPECT_EQ(window->configArray[1], panelLines()[1]);
}

TEST_F(MainWindow, StatusValuesWithoutAnItemShowThePlaceholder)
{
    plugEncoder(7, 0);
    sim::EncoderSettings s = encoder->settings();
    s.ledColour = 2;
    encoder->setSettings(s);
    encoder->setKeypadTypeRaw(12);
    load();
    EXPECT_EQ(box("ledColourCbox")->currentIndex(), -1);
    EXPECT_EQ(box("keypadTypeCbox")->currentIndex(), -1);
    EXPECT_EQ(box("ledBrightnessCbox")->currentIndex(), 5);
    EXPECT_EQ(window->deviceStatus.keypadType, 12);
    EXPECT_EQ(panelLines()[1], presentLine2(""));
}

TEST_F(MainWindow, ScanFindsAnEncoderPluggedInLater)
{
    load();
    EXPECT_EQ(panelLines()[0], kNoneLine1);
    plugEncoder(6, 7);
    window->onScanForDevice();
    settle();
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_EQ(panelLines(), QStringList({presentLine1("Vardo 710 Encoder", "02.10B"),
                                         presentLine2("16W  Calculator Table")}));
    encoder->unplug();
    window->onScanForDevice();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Vardo 710 Encoder not connected..\r\n"));
    EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));
    // The mask is not preset on a scan: the last one reported stays.
    EXPECT_EQ(window->deviceStatus.optionsFitted, 6);
}

TEST_F(MainWindow, WithSeveralEncodersTheFileMenuChoosesTheOneServed)
{
    struct ForgetChoice {
        ~ForgetChoice() { device::chooseEncoderPort(""); }
    } forget;
    plugEncoder();
    sim::VirtualEncoderConfig config;
    config.port = "sim:1-2";
    config.serial = L"VE710-000002";
    config.firmwareVersion = "03.00C";
    auto second = std::make_unique<sim::VirtualEncoder>(config);
    load();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "02.10B"));

    auto* file = w<QMenu>("helpToolStripMenuItem");
    emit file->aboutToShow();
    auto* choices = window->findChild<QMenu*>(QStringLiteral("encoderChoiceMenu"));
    ASSERT_NE(choices, nullptr);
    EXPECT_EQ(file->actions().indexOf(choices->menuAction()), 2);  // just above Exit
    QStringList items;
    for (QAction* a : choices->actions())
        items << a->text() + (a->isChecked() ? "*" : "");
    EXPECT_EQ(items, QStringList({"1-1   VE710-000001*", "1-2   VE710-000002"}));
    EXPECT_EQ(w<QLabel>("encoderIdentityLbl")->text(), "Encoder 1 of 2: USB port 1-1, serial VE710-000001");
    choices->actions()[1]->trigger();
    settle();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "03.00C"));
    EXPECT_EQ(w<QLabel>("encoderIdentityLbl")->text(), "Encoder 2 of 2: USB port 1-2, serial VE710-000002");
    window->onScanForDevice();   // a later scan keeps to the chosen port
    settle();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "03.00C"));
    EXPECT_THAT(dialogs.records(), IsEmpty());

    // One encoder: the menu is as it always was, and that one is served.
    second.reset();
    emit file->aboutToShow();
    EXPECT_EQ(window->findChild<QMenu*>(QStringLiteral("encoderChoiceMenu")), nullptr);
    EXPECT_EQ(file->actions().size(), 3);
    window->onScanForDevice();
    settle();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "02.10B"));
}

// ---- settings boxes ----------------------------------------------------------------

struct BoxCase {
    const char* name;
    std::uint8_t command;
    int choice;
    int payload;
    int link::DeviceStatus::*field;
    const char* failure;
};

const BoxCase kBoxes[] = {
    {"ledBrightnessCbox", link::SET_LED_BRIGHTNESS, 8, 8, &link::DeviceStatus::ledBrightness,
     "Unable to set the LED Brightness..\r\n"},
    {"ledColourCbox", link::SET_LED_COLOUR, 0, 0, &link::DeviceStatus::ledColour,
     "Unable to set LED colour..\r\n"},
    {"buzzerCbox", link::SET_BUZZER, 0, 0, &link::DeviceStatus::buzzer,
     "Unable to set Buzzer On/Off..\r\n"},
    {"buzzerPeriodCbox", link::SET_BUZZER_PERIOD, 4, 5, &link::DeviceStatus::buzzerPeriod,
     "Unable to set Buzzer Period..\r\n"},
    {"keypadTypeCbox", link::SET_KEYPAD_TYPE, 4, 4, &link::DeviceStatus::keypadType,
     "Unable to set Keypad Type..\r\n"},
};

TEST_F(MainWindow, EachBoxSendsItsCommandAndStoresTheChoice)
{
    plugEncoder(7, 0);
    sim::EncoderSettings s = encoder->settings();
    s.ledColour = 1;   // so that choosing White is a change
    encoder->setSettings(s);
    load();
    for (const BoxCase& c : kBoxes) {
        encoder->clearReceivedCommands();
        choose(box(c.name), c.choice);
        const auto cmds = encoder->receivedCommands();
        ASSERT_EQ(cmds.size(), 1u) << c.name;
        EXPECT_EQ(cmds[0].code, c.command) << c.name;
        EXPECT_THAT(cmds[0].payload, ElementsAre(c.payload)) << c.name;
        EXPECT_EQ(window->deviceStatus.*(c.field), c.choice) << c.name;
        EXPECT_EQ(box(c.name)->currentIndex(), c.choice) << c.name;
    }
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_EQ(encoder->buzzerPeriod(), 5);
    EXPECT_EQ(encoder->ledBrightness(), 8);
}

TEST_F(MainWindow, ARefusedChoiceRevertsWithoutSendingAgain)
{
    plugEncoder(7, 1);
    load();
    for (const BoxCase& c : kBoxes) {
        const int before = window->deviceStatus.*(c.field);
        const int other = c.choice == before ? (c.choice + 1) % box(c.name)->count() : c.choice;
        encoder->clearReceivedCommands();
        encoder->injectFault({sim::EncoderFault::Refuse, false, c.command});
        dialogs.clear();
        choose(box(c.name), other);
        EXPECT_THAT(dialogs.messages(), ElementsAre(c.failure));
        EXPECT_EQ(dialogs.records()[0].caption, "Vardo USB Encoder");
        EXPECT_EQ(commandCodes().size(), 1u) << c.name;
        EXPECT_EQ(window->deviceStatus.*(c.field), before) << c.name;
        EXPECT_EQ(box(c.name)->currentIndex(), before) << c.name;
    }
    EXPECT_EQ(panelLines()[1], presentLine2("4W    Arrow Key Table"));
}

// An encoder unplugged before the window heard of it: whatever the operator
// does next says once that it is not connected, and the window shows none.
TEST_F(MainWindow, AnActionOnAnUnpluggedEncoderSaysItIsNotConnectedOnce)
{
    const std::pair<const char*, std::function<void()>> actions[] = {
        {"brightness box", [this] { choose(box("ledBrightnessCbox"), 2); }},
        {"layout box", [this] { choose(box("keypadTypeCbox"), 2); }},
        {"Save Changes", [this] { window->onSaveChanges(); }},
        {"Customise Code Table", [this] { window->onCustomiseCodeTable(); }},
        {"Reset From Configuration File", [this] { window->onResetFromConfigFile(); }},
    };
    for (const auto& [name, act] : actions) {
        SCOPED_TRACE(name);
        plugEncoder(7, 0);
        load();
        encoder->unplug();
        act();
        settle();
        EXPECT_THAT(dialogs.messages(), ElementsAre("Vardo 710 Encoder not connected..\r\n"));
        EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));
        EXPECT_THAT(enabledControls(), ElementsAre("button11", "btnLoadFirmware", "button10"));
        EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
    }
}

// The exchange runs on the worker: meanwhile only Exit may be pressed, and it
// waits until the silent encoder's time-out has been said.
TEST_F(MainWindow, ASilentEncoderKeepsOnlyTheWorkerWaiting)
{
    plugEncoder(7, 0);
    load();
    encoder->injectFault({sim::EncoderFault::Silence, true});
    box("ledBrightnessCbox")->setCurrentIndex(3);
    emit box("ledBrightnessCbox")->activated(3);
    EXPECT_TRUE(window->busy());
    EXPECT_THAT(enabledControls(), ElementsAre("button10"));
    EXPECT_EQ(window->cursor().shape(), Qt::BusyCursor);
    window->onExit();
    EXPECT_EQ(ended, 0);
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Unable to set the LED Brightness..\r\n"));
    EXPECT_EQ(box("ledBrightnessCbox")->currentIndex(), 5);
    EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(ended, 1);
}

// A scan asked for meanwhile (File > Encoder) follows the exchange in progress.
TEST_F(MainWindow, AScanAskedForMeanwhileFollowsTheExchange)
{
    plugEncoder(7, 0);
    load();
    box("ledBrightnessCbox")->setCurrentIndex(3);
    emit box("ledBrightnessCbox")->activated(3);
    window->onScanForDevice();
    settle();
    EXPECT_THAT(commandCodes(), ElementsAre(link::SET_LED_BRIGHTNESS, link::GET_STATUS));
}

// The device watch: an unplug empties the panel at once, a plug runs the scan.
TEST_F(MainWindow, ThePanelFollowsUnplugAndPlug)
{
    plugEncoder(7, 0);
    load();
    auto* bar = w<QStatusBar>("statusStrip1");
    encoder->unplug();
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));
    EXPECT_THAT(enabledControls(), ElementsAre("button11", "btnLoadFirmware", "button10"));
    EXPECT_TRUE(bar->currentMessage().startsWith("No encoder: plug it in")) << bar->currentMessage().toStdString();
    EXPECT_EQ(w<QLabel>("encoderIdentityLbl")->text(), "");

    encoder->plugIn();
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "02.10B"));
    EXPECT_EQ(enabledControls().size(), 13u);
    EXPECT_EQ(bar->currentMessage(), "");
    EXPECT_EQ(w<QLabel>("encoderIdentityLbl")->text(), "USB port 1-1, serial VE710-000001");
    EXPECT_THAT(dialogs.records(), IsEmpty());
}

TEST_F(MainWindow, LayoutChangeRewritesOnlyThePanelsSecondLine)
{
    plugEncoder(7, 0);
    load();
    const QString line1 = panelLines()[0];
    choose(box("keypadTypeCbox"), 4);
    EXPECT_EQ(panelLines(), QStringList({line1, presentLine2("12W  Calculator Table")}));
    // No status request: only the one command went out.
    EXPECT_THAT(commandCodes(), ElementsAre(link::SET_KEYPAD_TYPE));
}

TEST_F(MainWindow, ProgrammaticSelectionsSendNothing)
{
    plugEncoder(7, 0);
    load();
    window->ShowDeviceStatus();
    box("ledBrightnessCbox")->setCurrentIndex(3);
    window->ShowNoDevice();
    EXPECT_THAT(commandCodes(), IsEmpty());
}

TEST_F(MainWindow, TypingIntoABoxChangesNothing)
{
    plugEncoder(7, 0);
    load();
    window->show();
    for (const char* name : {"keypadTypeCbox", "ledBrightnessCbox", "ledColourCbox", "buzzerCbox",
                             "buzzerPeriodCbox"}) {
        QComboBox* b = box(name);
        const int before = b->currentIndex();
        for (Qt::Key key : {Qt::Key_L, Qt::Key_B, Qt::Key_1, Qt::Key_Space, Qt::Key_Backspace}) {
            QTest::keyClick(b, key);
            QTest::keyClick(b, key, Qt::ShiftModifier);
        }
        EXPECT_EQ(b->currentIndex(), before) << name;
        EXPECT_FALSE(b->isEditable()) << name;
        EXPECT_EQ(b->focusPolicy(), Qt::StrongFocus) << name;   // no focus by the wheel
    }
    EXPECT_THAT(commandCodes(), IsEmpty());
    // Arrow keys still choose, and their choice is a commit.
    QTest::keyClick(box("ledBrightnessCbox"), Qt::Key_Down);
    settle();
    EXPECT_THAT(commandCodes(), ElementsAre(link::SET_LED_BRIGHTNESS));
    EXPECT_EQ(window->deviceStatus.ledBrightness, 6);
}

TEST_F(MainWindow, TabLeavesABoxAndTheWheelTurnsOnlyTheFocusedOne)
{
    plugEncoder(7, 0);
    load();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QComboBox* brightness = box("ledBrightnessCbox");
    brightness->setFocus();
    QTest::keyClick(brightness, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), box("ledColourCbox"));
    QTest::keyClick(box("ledColourCbox"), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), brightness);
    QTest::keyClick(brightness, Qt::Key_Escape);
    auto turnWheel = [](QComboBox* b) {
        QWheelEvent wheel(QPointF(5, 5), b->mapToGlobal(QPointF(5, 5)), {}, {0, -120},
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(b, &wheel);
    };
    turnWheel(box("buzzerPeriodCbox"));   // the pointer merely passes over it
    EXPECT_THAT(commandCodes(), IsEmpty());
    turnWheel(brightness);
    settle();
    EXPECT_THAT(commandCodes(), ElementsAre(link::SET_LED_BRIGHTNESS));
    EXPECT_EQ(window->deviceStatus.ledBrightness, 6);
    EXPECT_EQ(QApplication::focusWidget(), brightness);   // kept through the exchange, not left on Exit
}

// ---- save ------------------------------------------------------------------------

TEST_F(MainWindow, SaveWritesDefaultsThenTheFile)
{
    plugEncoder(7, 8);
    sim::EncoderSettings s = encoder->settings();
    s.customTables[2].fill(0);
    s.buzzerPeriod = 3;
    encoder->setSettings(s);
    load();
    window->onSaveChanges();
    settle();
    EXPECT_THAT(commandCodes(), ElementsAre(link::WRITE_DEFAULTS, link::GET_STATUS));
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_EQ(readFile(configPath()),
              testenv::savedConfig("7", testenv::zeroTableText(), "3", "1", "0", "5", "8"));
    EXPECT_EQ(encoder->powerUpDefaults(), encoder->settings());
}

TEST_F(MainWindow, SaveOfAFixedLayoutLeavesTheTableEmpty)
{
    plugEncoder(3, 6);
    load();
    window->onSaveChanges();
    settle();
    EXPECT_EQ(readFile(configPath()), testenv::savedConfig("3", "", "1", "1", "0", "5", "6"));
}

TEST_F(MainWindow, FailingWriteDefaultsLeavesTheFileAlone)
{
    plugEncoder(7, 8);
    load();
    encoder->injectFault({sim::EncoderFault::Refuse, false, link::WRITE_DEFAULTS});
    window->onSaveChanges();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Unable to Write Default..\r\n"));
    EXPECT_THAT(commandCodes(), ElementsAre(link::WRITE_DEFAULTS));
    EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
}

TEST_F(MainWindow, AFailedStatusReadAfterWriteDefaultsSavesNothing)
{
    plugEncoder(7, 8);
    load();
    encoder->injectFault({sim::EncoderFault::Refuse, false, link::GET_STATUS});
    window->onSaveChanges();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Unable to Save Config file.\r\n"));
    EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
}

// ---- reset from the configuration file ------------------------------------------------

TEST_F(MainWindow, ResetFromTheFileSendsTheSavedSettingsBack)
{
    plugEncoder(7, 5);
    load();
    window->onResetFromConfigFile();   // before any save: nothing at all
    settle();
    EXPECT_THAT(commandCodes(), IsEmpty());
    EXPECT_THAT(dialogs.records(), IsEmpty());

    window->onSaveChanges();
    settle();
    choose(box("keypadTypeCbox"), 1);
    choose(box("ledBrightnessCbox"), 0);
    encoder->clearReceivedCommands();
    window->onResetFromConfigFile();
    settle();
    using namespace link;
    EXPECT_THAT(commandCodes(), ElementsAre(SET_KEYPAD_TYPE, LOAD_CODE_TABLE, SET_LED_BRIGHTNESS,
                                            SET_LED_COLOUR, SET_BUZZER, SET_BUZZER_PERIOD, GET_STATUS));
    EXPECT_EQ(box("keypadTypeCbox")->currentIndex(), 5);
    EXPECT_EQ(box("ledBrightnessCbox")->currentIndex(), 5);
    EXPECT_EQ(panelLines()[1], presentLine2("12W  Customised Table"));
}

TEST_F(MainWindow, ARefusedResetStepPutsTheLayoutBoxBack)
{
    plugEncoder(7, 0);
    load();
    window->onSaveChanges();
    settle();
    box("keypadTypeCbox")->setCurrentIndex(6);   // a box left showing something else
    encoder->injectFault({sim::EncoderFault::Refuse, false, link::SET_BUZZER});
    window->onResetFromConfigFile();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Unable to set Buzzer..\r\n"));
    EXPECT_EQ(box("keypadTypeCbox")->currentIndex(), 0);
}

// ---- factory reset -------------------------------------------------------------------

TEST_F(MainWindow, FactoryResetWaitsRescansAndShowsTheEncoder)
{
    plugEncoder(7, 0);
    load();
    choose(box("ledBrightnessCbox"), 9);
    window->onFactoryReset();   // answered No: nothing sent
    settle();
    EXPECT_THAT(commandCodes(), ElementsAre(link::SET_LED_BRIGHTNESS));
    const auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, DR::Kind::Question);
    EXPECT_EQ(records[0].caption, "Reset To Factory Default");
    dialogs.clear();
    dialogs.answerQuestion(true);
    const auto slept = clock.totalSleptMs();
    window->onFactoryReset();
    settle();
    EXPECT_GE(clock.totalSleptMs() - slept, 3000u);
    EXPECT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(box("ledBrightnessCbox")->currentIndex(), 5);
    EXPECT_EQ(enabledControls().size(), 13u);
}

// ---- what the encoder powers up with ------------------------------------------------

// A change is live at once but a replug brings back the power-up defaults: the
// title and the status bar say so until Save Changes or a reset.
TEST_F(MainWindow, SettingsNotSavedAsPowerUpDefaultsAreMarked)
{
    plugEncoder(7, 8);
    load();
    const auto marked = [&] {
        const bool title = window->windowTitle() == "USB Encoder Configuration Utility *";
        EXPECT_EQ(w<QLabel>("unsavedLbl")->isVisibleTo(window.get()), title);
        return title && w<QLabel>("unsavedLbl")->text() == "Not saved as power-up defaults";
    };
    EXPECT_FALSE(marked());
    choose(box("ledBrightnessCbox"), 2);
    EXPECT_TRUE(marked());
    choose(box("ledBrightnessCbox"), 5);   // back to what it powers up with
    EXPECT_FALSE(marked());
    choose(box("buzzerCbox"), 0);
    window->onScanForDevice();   // the same encoder, still running with the change
    settle();
    EXPECT_TRUE(marked());
    window->onSaveChanges();
    settle();
    EXPECT_FALSE(marked());
    // A replug brings back the saved settings: nothing to mark.
    choose(box("ledBrightnessCbox"), 1);
    for (bool plugged : {false, true}) {
        plugged ? encoder->plugIn() : encoder->unplug();
        QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
        settle();
    }
    EXPECT_EQ(box("ledBrightnessCbox")->currentIndex(), 5);
    EXPECT_FALSE(marked());

    // A table loaded from the editor is live too; a factory reset ends the mark.
    auto* editor = editKeyOne();
    ASSERT_NE(editor, nullptr);
    editor->findChild<QPushButton*>("applyBtn")->click();
    settle();
    EXPECT_TRUE(marked());
    EXPECT_EQ(w<QStatusBar>("statusStrip1")->currentMessage(),
              "Code table loaded into the encoder (1 of 16 keys changed)");
    dialogs.answerQuestion(true);
    window->onFactoryReset();
    settle();
    EXPECT_FALSE(marked());
}

// ---- the status bar's message belongs to its moment ---------------------------------

// The self test's verdict on an unplug goes once the encoder is back; an
// outcome goes when the encoder changes or restarts after an upgrade.
TEST_F(MainWindow, StatusBarMessagesGoWhenWhatTheyDescribeEnds)
{
    plugEncoder(7, 0);
    load();
    auto* bar = w<QStatusBar>("statusStrip1");
    window->onSaveChanges();   // "Saved: ..." ends with the next change
    settle();
    choose(box("ledBrightnessCbox"), 2);
    EXPECT_EQ(bar->currentMessage(), "");
    encoder->unplug();
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    window->onTestEncoder();
    auto* test = qobject_cast<self_test*>(window->openWindows().back());
    ASSERT_NE(test, nullptr);
    emit test->verdict(QStringLiteral("Self test stopped: the encoder went away"));
    EXPECT_EQ(bar->currentMessage(), "Self test stopped: the encoder went away");
    delete test;
    encoder->plugIn();
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    EXPECT_EQ(bar->currentMessage(), "");
    window->onResetFromConfigFile();   // says in the bar what it sent
    settle();
    EXPECT_FALSE(bar->currentMessage().isEmpty());
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    auto* upgrade = qobject_cast<firmware_upgrade*>(window->openWindows().back());
    ASSERT_NE(upgrade, nullptr);
    encoder->restartApplication("03.00C");
    ASSERT_TRUE(window->encoder()->rescan());
    emit upgrade->upgradeFinished(true);
    settle();
    EXPECT_EQ(bar->currentMessage(), "");
    // How the upgrade ended stays after the status read that follows it.
    emit upgrade->upgradeFinished(true);
    emit upgrade->upgradeEnded(QStringLiteral("Firmware upgraded: the encoder runs 03.00C"));
    settle();
    EXPECT_EQ(bar->currentMessage(), "Firmware upgraded: the encoder runs 03.00C");
}

// Exit with an editor holding edits asks about them first; Cancel keeps both windows.
TEST_F(MainWindow, ExitAsksAboutEditsNotYetApplied)
{
    plugEncoder(7, 8);
    load();
    auto* editor = editKeyOne();
    ASSERT_NE(editor, nullptr);
    window->onExit();   // unscripted: Cancel
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(editor->isVisible());
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(dialogs.records()[0].kind, DR::Kind::ApplyDiscardCancel);
    dialogs.answerEdits(platform::EditsChoice::Apply);
    window->onExit();   // goes on once the encoder has taken the table
    EXPECT_TRUE(QTest::qWaitFor([this] { return ended == 1; }, 10000));
    EXPECT_THAT(commandCodes(), ElementsAre(link::GET_STATUS, link::LOAD_CODE_TABLE));
}

// Enter alone keeps the settings: the question (its text as it was) has No as its default button.
TEST_F(MainWindow, FactoryResetQuestionDefaultsToNo)
{
    plugEncoder(7, 0);
    load();
    window->onFactoryReset();
    settle();
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_TRUE(dialogs.records()[0].defaultNo);
    EXPECT_EQ(dialogs.records()[0].text, messages::kFactoryResetQuestion);
    EXPECT_TRUE(encoder->receivedCommands().empty());
}

TEST_F(MainWindow, FactoryResetWithTheEncoderGone)
{
    plugEncoder(7, 0);
    load();
    encoder->unplug();
    dialogs.answerQuestion(true);
    const auto slept = clock.totalSleptMs();
    window->onFactoryReset();
    settle();
    EXPECT_GE(clock.totalSleptMs() - slept, 3000u);
    EXPECT_THAT(dialogs.messages(), ElementsAre("Vardo 710 Encoder not connected..\r\n"));
    EXPECT_EQ(panelLines(), QStringList({kNoneLine1, kNoneLine2}));
    EXPECT_THAT(enabledControls(), ElementsAre("button11", "btnLoadFirmware", "button10"));
    EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
}

// ---- what the status bar says ------------------------------------------------------

TEST_F(MainWindow, EachActionSaysHowItEndedInTheStatusBar)
{
    plugEncoder(7, 5);
    load();
    std::filesystem::create_directories(root + "/out");
    const struct {
        const char* name;
        std::function<void()> act;
        std::string said;   // the start of the status bar's message
    } cases[] = {
        {"reset before any save", [&] { window->onResetFromConfigFile(); }, "Nothing saved yet: press Save Changes"},
        {"save", [&] { window->onSaveChanges(); }, "Saved: the encoder keeps these settings, recorded in " + configPath()},
        {"reset", [&] { window->onResetFromConfigFile(); }, "Settings from " + configPath() + " sent to the encoder"},
        {"export", [&] { dialogs.answerSelectFolder(root + "/out"); window->onExportConfig(); },
         "Exported to " + root + "/out/USBUtilityCfg.ini"},
        {"export declined", [&] { dialogs.answerSelectFolder(root + "/out"); window->onExportConfig(); },
         "Not exported: " + root + "/out/USBUtilityCfg.ini was kept"},
        {"factory reset declined", [&] { window->onFactoryReset(); }, "Factory reset cancelled"},
        {"factory reset", [&] { dialogs.answerQuestion(true); window->onFactoryReset(); }, "Factory defaults restored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        settle();
        EXPECT_EQ(w<QStatusBar>("statusStrip1")->currentMessage().toStdString().substr(0, c.said.size()), c.said);
    }
    EXPECT_THAT(dialogs.messages(), IsEmpty());
}

// A good import says what it holds and offers to send it; Yes sends it as
// Reset From Configuration File does.
TEST_F(MainWindow, ImportSaysWhatCameAndOffersToSendIt)
{
    plugEncoder(7, 0);
    load();
    std::filesystem::create_directories(root + "/in");
    const std::string theirs = root + "/in/USBUtilityCfg.ini";
    testenv::writeFile(theirs, testenv::savedConfig("7", "", "4", "1", "0", "3", "6"));
    for (bool send : {false, true}) {
        SCOPED_TRACE(send);
        encoder->clearReceivedCommands();
        dialogs.clear();
        dialogs.answerOpenFile(theirs);
        dialogs.answerQuestion(send);
        window->onImportConfig();
        settle();
        const auto records = dialogs.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[1].kind, DR::Kind::Question);
        EXPECT_EQ(records[1].text, "Send the imported settings to the encoder now?");
        EXPECT_EQ(send ? commandCodes().size() : 0u, send ? 6u : 0u);
        EXPECT_EQ(box("keypadTypeCbox")->currentIndex(), send ? 6 : 0);
        if (!send) {
            EXPECT_EQ(w<QStatusBar>("statusStrip1")->currentMessage().toStdString(),
                      "Imported " + theirs + ": 16W Telephone Table, LED brightness 3, buzzer on, period 4");
        }
    }
}

TEST_F(MainWindow, KeyboardReachesEveryControlInReadingOrder)
{
    QStringList order;
    QWidget* next = w("button11");
    do {
        if (next->focusPolicy() & Qt::TabFocus)
            order << next->objectName();
        next = next->nextInFocusChain();
    } while (next != w("button11"));
    EXPECT_EQ(order.mid(0, 13).join(' '), "button11 keypadTypeCbox ledBrightnessCbox ledColourCbox buzzerCbox "
                                          "buzzerPeriodCbox button2 button1 button3 button8 btnLoadFirmware "
                                          "button9 button10");
    for (QPushButton* b : window->findChildren<QPushButton*>())
        EXPECT_EQ(b->accessibleName(), b->text()) << b->objectName().toStdString();
    // Enter presses the focused button.
    window->show();
    w("button11")->setFocus();
    QTest::keyClick(w("button11"), Qt::Key_Return);
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Vardo 710 Encoder not connected..\r\n"));
}

// A screen reader hears each control's name: the settings boxes their caption
// (the choice is their value), the status panel what it is.
TEST_F(MainWindow, EveryControlHasAName)
{
    plugEncoder(7, 0);
    load();
    window->show();
    int controls = 0;
    EXPECT_EQ(testenv::unnamedControls(window.get(), &controls).join(' ').toStdString(), "");
    EXPECT_EQ(controls, 15);  // the menu bar among them
    // A box's name is its choice on Linux: its caption comes from the label it is labelled by.
    QAccessibleInterface* layout = QAccessible::queryAccessibleInterface(box("keypadTypeCbox"));
    EXPECT_EQ(layout->text(QAccessible::Value), "4W    Function Key Table");
    const auto labels = layout->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0].first->text(QAccessible::Name), "Keypad layout");
}

// ---- the encoder held by another program ------------------------------------------------

// Save, factory reset, the reset from the file and the self test each take the
// encoder's port lock first: held elsewhere, the window says by whom and sends nothing.
TEST_F(MainWindow, OperationsOfSeveralStepsSayWhoHoldsTheEncoder)
{
    plugEncoder(7, 8);
    load();
    const std::string port = device::attachedEncoders().at(0).port;
    const std::string busy = "The encoder at port " + port
        + " is in use by another operation of this program. Try again when it has finished.\r\n";
    {
        const device::PortLock held(port, "");
        ASSERT_EQ(held.state(), device::PortLockState::Held);
        for (void (Form1::*operation)() :
             {&Form1::onSaveChanges, &Form1::onFactoryReset, &Form1::onResetFromConfigFile, &Form1::onTestEncoder}) {
            dialogs.clear();
            if (operation == &Form1::onFactoryReset)
                dialogs.answerQuestion(true);   // past its question, to the lock
            (window.get()->*operation)();
            settle();
            EXPECT_THAT(dialogs.messages(), ElementsAre(busy));
            EXPECT_THAT(commandCodes(), IsEmpty());
        }
        EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
    }
    dialogs.clear();
    window->onSaveChanges();
    settle();
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_THAT(commandCodes(), ElementsAre(link::WRITE_DEFAULTS, link::GET_STATUS));
}

// ---- configuration file menus -----------------------------------------------------------

TEST_F(MainWindow, ImportAndExportGoThroughThePickers)
{
    load();
    window->onImportConfig();   // cancelled
    settle();
    window->onExportConfig();                               // cancelled
    auto records = dialogs.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].kind, DR::Kind::OpenFile);
    EXPECT_EQ(records[0].text, "(*.ini)|*.ini|All files (*.ini)|*.ini");
    EXPECT_EQ(records[1].kind, DR::Kind::SelectFolder);
    EXPECT_EQ(records[1].caption, "Select Folder - To Copy The USBUtilityCfg.ini File");
    EXPECT_EQ(records[2].text, "Unable to save the cfg file.\r\n");

    dialogs.clear();
    std::filesystem::create_directories(root + "/out");
    testenv::writeFile(root + "/out/USBUtilityCfg.ini", "theirs");
    dialogs.answerSelectFolder(root + "/out");
    dialogs.answerQuestion(false);
    window->onExportConfig();
    records = dialogs.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].kind, DR::Kind::Question);
    EXPECT_EQ(records[1].caption, "Save USBUtilityCfg File");
    EXPECT_EQ(records[1].text, "USBUtilityCfg.ini file already exists. Do you want to overwrite it?");
    EXPECT_EQ(readFile(root + "/out/USBUtilityCfg.ini"), "theirs");

    dialogs.clear();
    dialogs.answerOpenFile(root + "/out/USBUtilityCfg.ini");
    window->onImportConfig();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("File is incorrect format.\r\n"));

    dialogs.clear();
    testenv::writeFile(root + "/out/USBUtilityCfg.ini", " [appSettings\r\n");
    dialogs.answerOpenFile(root + "/out/USBUtilityCfg.ini");
    window->onImportConfig();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Exception :Failed to copy the new file.\r\n"));
    EXPECT_EQ(readFile(configPath()), testenv::kFreshConfig);
}

// ---- other windows -------------------------------------------------------------------

TEST_F(MainWindow, AboutOpensOneMoreBoxAtTheWindowsPosition)
{
    window->move(40, 60);
    window->onAbout();
    window->onAbout();
    const auto open = window->openWindows();
    ASSERT_EQ(open.size(), 2u);
    for (QWidget* box : open) {
        EXPECT_NE(qobject_cast<about*>(box), nullptr);
        EXPECT_TRUE(box->isVisible());
        EXPECT_EQ(box->pos(), window->pos());
    }
    EXPECT_NE(open[0], open[1]);
}

TEST_F(MainWindow, TestEncoderOpensASelfTestWindowEachTime)
{
    load();   // no encoder: the self test window stays idle
    window->move(10, 20);
    window->onTestEncoder();
    window->onTestEncoder();
    const auto open = window->openWindows();
    ASSERT_EQ(open.size(), 2u);
    for (QWidget* w : open) {
        EXPECT_STREQ(w->metaObject()->className(), "self_test");
        EXPECT_EQ(w->pos(), window->pos());
    }
    // A test's verdict lands in the status bar.
    emit qobject_cast<self_test*>(open[0])->verdict("Self test: all 4 keys answered");
    EXPECT_EQ(w<QStatusBar>("statusStrip1")->currentMessage(), "Self test: all 4 keys answered");
}

TEST_F(MainWindow, CustomiseCodeTableReadsTheStatusFirst)
{
    load();
    window->onCustomiseCodeTable();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Load Table-Unable to get device status..\r\n"));
    plugEncoder(7, 3);
    window->onScanForDevice();
    settle();
    dialogs.clear();
    window->onCustomiseCodeTable();
    settle();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Please select a customise table..\r\n"));
}

TEST_F(MainWindow, FirmwareUpgradeAsksCopiesAndSwitchesToTheLoader)
{
    plugEncoder(7, 2);
    load();
    window->onUpdateFirmware();   // answered No
    EXPECT_THAT(commandCodes(), IsEmpty());
    EXPECT_TRUE(window->openWindows().empty());
    auto records = dialogs.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, DR::Kind::Question);
    EXPECT_EQ(records[0].caption, "Firmware Upgrade");
    EXPECT_EQ(records[0].text, "Are you sure you want to upgrade the firmware?");

    dialogs.clear();
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    settleUpgrade();
    EXPECT_THAT(commandCodes(), ElementsAre(link::GET_STATUS, link::ENTER_BSL));
    EXPECT_EQ(encoder->mode(), sim::EncoderMode::BootLoader);
    ASSERT_EQ(window->openWindows().size(), 1u);
    EXPECT_STREQ(window->openWindows()[0]->metaObject()->className(), "firmware_upgrade");
    EXPECT_EQ(dialogs.messages().size(), 0u);
    // The device controls stay as they were: ENTER_BSL was answered.
    EXPECT_TRUE(w("button8")->isEnabled());

    // The values to write back are also kept in a backup beside the configuration file.
    std::vector<std::string> backups;
    for (const auto& e : std::filesystem::directory_iterator(
             std::filesystem::path(FileName).parent_path()))
        if (e.path().filename().string().rfind("USBUtilityCfg-", 0) == 0)
            backups.push_back(e.path().string());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(vardo::config::CIniFile::GetValue("KeypadLayout", "appSettings", backups[0]), "2");
    EXPECT_EQ(vardo::config::CIniFile::GetValue("FirstUp", "appSettings", backups[0]), "Yes");

    // While the upgrade window stands the panel stays; once it has gone, the panel
    // catches up with the bus.
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    EXPECT_TRUE(w("button8")->isEnabled());
    delete window->openWindows()[0];
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    settle();
    EXPECT_EQ(panelLines()[0] == kNoneLine1, device::attachedEncoders().empty());
}

// With an encoder stuck in its loader beside ours, the first loader after
// ENTER_BSL could be that one: the window names it and upgrades that one, on
// its port, after the mass-erase question; ours is not touched.
TEST_F(MainWindow, FirmwareUpgradeRecoversAnotherEncoderWaitingInItsLoader)
{
    plugEncoder(7, 2);
    sim::VirtualLoaderConfig stuck;
    stuck.path = "sim:1-2:bsl";
    stuck.plugIn = true;
    sim::VirtualLoader loader(stuck);
    load();
    const QString waiting = QStringLiteral("The encoder on 1-2 waits in its loader");
    EXPECT_TRUE(w<QStatusBar>("statusStrip1")->currentMessage().startsWith(waiting));
    // File > Encoder lists it, as what upgrades it.
    emit w<QMenu>("helpToolStripMenuItem")->aboutToShow();
    auto* choices = window->findChild<QMenu*>(QStringLiteral("encoderChoiceMenu"));
    ASSERT_NE(choices, nullptr);
    QStringList items;
    for (QAction* a : choices->actions())
        items << a->text();
    EXPECT_EQ(items, QStringList({"1-1   VE710-000001", "1-2   waits in its loader: upgrade it"}));
    dialogs.answerQuestion(true);   // the upgrade
    dialogs.answerQuestion(true);   // the mass erase
    window->onUpdateFirmware();
    EXPECT_TRUE(w<QStatusBar>("statusStrip1")->currentMessage().startsWith(waiting));
    EXPECT_TRUE(dialogs.messages().empty());
    const auto asked = dialogs.records();
    EXPECT_EQ(std::count_if(asked.begin(), asked.end(),
                            [](const auto& r) { return r.kind == platform::DialogRecord::Kind::Question; }),
              2);
    EXPECT_THAT(commandCodes(), IsEmpty());
    ASSERT_EQ(window->openWindows().size(), 1u);
    auto* upgrade = qobject_cast<firmware_upgrade*>(window->openWindows()[0]);
    ASSERT_NE(upgrade, nullptr);
    EXPECT_EQ(upgrade->findChild<QLabel*>("encoderLbl")->text(),
              QStringLiteral("Encoder: port 1-2, waiting in its loader"));
    EXPECT_TRUE(loader.commands().empty());
}

TEST_F(MainWindow, CustomiseCodeTableOpensTheEditorOfTheLayout)
{
    plugEncoder(7, 8);
    load();
    window->onCustomiseCodeTable();
    settle();
    EXPECT_THAT(dialogs.records(), IsEmpty());
    EXPECT_THAT(commandCodes(), ElementsAre(link::GET_STATUS));
    QWidget* editor = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == "My16way_layout")
            editor = top;
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->isVisible());
    delete editor;
}

TEST_F(MainWindow, AFinishedUpgradeRefreshesThePanel)
{
    plugEncoder(7, 0);
    load();
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    settleUpgrade();
    ASSERT_EQ(window->openWindows().size(), 1u);
    auto* upgrade = qobject_cast<firmware_upgrade*>(window->openWindows()[0]);
    ASSERT_NE(upgrade, nullptr);
    // What the upgrade window does at its end: the new firmware runs, the handle is renewed.
    encoder->restartApplication("03.00C");
    // The upgrade window, still waiting for a loader, would send it back there
    // (its ENTER_BSL lost without a reply, so none crosses the status read);
    // its waits move the virtual clock, so the encoder answers at once.
    encoder->injectFault({sim::EncoderFault::Silence, true, link::ENTER_BSL});
    encoder->setReplyDelayMs(0);
    ASSERT_TRUE(window->encoder()->rescan());
    emit upgrade->upgradeFinished(false);
    settle();
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "02.10B"));
    // The upgrade window's worker still waits for its loader on the shared
    // test clock and can carry that clock past the status read's deadline on
    // a loaded machine: a read lost that way is asked again, as the next
    // finished upgrade would ask it.
    bool shown = false;
    for (int tries = 0; tries < 3 && !shown; ++tries) {
        emit upgrade->upgradeFinished(true);
        shown = QTest::qWaitFor(
            [&] { return panelLines()[0] == presentLine1("Vardo 710i Encoder", "03.00C"); }, 5000);
        settle();
    }
    EXPECT_EQ(panelLines()[0], presentLine1("Vardo 710i Encoder", "03.00C"));
}

// The upgrade window on an encoder with its loader: closed unused it sends the
// encoder back to its application and the panel shows it again; while an
// upgrade runs, neither window may end it.
TEST_F(MainWindow, TheUpgradeWindowNeverStrandsTheEncoder)
{
    sim::VirtualEncoderDevice device;
    load();
    const auto openUpgrade = [&] {
        dialogs.answerQuestion(true);
        window->onUpdateFirmware();
        auto* upgrade = qobject_cast<firmware_upgrade*>(window->openWindows().back());
        QSignalSpy counted(upgrade, &firmware_upgrade::loaderCounted);
        upgrade->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !counted.isEmpty(); }, 5000));
        settleUpgrade();
        // Its loader counted (the count may have come before it enumerated).
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return upgrade->findChild<QPushButton*>(QStringLiteral("btnUpgrade"))->isEnabled(); }, 5000));
        return upgrade;
    };
    QPointer<firmware_upgrade> upgrade = openUpgrade();
    ASSERT_FALSE(device.encoder().plugged());
    EXPECT_EQ(upgrade->findChild<QLabel*>(QStringLiteral("encoderLbl"))->text(),
              QStringLiteral("Encoder: port 1-1, serial VE710-000001\nFirmware: 01.05A"));
    upgrade->findChild<QPushButton*>(QStringLiteral("btnClose"))->click();
    // The return to the application runs on the window's worker.
    EXPECT_TRUE(QTest::qWaitFor([&] { return device.encoder().plugged(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panelLines()[0] == presentLine1("Vardo 710i Encoder", "01.05A"); }, 5000));
    // Gone (with its device notifications) before the next one opens.
    ASSERT_TRUE(QTest::qWaitFor([&] { return upgrade.isNull(); }, 5000));

    upgrade = openUpgrade();
    int closed = 0;
    QObject::connect(window.get(), &Form1::closedByOperator, [&] { ++closed; });
    dialogs.answerOpenFile(std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt");
    upgrade->findChild<QPushButton*>(QStringLiteral("btnBrowse"))->click();
    dialogs.clear();
    {
        std::unique_lock busy(loader::libraryMutex());
        upgrade->findChild<QPushButton*>(QStringLiteral("btnUpgrade"))->click();
        window->show();
        window->close();
        window->onExit();
        EXPECT_EQ(closed, 0);
        EXPECT_EQ(ended, 0);
        ASSERT_EQ(dialogs.records().size(), 1u);
        EXPECT_EQ(dialogs.records()[0].caption, "Firmware Upgrade");
        EXPECT_EQ(dialogs.records()[0].text.rfind("A firmware upgrade is running", 0), 0u);
    }
    // It ends (written back): then the window closes, and Exit ends the program.
    ASSERT_TRUE(QTest::qWaitFor([&] { return closed == 1 && ended == 1; }, 20000));
    EXPECT_EQ(device.encoder().firmwareVersion(), "01.06A");
}

TEST_F(MainWindow, FirmwareUpgradeWithoutAnEncoderStillOpensItsWindow)
{
    load();
    dialogs.answerQuestion(true);
    window->onUpdateFirmware();
    settleUpgrade();
    EXPECT_THAT(dialogs.messages(), ElementsAre("Failed to Get Device Status Message.\r\n"));
    EXPECT_EQ(window->openWindows().size(), 1u);
    EXPECT_THAT(enabledControls(), ElementsAre("button11", "btnLoadFirmware", "button10"));
}

TEST_F(MainWindow, FirmwareButtonIgnoresTheKeyboard)
{
    window->show();
    auto* b = w<QPushButton>("btnLoadFirmware");
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
    EXPECT_THAT(dialogs.records(), IsEmpty());
    QTest::mouseClick(b, Qt::LeftButton);
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(dialogs.records()[0].kind, DR::Kind::Question);
}

// ---- exit -----------------------------------------------------------------------------

TEST_F(MainWindow, ExitClosesTheEncoderAndTheHidLibrary)
{
    plugEncoder(7, 0);
    load();
    const int exitsBefore = sim::Bus::instance().exitCount();
    window->onExit();
    EXPECT_EQ(sim::Bus::instance().exitCount(), exitsBefore + 1);
    EXPECT_EQ(window->encoder()->get(), nullptr);
    EXPECT_EQ(ended, 1);
}

// Exit during a self test: the test stops and restores the encoder before the
// handle closes, so no failure boxes appear and self-test mode ends.
TEST_F(MainWindow, ExitDuringASelfTestRestoresTheEncoderFirst)
{
    plugEncoder(7, 8);
    load();
    window->onTestEncoder();
    ASSERT_TRUE(QTest::qWaitFor([&] { return encoder->ledBrightness() != 5 || encoder->beepCount() > 0; },
                                5000));
    window->onExit();
    EXPECT_TRUE(window->openWindows().empty());
    EXPECT_FALSE(encoder->selfTestMode());
    EXPECT_EQ(encoder->ledBrightness(), 5);
    EXPECT_EQ(window->encoder()->get(), nullptr);
    for (const std::string& m : dialogs.messages())
        EXPECT_EQ(m.rfind("Press each key", 0), 0u) << m;   // no failure boxes
    EXPECT_EQ(ended, 1);
}

TEST_F(MainWindow, ExitWithoutAnEncoderLeavesTheHidLibraryAlone)
{
    load();
    const int exitsBefore = sim::Bus::instance().exitCount();
    window->onMenuExit();
    EXPECT_EQ(sim::Bus::instance().exitCount(), exitsBefore);
    EXPECT_EQ(ended, 1);
}

TEST_F(MainWindow, ClosingByTheTitleBarKeepsTheHandle)
{
    plugEncoder(7, 0);
    load();
    int closed = 0;
    QObject::connect(window.get(), &Form1::closedByOperator, [&] { ++closed; });
    window->show();
    window->close();
    EXPECT_EQ(closed, 1);
    EXPECT_NE(window->encoder()->get(), nullptr);
    EXPECT_EQ(ended, 0);
}

} // namespace
