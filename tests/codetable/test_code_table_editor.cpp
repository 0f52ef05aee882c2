// The three code table editor windows against the virtual encoder: opening,
// the key and modifier buttons with their lists, Reset and Apply on the wire.
#include "codetable/code_table_editor.h"
#include "codetable/code_table_editor_window.h"
#include "link/encoder_commands.h"
#include "device/encoder.h"
#include "device/port_lock.h"
#include "link/hid_transport.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "sim/bus.h"
#include "sim/virtual_encoder.h"
#include "support/accessibility.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

using namespace vardo;
using link::CodeTable;
using codetable::CodeTableEditorWindow;

namespace {

const std::string kNotCustomised = "Please select a customise table..\r\n";
const std::string kLoadFailed = "Unable to Load Table..\r\n";

CodeTable patternTable(std::uint8_t base)
{
    CodeTable t{};
    for (std::size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<std::uint8_t>(i % 2 == 0 ? 0 : base + i);
    return t;
}

class EditorTest : public ::testing::Test {
protected:
    std::shared_ptr<device::EncoderSlot> slot = std::make_shared<device::EncoderSlot>();
    void SetUp() override
    {
        sim::Bus::instance().reset();
        device::setPortLockFolderOverride("");   // no port locks: nothing else drives these encoders
    }

    void TearDown() override
    {
        // An editor takes its code list's popup with it: no stale pointers.
        std::vector<QPointer<QWidget>> windows;
        for (QWidget* w : QApplication::topLevelWidgets())
            windows.emplace_back(w);
        for (const QPointer<QWidget>& w : windows)
            if (qobject_cast<CodeTableEditorWindow*>(w.data()))
                delete w.data();
        slot->adopt(nullptr);
        encoder.reset();
        sim::Bus::instance().reset();
    }

    // An encoder on the given layout with the given customised table; the
    // status read the main window does before opening an editor.
    void attach(int layout, const CodeTable& custom)
    {
        encoder = std::make_unique<sim::VirtualEncoder>();
        sim::EncoderSettings s = encoder->settings();
        s.keypadType = static_cast<std::uint8_t>(layout);
        s.customTables = {custom, custom, custom};
        encoder->setSettings(s);
        ASSERT_TRUE(slot->rescan());
        link::DeviceStatus status;
        status.codeTable = keyCodeArray;
        ASSERT_EQ(slot->get()->readStatus(status), device::Result::Ok);
        keyCodeArray = status.codeTable;
        encoder->clearReceivedCommands();
    }

    CodeTableEditorWindow* open(int layout)
    {
        CodeTableEditorWindow* w = codetable::createCodeTableEditor(nullptr, slot, layout, keyCodeArray);
        if (w)
            w->show();
        return w;
    }

    std::vector<sim::ReceivedCommand> loads() const
    {
        std::vector<sim::ReceivedCommand> out;
        for (const auto& c : encoder->receivedCommands())
            if (c.code == link::LOAD_CODE_TABLE)
                out.push_back(c);
        return out;
    }

    static QPushButton* button(QWidget* w, const QString& name)
    {
        auto* b = w->findChild<QPushButton*>(name);
        EXPECT_NE(b, nullptr) << name.toStdString();
        return b;
    }
    static QPushButton* key(QWidget* w, int n) { return button(w, QStringLiteral("key%1Btn").arg(n)); }
    static QPushButton* modifier(QWidget* w, int n)
    {
        return button(w, QStringLiteral("modifierBtn%1").arg(n));
    }
    static QComboBox* codeList(QWidget* w) { return w->findChild<QComboBox*>("selectCodeCbox"); }
    static QComboBox* modifierList(QWidget* w) { return w->findChild<QComboBox*>("selectModifierCbox"); }
    static void choose(QComboBox* list, int index)
    {
        list->setCurrentIndex(index);
        emit list->activated(index);
    }
    static QColor colour(QPushButton* b) { return b->palette().color(QPalette::Button); }
    static std::string text(QPushButton* b) { return b->text().toStdString(); }

    // Apply runs on the editor's worker: its answer arrived and was shown.
    static void settle(const QPointer<CodeTableEditorWindow>& w)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.isNull() || !w->busy(); }, 10000));
    }

    static bool closedAndGone(QPointer<CodeTableEditorWindow>& w)
    {
        return QTest::qWaitFor([&] { return w.isNull(); }, 2000);
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingDialogs dialogs;
    platform::ScopedDialogs scopedDialogs{dialogs};
    std::unique_ptr<sim::VirtualEncoder> encoder;
    CodeTable keyCodeArray{};
};

