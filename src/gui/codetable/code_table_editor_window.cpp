#include "codetable/code_table_editor_window.h"

#include "device/port_lock.h"
#include "platform/dialogs.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStringList>

#include <functional>

namespace vardo::codetable {

namespace {

constexpr int kMargin = 16;
constexpr int kHeadingHeight = 64;
constexpr int kModifierWidth = 86;
constexpr int kKeyWidth = 60;
constexpr int kButtonHeight = 34;
constexpr int kCellWidth = kModifierWidth + 4 + kKeyWidth + 18;
constexpr int kNameHeight = 16;
constexpr int kRowHeight = kButtonHeight + kNameHeight + 12;
constexpr int kRows = 4;
constexpr int kListWidth = 200;
constexpr int kSideButtonWidth = 110;

// Every failure said here: one OK button, the warning icon, a line break after the sentence.
void showWarning(const std::string& text)
{
    platform::dialogs().message(messages::kCaption, text + messages::kLineBreak, platform::MessageIcon::Warning);
}

void setButtonColour(QPushButton* b, const QColor& colour)
{
    QPalette p = b->palette();
    p.setColor(QPalette::Button, colour);
    b->setPalette(p);
}

// The code list opens at the code of the key being changed, not at 0x00,
// while its own text keeps showing the last choice made in it.
class CodeList : public QComboBox {
public:
    CodeList(QWidget* parent, std::function<int()> startRow) : QComboBox(parent), startRow_(std::move(startRow)) {}

