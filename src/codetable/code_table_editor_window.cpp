#include "codetable/code_table_editor_window.h"

#include "device/port_lock.h"
#include "platform/dialogs.h"

#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace vardo::codetable {

namespace {

constexpr int kMargin = 16;
constexpr int kHeadingHeight = 64;
constexpr int kModifierWidth = 86;
constexpr int kKeyWidth = 60;
constexpr int kButtonHeight = 34;
constexpr int kCellWidth = kModifierWidth + 4 + kKeyWidth + 18;
constexpr int kRowHeight = 48;
constexpr int kRows = 4;
constexpr int kListWidth = 200;
constexpr int kSideButtonWidth = 110;

void setButtonColour(QPushButton* b, const QColor& colour)
{
    QPalette p = b->palette();
    p.setColor(QPalette::Button, colour);
    b->setPalette(p);
}

} // namespace

QColor CodeTableEditorWindow::orange() { return QColor(QStringLiteral("orange")); }
QColor CodeTableEditorWindow::green() { return QColor(QStringLiteral("green")); }
QColor CodeTableEditorWindow::red() { return QColor(QStringLiteral("red")); }

CodeTableEditorWindow::CodeTableEditorWindow(const EditorDesign& design, QWidget* owner)
    : QWidget(owner, Qt::Window), design_(design), model_(design.keyCount)
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
    }

    // The two lists take turns in the same place, level with the first row.
    selectCodeCbox = new QComboBox(this);
    selectCodeCbox->setObjectName(QStringLiteral("selectCodeCbox"));
    for (std::string_view text : usageItemTexts())
        selectCodeCbox->addItem(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    selectCodeCbox->setPlaceholderText(QStringLiteral("Select Code"));
    selectCodeCbox->setCurrentIndex(-1);
    selectCodeCbox->setMaxVisibleItems(20);
    selectCodeCbox->setGeometry(columnX, keysTop, kListWidth, kButtonHeight);
    connect(selectCodeCbox, &QComboBox::activated, this,
            &CodeTableEditorWindow::onCodeChosen);

    selectModifierCbox = new QComboBox(this);
    selectModifierCbox->setObjectName(QStringLiteral("selectModifierCbox"));
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

    setFixedSize(columnX + kListWidth + kMargin, keysTop + kRows * kRowHeight);
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
    const CodeTable payload = model_.payload();
    const auto lock = device::lockForOperation(encoder_ ? encoder_->get().get() : nullptr, [](const std::string& why) {
        platform::dialogs().message(messages::kCaption, why + messages::kLineBreak, platform::MessageIcon::Warning);
    });
    if (!lock)
        return;
    const auto load = [&](device::Encoder& e) { return e.loadTable(payload); };
    if (encoder_ && encoder_->with(load) == device::Result::Ok) {
        close();
        return;
    }
    // The edits stay: Apply works again once the encoder is back.
    const char* text = encoder_ && encoder_->lost() ? messages::kNotConnected : messages::kLoadTableFailed;
    platform::dialogs().message(messages::kCaption, std::string(text) + messages::kLineBreak,
                                platform::MessageIcon::Warning);
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