TEST_F(EditorTest, OtherLayoutsShowTheMessageAndOpenNothing)
{
    attach(0, patternTable(1));
    for (int layout : {0, 1, 3, 4, 6, 7, 9, -1}) {
        dialogs.clear();
        EXPECT_FALSE(openCodeTableEditor(nullptr, slot, layout, keyCodeArray)) << layout;
        const auto records = dialogs.records();
        ASSERT_EQ(records.size(), 1u) << layout;
        EXPECT_EQ(records[0].caption, "Vardo USB Encoder");
        EXPECT_EQ(records[0].text, kNotCustomised);
        EXPECT_EQ(records[0].icon, platform::MessageIcon::Warning);
    }
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<CodeTableEditorWindow*>(w), nullptr);
    EXPECT_TRUE(encoder->receivedCommands().empty());
}

TEST_F(EditorTest, EachLayoutOpensItsWindowWithTitleHeadingAndArrangement)
{
    struct Case {
        int layout;
        int keys;
        int columns;
        const char* className;
        const char* title;
        const char* heading;
    };
    const Case cases[] = {
        {2, 4, 1, "My4way_layout", "4 Way Layout",
         "Customise 4 Way Code Table\r\n       (USB Codes in Hex)"},
        {5, 12, 3, "My12way_layout", "Customise 12 Way Keypad Table",
         "Customise 12 Way Code Table\r\n    (USB Codes in Hex)"},
        {8, 16, 4, "My16way_layout", "Customise 16 Way Keypad Table",
         " Customise 16 Way Code Table\r\n           (USB Codes in Hex)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        attach(c.layout, patternTable(0x10));
        dialogs.clear();
        ASSERT_TRUE(openCodeTableEditor(nullptr, slot, c.layout, keyCodeArray));
        CodeTableEditorWindow* w = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* e = qobject_cast<CodeTableEditorWindow*>(top))
                w = e;
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.className);
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->windowTitle().toStdString(), c.title);
        EXPECT_EQ(w->findChild<QLabel*>("label1")->text().toStdString(), c.heading);
        EXPECT_EQ(w->findChildren<QPushButton*>(QRegularExpression("^key\\d+Btn$")).size(), c.keys);
        EXPECT_EQ(w->minimumSize(), w->maximumSize());
        EXPECT_FALSE(codeList(w)->isVisible());
        EXPECT_FALSE(modifierList(w)->isVisible());
        EXPECT_EQ(codeList(w)->count(), 256);
        EXPECT_EQ(codeList(w)->itemText(0x0A).toStdString(), "0x0A   g");
        EXPECT_EQ(modifierList(w)->count(), 9);
        EXPECT_EQ(codeList(w)->currentText().toStdString(), "");
        EXPECT_EQ(codeList(w)->placeholderText().toStdString(), "Select Code");
        EXPECT_EQ(modifierList(w)->placeholderText().toStdString(), "Modifier");

        // Row by row: key n+1 stands right of key n within a row, the next row below.
        for (int n = 1; n < c.keys; ++n) {
            const QRect a = key(w, n)->geometry();
            const QRect b = key(w, n + 1)->geometry();
            if (n % c.columns == 0) {
                EXPECT_GT(b.top(), a.top());
            } else {
                EXPECT_EQ(b.top(), a.top());
                EXPECT_GT(b.left(), a.left());
            }
            EXPECT_LT(modifier(w, n)->geometry().right(), a.left());
        }
        // The lists share one place right of the keys, level with the first row.
        EXPECT_EQ(codeList(w)->geometry(), modifierList(w)->geometry());
        EXPECT_EQ(codeList(w)->geometry().top(), key(w, 1)->geometry().top());
        EXPECT_GT(codeList(w)->geometry().left(), key(w, c.columns)->geometry().right());
        EXPECT_EQ(button(w, "resetBtn")->geometry().top(), key(w, c.columns + 1)->geometry().top());
        EXPECT_EQ(button(w, "exitBtn")->geometry().top(), key(w, c.keys)->geometry().top());
        EXPECT_EQ(text(button(w, "applyBtn")), "Apply");
        delete w;
        TearDown();
        SetUp();
    }
}