    void showPopup() override
    {
        QComboBox::showPopup();
        const int row = startRow_();
        if (row < 0 || row >= count())
            return;
        view()->setCurrentIndex(model()->index(row, 0));
        view()->scrollTo(model()->index(row, 0), QAbstractItemView::PositionAtCenter);
    }

private:
    std::function<int()> startRow_;
};

const char* const kNotAKey = "Not a key: the encoder sends no key for this code";
const char* const kLegend =
    "<span style='background:red'>&nbsp;Red&nbsp;</span> as loaded or not selected &nbsp; "
    "<span style='background:orange'>&nbsp;Orange&nbsp;</span> selected for the next choice &nbsp; "
    "<span style='background:green; color:white'>&nbsp;Green&nbsp;</span> given a code<br>"
    "<b><i>Bold italics</i></b>: changed here, not yet applied to the encoder";
const char* const kLegendSpoken =
    "Red: as loaded or not selected. Orange: selected for the next choice. Green: given a code. "
    "Bold italics: changed here, not yet applied to the encoder.";
const char* const kUnappliedQuestion =
    "The code table has changes that are not in the encoder yet (%1). Apply them before closing?";

} // namespace

QColor CodeTableEditorWindow::orange() { return QColor(QStringLiteral("orange")); }
QColor CodeTableEditorWindow::green() { return QColor(QStringLiteral("green")); }
QColor CodeTableEditorWindow::red() { return QColor(QStringLiteral("red")); }

CodeTableEditorWindow::CodeTableEditorWindow(const EditorDesign& design, QWidget* owner)
    : QWidget(owner, Qt::Window)
    , design_(design)
    , model_(design.keyCount)
    , worker_(std::make_unique<platform::Worker>())
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromLatin1(design.title));

    label1 = new QLabel(QString::fromLatin1(design.heading), this);
    label1->setObjectName(QStringLiteral("label1"));
    QFont bold = label1->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() + 1);
    label1->setFont(bold);

    const int keysTop = kMargin + kHeadingHeight;
    const int columnX = kMargin + design.columns * kCellWidth + 8;
    label1->setGeometry(kMargin, kMargin / 2, columnX + kListWidth - kMargin, kHeadingHeight);

    for (int key = 1; key <= design.keyCount; ++key) {
        const int x = kMargin + ((key - 1) % design.columns) * kCellWidth;
        const int y = keysTop + ((key - 1) / design.columns) * kRowHeight;

        auto* modifier = new QPushButton(QStringLiteral("None"), this);
        modifier->setObjectName(QStringLiteral("modifierBtn%1").arg(key));
        modifier->setGeometry(x, y, kModifierWidth, kButtonHeight);
        connect(modifier, &QPushButton::clicked, this, [this, key] { onModifierKeyChosen(key); });
        modifierBtn.push_back(modifier);

        auto* keyButton = new QPushButton(QStringLiteral("Key %1").arg(key), this);
        keyButton->setObjectName(QStringLiteral("key%1Btn").arg(key));
        keyButton->setGeometry(x + kModifierWidth + 4, y, kKeyWidth, kButtonHeight);
        setButtonColour(keyButton, red());
        connect(keyButton, &QPushButton::clicked, this, [this, key] { onKeyChosen(key); });
        keyBtn.push_back(keyButton);

        // The hex caption alone does not say which key it is or what it sends.
        auto* name = new QLabel(this);
        name->setObjectName(QStringLiteral("key%1NameLbl").arg(key));
        name->setGeometry(x - 14, y + kButtonHeight + 2, kModifierWidth + 18 + kKeyWidth, kNameHeight);
        name->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QFont small = name->font();
        small.setPointSizeF(small.pointSizeF() - 1);
        name->setFont(small);
        keyNameLbl.push_back(name);
    }

    // The two lists take turns in the same place, level with the first row.
    selectCodeCbox = new CodeList(this, [this] { return model_.codeListStart(); });
    selectCodeCbox->setObjectName(QStringLiteral("selectCodeCbox"));
    selectCodeCbox->setAccessibleName(QStringLiteral("Code for the selected keys"));
    for (std::string_view text : usageItemTexts())
        selectCodeCbox->addItem(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    for (int code = 0; code < kUsageCodeCount; ++code) {
        if (isKeyCode(static_cast<std::uint8_t>(code)))
            continue;
        selectCodeCbox->setItemData(code, QColor(Qt::gray), Qt::ForegroundRole);
        selectCodeCbox->setItemData(code, QString::fromLatin1(kNotAKey), Qt::ToolTipRole);
        selectCodeCbox->setItemData(code, QString::fromLatin1(kNotAKey), Qt::AccessibleDescriptionRole);
    }
    selectCodeCbox->setPlaceholderText(QStringLiteral("Select Code"));
    selectCodeCbox->setCurrentIndex(-1);
    selectCodeCbox->setMaxVisibleItems(20);
    selectCodeCbox->setGeometry(columnX, keysTop, kListWidth, kButtonHeight);
    connect(selectCodeCbox, &QComboBox::activated, this,
            &CodeTableEditorWindow::onCodeChosen);

    selectModifierCbox = new QComboBox(this);
    selectModifierCbox->setObjectName(QStringLiteral("selectModifierCbox"));
    selectModifierCbox->setAccessibleName(QStringLiteral("Modifier for the selected keys"));
    for (std::string_view text : modifierItemTexts())
        selectModifierCbox->addItem(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    selectModifierCbox->setPlaceholderText(QStringLiteral("Modifier"));
    selectModifierCbox->setCurrentIndex(-1);
    selectModifierCbox->setGeometry(columnX, keysTop, kListWidth, kButtonHeight);
    connect(selectModifierCbox, &QComboBox::activated, this,
            &CodeTableEditorWindow::onModifierChosen);

    auto sideButton = [&](const char* name, const char* text, int row) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(columnX, keysTop + row * kRowHeight, kSideButtonWidth, kButtonHeight);
        return b;
    };
    resetBtn = sideButton("resetBtn", "Reset", 1);
    applyBtn = sideButton("applyBtn", "Apply", 2);
    exitBtn = sideButton("exitBtn", "Close", 3);
    // Enter on a focused button presses it; elsewhere it applies (keyPressEvent).
    for (QPushButton* b : {resetBtn, applyBtn, exitBtn})
        b->setAutoDefault(true);
    applyBtn->setDefault(true);
    connect(resetBtn, &QPushButton::clicked, this, &CodeTableEditorWindow::onResetTable);
    connect(applyBtn, &QPushButton::clicked, this, &CodeTableEditorWindow::onApplyTable);
    connect(exitBtn, &QPushButton::clicked, this, &CodeTableEditorWindow::onExitEditor);

    legendLbl = new QLabel(QString::fromLatin1(kLegend), this);
    legendLbl->setObjectName(QStringLiteral("legendLbl"));
    legendLbl->setAccessibleName(QString::fromLatin1(kLegendSpoken));
    legendLbl->setWordWrap(true);
    const int legendWidth = columnX + kListWidth - 2 * kMargin;
    const int legendHeight = legendLbl->heightForWidth(legendWidth);
    legendLbl->setGeometry(kMargin, keysTop + kRows * kRowHeight, legendWidth, legendHeight);

    setFixedSize(columnX + kListWidth + kMargin, keysTop + kRows * kRowHeight + legendHeight + kMargin);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void CodeTableEditorWindow::openTable(const CodeTable& keyCodeArray)
{
    model_.open(keyCodeArray);
    for (int key = 1; key <= design_.keyCount; ++key)
        keyBtn[static_cast<std::size_t>(key - 1)]->setText(
            QString::fromStdString(model_.keyCaption(key)));
}

void CodeTableEditorWindow::showEvent(QShowEvent* event)
{
    if (!loaded_) {
        loaded_ = true;
        runLoadStep();
    }
    QWidget::showEvent(event);
}

void CodeTableEditorWindow::loadSteps()
{
    model_.load(modifierBtn.front()->palette().color(QPalette::Button).rgba());
    refresh();
}

void CodeTableEditorWindow::refresh()
{
    const QColor normal = QColor::fromRgba(model_.currentMBColour);
    for (int key = 1; key <= design_.keyCount; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        keyBtn[i]->setText(QString::fromStdString(model_.keyCaption(key)));
        switch (model_.keyColour(key)) {
        case KeyColour::Red: setButtonColour(keyBtn[i], red()); break;
        case KeyColour::Orange: setButtonColour(keyBtn[i], orange()); break;
        case KeyColour::Green: setButtonColour(keyBtn[i], green()); break;
        }
        modifierBtn[i]->setText(QString::fromStdString(model_.modifierCaption(key)));
        setButtonColour(modifierBtn[i], model_.modifierSelected(key) ? orange() : normal);
        // A changed key shows in its type too, not in colour alone.
        const bool changed = model_.currentKCode[i] != model_.originalKCode[i]
                          || model_.currentMCode[i] != model_.originalMCode[i];
        for (QPushButton* b : {keyBtn[i], modifierBtn[i]}) {
            QFont f = b->font();
            f.setBold(changed);
            f.setItalic(changed);
            b->setFont(f);
        }
        const auto code = static_cast<std::uint8_t>(model_.currentKCode[i]);
        const std::string_view name = usageName(code);
        keyNameLbl[i]->setText(QStringLiteral("Key %1: %2").arg(key).arg(
            QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()))));
        const QString state = changed ? QStringLiteral(", changed") : QString();
        keyBtn[i]->setAccessibleName(QStringLiteral("Key %1 code %2%3").arg(key).arg(keyBtn[i]->text(), state));
        modifierBtn[i]->setAccessibleName(
            QStringLiteral("Key %1 modifier %2%3").arg(key).arg(modifierBtn[i]->text().trimmed(), state));
    }
    selectCodeCbox->setVisible(model_.codeListVisible());
    selectModifierCbox->setVisible(model_.modifierListVisible());
}

void CodeTableEditorWindow::onKeyChosen(int key)
{
    model_.keyClicked(key);
    refresh();
}

void CodeTableEditorWindow::onModifierKeyChosen(int key)
{
    model_.modifierClicked(key);
    refresh();
}

void CodeTableEditorWindow::onCodeChosen(int index)
{
    model_.codeChosen(index);
    refresh();
}

void CodeTableEditorWindow::onModifierChosen(int index)
{
    model_.modifierChosen(index);
    refresh();
}

void CodeTableEditorWindow::onResetTable()
{
    model_.reset();
    refresh();
}

void CodeTableEditorWindow::onApplyTable()
{
    applyTable();
}

void CodeTableEditorWindow::applyTable()
{
    if (applying_)
        return;
    const CodeTable payload = model_.payload();
    struct Load {
        bool locked = false;
        bool ok = false;
        bool lost = false;
    };
    // The window stays drawn but takes no edits until the encoder has answered.
    applying_ = true;
    setEnabled(false);
    worker_->run([slot = encoder_, payload] {
        Load load;
        const auto encoder = slot ? slot->get() : nullptr;
        const auto lock = device::lockForOperation(encoder.get(), showWarning);
        if (!lock)
            return load;
        load.locked = true;
        load.ok = encoder && encoder->loadTable(payload) == device::Result::Ok;
        load.lost = !load.ok && slot && slot->lost();
        return load;
    }, [this, payload](const Load& load) {
        applying_ = false;
        setEnabled(true);
        if (!load.locked)
            return;
        if (!load.ok) {
            // The edits stay: Apply works again once the encoder is back.
            showWarning(load.lost ? messages::kNotConnected : messages::kLoadTableFailed);
            return;
        }
        applied_ = true;
        const std::size_t changed = model_.changedKeys().size();
        emit tableLoaded(QStringLiteral("Code table loaded into the encoder (%1 of %2 keys changed)")
                             .arg(changed)
                             .arg(design_.keyCount),
                         payload);
        close();
    });
}