// Apply without changes sends entry n of the table as read for each of the N
// keys and zero after them, whatever the caller's copy held there.
TEST_F(EditorTest, ApplyWithoutChangesSendsTheTableAsReadWithTheRestZero)
{
    for (auto [layout, keys] : {std::pair{2, 4}, {5, 12}, {8, 16}}) {
        SCOPED_TRACE(layout);
        CodeTable custom = patternTable(0x20);
        custom[2] = 0xE1;   // key 2: Left Shift
        custom[1] = 0x0F;
        encoder.reset();
        keyCodeArray.fill(0xAA);   // stale bytes of an earlier read
        attach(layout, custom);
        QPointer<CodeTableEditorWindow> w = open(layout);
        ASSERT_TRUE(w);
        EXPECT_EQ(text(key(w, 1)), "0x0F");
        EXPECT_EQ(text(modifier(w, 1)), " None");
        EXPECT_EQ(text(modifier(w, 2)), "Left Shift");
        EXPECT_EQ(colour(key(w, 1)), CodeTableEditorWindow::red());

        button(w, "applyBtn")->click();
        EXPECT_FALSE(w->isEnabled());   // no edits while the encoder takes the table
        settle(w);
        const auto sent = loads();
        ASSERT_EQ(sent.size(), 1u);
        std::vector<std::uint8_t> expected(32, 0);
        std::copy_n(custom.begin(), 2 * keys, expected.begin());
        EXPECT_EQ(sent[0].payload, expected);
        EXPECT_EQ(sent[0].payload[2], 0xE1);
        EXPECT_TRUE(dialogs.records().empty());
        EXPECT_TRUE(closedAndGone(w));
        TearDown();
        SetUp();
    }
}

TEST_F(EditorTest, OneChoiceGivesEverySelectedKeyTheCode)
{
    attach(8, patternTable(0x30));
    QPointer<CodeTableEditorWindow> w = open(8);
    const std::string key2Before = text(key(w, 2));

    key(w, 1)->click();
    key(w, 3)->click();
    EXPECT_EQ(colour(key(w, 1)), CodeTableEditorWindow::orange());
    EXPECT_EQ(colour(key(w, 3)), CodeTableEditorWindow::orange());
    EXPECT_TRUE(codeList(w)->isVisible());
    choose(codeList(w), 0x1E);

    EXPECT_FALSE(codeList(w)->isVisible());
    for (int n : {1, 3}) {
        EXPECT_EQ(text(key(w, n)), "0x1E");
        EXPECT_EQ(colour(key(w, n)), CodeTableEditorWindow::green());
        EXPECT_EQ(w->model().currentKCode[static_cast<std::size_t>(n - 1)], 0x1E);
    }
    EXPECT_EQ(text(key(w, 2)), key2Before);
    EXPECT_EQ(colour(key(w, 2)), CodeTableEditorWindow::red());
    EXPECT_EQ(w->model().keySelected, 0u);

    button(w, "applyBtn")->click();
    settle(w);
    const auto sent = loads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload[1], 0x1E);
    EXPECT_EQ(sent[0].payload[3], patternTable(0x30)[3]);
    EXPECT_EQ(sent[0].payload[5], 0x1E);
}

// Key 1 selected, then a modifier button: the lists swap; after the modifier
// choice key 1 is still selected, and the next code reaches keys 1 and 2.
TEST_F(EditorTest, KeyAndModifierSelectionsLiveSideBySide)
{
    attach(5, patternTable(0x40));
    QPointer<CodeTableEditorWindow> w = open(5);
    const QColor normal = colour(modifier(w, 1));

    key(w, 1)->click();
    EXPECT_TRUE(codeList(w)->isVisible());
    modifier(w, 4)->click();
    EXPECT_FALSE(codeList(w)->isVisible());
    EXPECT_TRUE(modifierList(w)->isVisible());
    EXPECT_EQ(colour(modifier(w, 4)), CodeTableEditorWindow::orange());

    choose(modifierList(w), 6);
    EXPECT_FALSE(modifierList(w)->isVisible());
    EXPECT_EQ(text(modifier(w, 4)), "Right Shift");
    EXPECT_EQ(colour(modifier(w, 4)), normal);
    EXPECT_EQ(colour(key(w, 1)), CodeTableEditorWindow::orange());
    EXPECT_EQ(w->model().keySelected, 1u);

    key(w, 2)->click();
    choose(codeList(w), 0x28);
    EXPECT_EQ(text(key(w, 1)), "0x28");
    EXPECT_EQ(text(key(w, 2)), "0x28");

    // A modifier button clicked twice returns to its colour; the list stays shown.
    modifier(w, 5)->click();
    modifier(w, 5)->click();
    EXPECT_EQ(colour(modifier(w, 5)), normal);
    EXPECT_TRUE(modifierList(w)->isVisible());

    button(w, "applyBtn")->click();
    settle(w);
    const auto sent = loads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload[1], 0x28);
    EXPECT_EQ(sent[0].payload[3], 0x28);
    EXPECT_EQ(sent[0].payload[6], 0xE5);
    EXPECT_EQ(sent[0].payload[8], 0x00);
}