void CodeTableEditorWindow::closeEvent(QCloseEvent* event)
{
    // Applying, the window closes itself once the encoder has taken the table.
    if (applying_) {
        event->ignore();
        return;
    }
    const std::vector<int> changed = model_.changedKeys();
    if (applied_ || changed.empty()) {
        event->accept();
        return;
    }
    QStringList keys;
    for (int key : changed)
        keys << QString::number(key);
    const QString which = (changed.size() == 1 ? QStringLiteral("key ") : QStringLiteral("keys "))
                        + keys.join(QStringLiteral(", "));
    const std::string text = QString::fromLatin1(kUnappliedQuestion).arg(which).toStdString();
    switch (platform::dialogs().applyDiscardCancel(messages::kCaption, text)) {
    case platform::EditsChoice::Apply:
        // Taken, the table closes the window; refused, it stays open with its edits.
        event->ignore();
        applyTable();
        return;
    case platform::EditsChoice::Discard:
        event->accept();
        return;
    case platform::EditsChoice::Cancel:
        event->ignore();
        return;
    }
}

void CodeTableEditorWindow::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        onExitEditor();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        onApplyTable();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CodeTableEditorWindow::onExitEditor()
{
    close();
}

} // namespace vardo::codetable

namespace {

const vardo::codetable::EditorDesign k4Way{
    4, 1, "4 Way Layout", "Customise 4 Way Code Table\r\n       (USB Codes in Hex)"};
const vardo::codetable::EditorDesign k12Way{
    12, 3, "Customise 12 Way Keypad Table", "Customise 12 Way Code Table\r\n    (USB Codes in Hex)"};
const vardo::codetable::EditorDesign k16Way{
    16, 4, "Customise 16 Way Keypad Table",
    " Customise 16 Way Code Table\r\n           (USB Codes in Hex)\r\n"};

} // namespace

My4way_layout::My4way_layout(QWidget* owner) : CodeTableEditorWindow(k4Way, owner)
{
    setObjectName(QStringLiteral("My4way_layout"));
}

void My4way_layout::My4way_layout_Load() { loadSteps(); }

My12way_layout::My12way_layout(QWidget* owner) : CodeTableEditorWindow(k12Way, owner)
{
    setObjectName(QStringLiteral("My12way_layout"));
}

void My12way_layout::My12way_layout_Load() { Initialisation(); }

void My12way_layout::Initialisation() { loadSteps(); }

My16way_layout::My16way_layout(QWidget* owner) : CodeTableEditorWindow(k16Way, owner)
{
    setObjectName(QStringLiteral("My16way_layout"));
}

void My16way_layout::My16way_layout_Load() { loadSteps(); }