TEST_F(EditorTest, ACodeChosenWithNoKeySelectedChangesNothing)
{
    attach(2, patternTable(0x50));
    QPointer<CodeTableEditorWindow> w = open(2);
    key(w, 2)->click();
    key(w, 2)->click();
    EXPECT_EQ(colour(key(w, 2)), CodeTableEditorWindow::red());
    EXPECT_TRUE(codeList(w)->isVisible());

    choose(codeList(w), 0x04);
    EXPECT_FALSE(codeList(w)->isVisible());
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(colour(key(w, n)), CodeTableEditorWindow::red());
        EXPECT_EQ(w->model().currentKCode[static_cast<std::size_t>(n - 1)],
                  w->model().originalKCode[static_cast<std::size_t>(n - 1)]);
    }
    // The list keeps showing the last choice made in it.
    key(w, 3)->click();
    EXPECT_EQ(codeList(w)->currentIndex(), 0x04);
}

TEST_F(EditorTest, ResetRestoresEverythingAsLoadedAndSendsNothing)
{
    CodeTable custom = patternTable(0x60);
    custom[0] = 0xE2;
    attach(8, custom);
    QPointer<CodeTableEditorWindow> w = open(8);
    const QColor normal = colour(modifier(w, 1));
    std::vector<std::string> keyCaptions, modifierCaptions;
    for (int n = 1; n <= 16; ++n) {
        keyCaptions.push_back(text(key(w, n)));
        modifierCaptions.push_back(text(modifier(w, n)));
    }

    key(w, 1)->click();
    key(w, 16)->click();
    choose(codeList(w), 0x3A);
    modifier(w, 1)->click();
    choose(modifierList(w), 0);
    key(w, 5)->click();          // left selected
    modifier(w, 7)->click();     // left selected

    button(w, "resetBtn")->click();
    for (int n = 1; n <= 16; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        EXPECT_EQ(text(key(w, n)), keyCaptions[i]) << n;
        EXPECT_EQ(text(modifier(w, n)), modifierCaptions[i]) << n;
        EXPECT_EQ(colour(key(w, n)), CodeTableEditorWindow::red()) << n;
        EXPECT_EQ(colour(modifier(w, n)), normal) << n;
        EXPECT_EQ(w->model().currentKCode[i], w->model().originalKCode[i]);
        EXPECT_EQ(w->model().currentMCode[i], w->model().originalMCode[i]);
    }
    EXPECT_EQ(text(modifier(w, 1)), "Left    Alt");
    EXPECT_EQ(w->model().keySelected, 0u);
    EXPECT_EQ(w->model().modSelected, 0u);
    EXPECT_TRUE(encoder->receivedCommands().empty());

    button(w, "applyBtn")->click();
    settle(w);
    ASSERT_EQ(loads().size(), 1u);
    EXPECT_EQ(loads()[0].payload, std::vector<std::uint8_t>(custom.begin(), custom.end()));
}

TEST_F(EditorTest, FailedApplyKeepsTheWindowAndTheNextApplySendsTheSamePayload)
{
    attach(5, patternTable(0x70));
    QPointer<CodeTableEditorWindow> w = open(5);
    key(w, 12)->click();
    choose(codeList(w), 0xE0);
    modifier(w, 12)->click();
    choose(modifierList(w), 8);

    encoder->injectFault({sim::EncoderFault::Refuse, false, link::LOAD_CODE_TABLE});
    button(w, "applyBtn")->click();
    settle(w);
    ASSERT_EQ(dialogs.records().size(), 1u);
    EXPECT_EQ(dialogs.records()[0].caption, "Vardo USB Encoder");
    EXPECT_EQ(dialogs.records()[0].text, kLoadFailed);
    EXPECT_EQ(dialogs.records()[0].icon, platform::MessageIcon::Warning);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(text(key(w, 12)), "0xE0");

    button(w, "applyBtn")->click();
    settle(w);
    const auto sent = loads();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FALSE(sent[0].accepted);
    EXPECT_TRUE(sent[1].accepted);
    EXPECT_EQ(sent[0].payload, sent[1].payload);
    EXPECT_EQ(sent[1].payload[22], 0xE7);
    EXPECT_EQ(sent[1].payload[23], 0xE0);
    EXPECT_EQ(dialogs.records().size(), 1u);
    EXPECT_TRUE(closedAndGone(w));
}

// Unplugged with edits made: Apply says once that the encoder is not connected
// and keeps the edits; plugged in again (the main window re-scans), Apply sends them.
TEST_F(EditorTest, ApplyOnAnUnpluggedEncoderKeepsTheEditsForAfterReplug)
{
    attach(2, patternTable(0x10));
    QPointer<CodeTableEditorWindow> w = open(2);
    key(w, 2)->click();
    choose(codeList(w), 0x1E);
    encoder->unplug();
    button(w, "applyBtn")->click();
    settle(w);
    EXPECT_EQ(dialogs.messages(), std::vector<std::string>{"Vardo 710 Encoder not connected..\r\n"});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(w);
    EXPECT_EQ(text(key(w, 2)), "0x1E");

    encoder->plugIn();
    ASSERT_TRUE(slot->rescan());
    button(w, "applyBtn")->click();
    settle(w);
    const auto sent = loads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload[3], 0x1E);
    EXPECT_TRUE(closedAndGone(w));
}

// Keys: Esc closes as Close does (sending nothing once the edits are
// discarded), Enter applies; a changed key is marked in bold as well as in
// colour, and named so for screen readers.
TEST_F(EditorTest, EscClosesEnterAppliesAndChangedKeysAreBold)
{
    attach(8, patternTable(0x30));
    for (Qt::Key pressed : {Qt::Key_Escape, Qt::Key_Return}) {
        encoder->clearReceivedCommands();
        QPointer<CodeTableEditorWindow> w = open(8);
        key(w, 4)->click();
        choose(codeList(w), 0x04);
        EXPECT_TRUE(key(w, 4)->font().bold());
        EXPECT_FALSE(key(w, 5)->font().bold());
        EXPECT_EQ(key(w, 4)->accessibleName(), "Key 4 code 0x04, changed");
        EXPECT_EQ(modifier(w, 4)->accessibleName(), "Key 4 modifier None, changed");
        dialogs.answerEdits(platform::EditsChoice::Discard);
        QTest::keyClick(w, pressed);
        settle(w);
        EXPECT_EQ(loads().size(), pressed == Qt::Key_Return ? 1u : 0u);
        EXPECT_TRUE(closedAndGone(w));
    }
}

// A modifier byte that names no modifier key shows raw on its button and goes
// back unchanged, instead of being read as a list index (0x05 as "Right  Ctrl").
TEST_F(EditorTest, UnknownModifierByteShowsRawAndIsSentBackUnchanged)
{
    CodeTable custom = patternTable(0x08);
    custom[0] = 0x05;
    custom[2] = 0x05;
    attach(2, custom);
    QPointer<CodeTableEditorWindow> w = open(2);
    EXPECT_EQ(text(modifier(w, 1)), "0x05");
    EXPECT_EQ(text(modifier(w, 2)), "0x05");

    // Key 2's modifier is picked, then reset: back to the raw byte.
    modifier(w, 2)->click();
    choose(modifierList(w), 3);
    EXPECT_EQ(text(modifier(w, 2)), "Left    Alt");
    button(w, "resetBtn")->click();
    EXPECT_EQ(text(modifier(w, 2)), "0x05");
    // Key 1 keeps its raw byte, key 2 gets Left GUI.
    modifier(w, 2)->click();
    choose(modifierList(w), 4);

    button(w, "applyBtn")->click();
    settle(w);
    ASSERT_EQ(loads().size(), 1u);
    std::vector<std::uint8_t> expected(32, 0);
    std::copy_n(custom.begin(), 8, expected.begin());
    expected[2] = 0xE3;
    EXPECT_EQ(loads()[0].payload, expected);
}

TEST_F(EditorTest, SeveralEditorsKeepTheirOwnState)
{
    attach(8, patternTable(0x11));
    QPointer<CodeTableEditorWindow> a = open(8);
    QPointer<CodeTableEditorWindow> b = open(8);
    ASSERT_TRUE(a && b && a != b);

    key(a, 1)->click();
    choose(codeList(a), 0x2C);
    key(b, 1)->click();
    EXPECT_NE(text(key(b, 1)), "0x2C");
    EXPECT_EQ(colour(key(b, 1)), CodeTableEditorWindow::orange());
    EXPECT_EQ(colour(key(a, 1)), CodeTableEditorWindow::green());

    // Closing one (its edit discarded) leaves the other untouched and sends nothing.
    dialogs.answerEdits(platform::EditsChoice::Discard);
    button(a, "exitBtn")->click();
    EXPECT_TRUE(closedAndGone(a));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->model().keySelected, 1u);
    EXPECT_TRUE(encoder->receivedCommands().empty());
}

} // namespace

namespace {

// Close (the button, Esc or the title bar) with edits not yet applied asks:
// Cancel keeps them, Apply loads them and closes, Discard closes and sends nothing.
TEST_F(EditorTest, ClosingWithEditsNotAppliedAsksApplyDiscardOrCancel)
{
    attach(8, patternTable(0x30));
    QPointer<CodeTableEditorWindow> w = open(8);
    button(w, "exitBtn")->click();   // no edits: closes without a word
    EXPECT_TRUE(closedAndGone(w));
    EXPECT_TRUE(dialogs.records().empty());

    using platform::EditsChoice;
    for (EditsChoice choice : {EditsChoice::Cancel, EditsChoice::Apply, EditsChoice::Discard}) {
        encoder->clearReceivedCommands();
        dialogs.clear();
        w = open(8);
        QSignalSpy loaded(w.data(), &CodeTableEditorWindow::tableLoaded);
        key(w, 3)->click();
        key(w, 1)->click();
        choose(codeList(w), 0x2C);
        dialogs.answerEdits(choice);
        w->close();
        settle(w);
        ASSERT_EQ(dialogs.records().size(), 1u);
        EXPECT_EQ(dialogs.records()[0].text, "The code table has changes that are not in the encoder yet "
                                             "(keys 1, 3). Apply them before closing?");
        EXPECT_EQ(loads().size() + loaded.size(), choice == EditsChoice::Apply ? 2u : 0u);
        EXPECT_EQ(closedAndGone(w), choice != EditsChoice::Cancel);
        delete w.data();
    }
}

// The code list opens at the selected key's own code (its text still shows the
// last choice); the codes that are no key are marked; each key shows its number
// and its code's name, and a legend says what the colours mean.
TEST_F(EditorTest, TheListOpensAtTheKeysCodeAndKeysSayWhatTheySend)
{
    attach(8, patternTable(0x30));
    QPointer<CodeTableEditorWindow> w = open(8);
    EXPECT_EQ(w->findChild<QLabel*>("key4NameLbl")->text(), "Key 4: Period");   // 0x37
    key(w, 4)->click();
    codeList(w)->showPopup();
    EXPECT_EQ(codeList(w)->view()->currentIndex().row(), 0x37);
    codeList(w)->hidePopup();
    EXPECT_EQ(codeList(w)->currentIndex(), -1);   // still reads "Select Code"
    for (int code : {0, 3, 4})
        EXPECT_EQ(codeList(w)->itemData(code, Qt::ToolTipRole).isValid(), code < 4) << code;
    choose(codeList(w), 0x04);
    EXPECT_EQ(w->findChild<QLabel*>("key4NameLbl")->text(), "Key 4: a");
    EXPECT_TRUE(w->findChild<QLabel*>("legendLbl")->accessibleName().startsWith("Red: as loaded"));
}

// Every control a screen reader meets is named, the list shown for a selected key too.
TEST_F(EditorTest, EveryControlHasAName)
{
    attach(8, patternTable(0x30));
    QPointer<CodeTableEditorWindow> w = open(8);
    key(w, 1)->click();
    int controls = 0;
    EXPECT_EQ(testenv::unnamedControls(w, &controls).join(' ').toStdString(), "");
    EXPECT_EQ(controls, 36);
}

} // namespace
