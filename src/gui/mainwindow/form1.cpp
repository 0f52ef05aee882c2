#include "mainwindow/form1.h"

#include "mainwindow/encoder_menu.h"

#include "codetable/code_table_editor.h"
#include "codetable/code_table_editor_window.h"
#include "codetable/usage_codes.h"
#include "config/utility_config.h"
#include "firmware/firmware_upgrade.h"
#include "device/encoder_choice.h"
#include "device/outcome.h"
#include "device/port_lock.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_targets.h"
#include "link/device_access.h"
#include "link/encoder_commands.h"
#include "link/messages.h"
#include "mainwindow/about.h"
#include "mainwindow/form1_widgets.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/qt_dialogs.h"
#include "platform/user_folder.h"
#include "selftest/self_test.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextEdit>

#include <algorithm>
#include <utility>

namespace {

using vardo::platform::dialogs;
namespace link = vardo::link;
namespace messages = vardo::messages;

// Added below the message when the encoder is there but this user may not open it.
const std::string kMsgNoPermission =
    std::string("The encoder is on the USB bus, but this user has no permission to open it.\r\n"
                "Install the udev rule ")
    + vardo::link::kUdevRulePath + " and plug the encoder in again.";
constexpr const char* kOpenFileFilter = "(*.ini)|*.ini|All files (*.ini)|*.ini";
constexpr const char* kOpenFileInitialName = "openFileDialogBrowse";
constexpr const char* kFolderDescription = "Select Folder - To Copy The USBUtilityCfg.ini File";

const QString kLine1Start = QStringLiteral("Device Connected   -    ");
const QString kLine1Gap = QStringLiteral("       Firmware Version        -   ");
const QString kLine1NoneGap = QStringLiteral("                                Firmware Version        -   ");
const QString kLine2Start = QStringLiteral("Keypad Selected     -    ");
const QString kLine2Gap = QStringLiteral("                                Code Table Loaded     -   ");
const QString kNone = QStringLiteral("None");
const QString kTitle = QStringLiteral("USB Encoder Configuration Utility");
const QString kNotSaved = QStringLiteral("Not saved as power-up defaults");

// What the status bar says after an action, and what to do without an encoder.
const QString kNoEncoderHint =
    QStringLiteral("No encoder: plug it in, install the udev rule %1 (by hand: copy it to "
                   "/etc/udev/rules.d), then press Scan For Device.")
        .arg(QString::fromLatin1(vardo::link::kUdevRulePath));
// At the first start the box shows before the window: it says what comes next.
const std::string kMsgNextStepAtStart =
    std::string("The main window opens next, without an encoder: plug it in, install the udev rule ")
    + vardo::link::kUdevRulePath + " (by hand: copy it to /etc/udev/rules.d), then press Scan For Device.";
constexpr const char* kFactoryResetCaption = "Reset To Factory Default";
constexpr const char* kImportCaption = "Import Cfg File";
constexpr const char* kImportQuestion = "Send the imported settings to the encoder now?";
constexpr const char* kUpgradeCaption = "Firmware Upgrade";
constexpr const char* kMsgUpgradeRunning =
    "A firmware upgrade is running: stopping it now would leave the encoder without working "
    "firmware. The program ends when the upgrade has ended.";

QString fromLocal8(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// Every failure the operator sees: one OK button, warning icon, and a line
// break (CR LF, as in every other window) after the sentence.
void showMessage(const std::string& text)
{
    dialogs().message(messages::kCaption, text + messages::kLineBreak, vardo::platform::MessageIcon::Warning);
}

const vardo::config::Report kReport = [](const std::string& text) { showMessage(text); };

// The encoder in use has left the bus (what a failure then means); false without one.
bool encoderGone(const vardo::device::EncoderSlot& slot)
{
    const auto encoder = slot.get();
    return encoder && !encoder->attached();
}

QComboBox* makeBox(QWidget* parent, const char* name, const QString& caption, const QString& placeholder,
                   const QStringList& items, QRect geometry, QObject* boxFilter)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    // Screen readers name the box by what it sets; the choice is its value.
    // On Linux Qt names a box by its choice and takes the caption from the
    // label it is labelled by: an unseen one, the boxes saying it themselves.
    box->setAccessibleName(caption);
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name) + QStringLiteral("Caption"));
    label->setBuddy(box);
    label->hide();
    box->addItems(items);
    box->setPlaceholderText(placeholder);
    box->setCurrentIndex(-1);
    box->setFont(vardo::ui::windowFont(12));
    box->setGeometry(geometry);
    box->setEnabled(false);
    box->setFocusPolicy(Qt::StrongFocus);   // the wheel alone does not focus it
    box->installEventFilter(boxFilter);
    return box;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text, QRect geometry,
                        double pointSize = 13.8, bool mouseOnly = false)
{
    auto* button = new vardo::ui::WrapButton(text, parent, mouseOnly);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(text);
    // Outside a dialog Qt leaves Enter to the button only when asked.
    button->setAutoDefault(!mouseOnly);
    button->setFont(vardo::ui::windowFont(pointSize));
    button->setGeometry(geometry);
    return button;
}

QStringList numberedItems(const QString& prefix, int count)
{
    QStringList items;
    for (int i = 0; i < count; ++i)
        items << prefix + QString::number(i);
    return items;
}

} // namespace

Form1::Form1(QWidget* parent)
    : QWidget(parent)
    , encoder_(std::make_shared<vardo::device::EncoderSlot>())
    , worker_(std::make_unique<vardo::platform::Worker>())
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kTitle);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(891, 500);
    applicationEnder_ = [] {
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    };
    buildControls();
}

Form1::~Form1()
{
    worker_.reset();   // the exchange in progress ends first; its result is not shown
    watch_.reset();   // no change is carried here any more
    for (const QPointer<QWidget>& w : windows_)
        delete w.data();
}

void Form1::buildControls()
{
    buildStatusPanel();
    buildSettingsBoxes();
    buildButtons();
    buildMenu();
    connectHandlers();
    // Reading order, Scan For Device first.
    QWidget* order[] = {button11, keypadTypeCbox, ledBrightnessCbox, ledColourCbox, buzzerCbox,
                        buzzerPeriodCbox, button2, button1, button3, button8, btnLoadFirmware,
                        button9, button10};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void Form1::buildStatusPanel()
{
    using vardo::ui::windowFont;

    label1 = new QLabel(QStringLiteral("USB Encoder Configuration Utility"), this);
    label1->setObjectName(QStringLiteral("label1"));
    label1->setAlignment(Qt::AlignCenter);
    label1->setFont(windowFont(24, true));
    label1->setGeometry(179, 23, 530, 37);

    button11 = makeButton(this, "button11", QStringLiteral("Scan For Device"), {27, 82, 109, 67}, 18);

    richTextBox1 = new QTextEdit(this);
    richTextBox1->setObjectName(QStringLiteral("richTextBox1"));
    richTextBox1->setReadOnly(true);
    richTextBox1->setLineWrapMode(QTextEdit::NoWrap);
    richTextBox1->setFocusPolicy(Qt::ClickFocus);
    // The longest layout line must fit the panel in the substitute font too:
    // a thin frame, a small margin and letters 4 % closer keep it inside.
    QFont panelFont = windowFont(12);
    panelFont.setLetterSpacing(QFont::PercentageSpacing, 96);
    richTextBox1->setFont(panelFont);
    richTextBox1->setFrameStyle(QFrame::Box | QFrame::Plain);
    richTextBox1->setLineWidth(1);
    richTextBox1->document()->setDocumentMargin(2);
    richTextBox1->setGeometry(158, 82, 680, 68);
    richTextBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette panel = richTextBox1->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        panel.setColor(group, QPalette::Base, QColor(192, 255, 255));
        panel.setColor(group, QPalette::Text, QColor(105, 105, 105));
    }
    richTextBox1->setPalette(panel);
    richTextBox1->setAccessibleName(QStringLiteral("Encoder status"));
    richTextBox1->verticalScrollBar()->setAccessibleName(QStringLiteral("Encoder status scroll bar"));
}

void Form1::buildSettingsBoxes()
{
    auto* blocker = new vardo::ui::SettingsBoxFilter(this);
    QStringList layouts;
    for (std::string_view text : vardo::codetable::layoutItemTexts())
        layouts << QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    keypadTypeCbox = makeBox(this, "keypadTypeCbox", QStringLiteral("Keypad layout"),
                             QStringLiteral("Keypad - Layout"), layouts, {27, 173, 207, 28}, blocker);
    ledBrightnessCbox = makeBox(this, "ledBrightnessCbox", QStringLiteral("LED brightness"),
                                QStringLiteral("LED Brightness"),
                                numberedItems(QStringLiteral("LED Brightness - "), 10),
                                {330, 173, 207, 28}, blocker);
    ledColourCbox = makeBox(this, "ledColourCbox", QStringLiteral("LED colour"), QStringLiteral("LED Colour"),
                            {QStringLiteral("LED Colour - White")}, {632, 173, 207, 28}, blocker);
    buzzerCbox = makeBox(this, "buzzerCbox", QStringLiteral("Buzzer"), QStringLiteral("Buzzer"),
                         {QStringLiteral("Buzzer - Off"), QStringLiteral("Buzzer - On")},
                         {27, 245, 207, 28}, blocker);
    buzzerPeriodCbox = makeBox(this, "buzzerPeriodCbox", QStringLiteral("Buzzer period"),
                               QStringLiteral("Buzzer Period"),
                               numberedItems(QStringLiteral("Buzzer Period -"), 10),
                               {330, 245, 207, 28}, blocker);
}

void Form1::buildButtons()
{
    button2 = makeButton(this, "button2", QStringLiteral("Test Encoder"), {632, 231, 206, 50});
    button1 = makeButton(this, "button1", QStringLiteral("Customise Code Table"), {27, 318, 206, 50});
    button3 = makeButton(this, "button3", QStringLiteral("Reset From Configuration File"),
                         {333, 314, 203, 58});
    button8 = makeButton(this, "button8", QStringLiteral("Save Changes"), {632, 318, 206, 50});
    btnLoadFirmware = makeButton(this, "btnLoadFirmware", QStringLiteral("Update Encoder Firmware"),
                                 {27, 398, 206, 67}, 13.8, true);
    button9 = makeButton(this, "button9", QStringLiteral("Reset To Factory Default"),
                         {330, 398, 206, 67});
    button10 = makeButton(this, "button10", QStringLiteral("Exit"), {632, 398, 206, 67});
    for (QPushButton* b : {button2, button1, button8, button9})
        b->setEnabled(false);
}

void Form1::buildMenu()
{
    using vardo::ui::windowFont;

    menuStrip1 = new QMenuBar(this);
    menuStrip1->setObjectName(QStringLiteral("menuStrip1"));
    menuStrip1->setNativeMenuBar(false);
    menuStrip1->setAccessibleName(QStringLiteral("Menu bar"));
    menuStrip1->setFont(windowFont(9));
    menuStrip1->setGeometry(0, 0, 891, 24);
    QMenu* file = menuStrip1->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("helpToolStripMenuItem"));
    QAction* import = file->addAction(QStringLiteral("&Import Cfg File"));
    importAction_ = import;
    import->setObjectName(QStringLiteral("aboutVardoUSBEncoderConfiguratorToolStripMenuItem"));
    QAction* exportAction = file->addAction(QStringLiteral("&Export Cfg File"));
    exportAction->setObjectName(QStringLiteral("exitToolStripMenuItem"));
    QAction* exitAction = file->addAction(QStringLiteral("E&xit"));
    exitAction->setObjectName(QStringLiteral("exitToolStripMenuItem1"));
    // Several encoders attached: the operator chooses the one served here.
    new vardo::ui::EncoderMenu(file, exitAction, [this] { onScanForDevice(); },
                               [this](const std::string& port) { updateFirmwareInLoader(port); });
    QMenu* help = menuStrip1->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpToolStripMenuItem1"));
    QAction* aboutAction = help->addAction(QStringLiteral("&About Keypad Configuration Utility"));
    aboutAction->setObjectName(QStringLiteral("aboutVardoUSBEncoderConfiguratorToolStripMenuItem1"));

    statusStrip1 = new QStatusBar(this);
    statusStrip1->setObjectName(QStringLiteral("statusStrip1"));
    statusStrip1->setSizeGripEnabled(false);
    statusStrip1->setGeometry(0, 478, 891, 22);
    statusStrip1->setFont(windowFont(8.25));
    encoderIdentityLbl = new QLabel(statusStrip1);
    encoderIdentityLbl->setObjectName(QStringLiteral("encoderIdentityLbl"));
    unsavedLbl = new QLabel(kNotSaved, statusStrip1);
    unsavedLbl->setObjectName(QStringLiteral("unsavedLbl"));
    unsavedLbl->setToolTip(QStringLiteral("The encoder runs with these settings, but a replug brings back "
                                          "its power-up defaults: press Save Changes to keep them"));
    QFont marked = unsavedLbl->font();
    marked.setBold(true);
    unsavedLbl->setFont(marked);
    unsavedLbl->hide();
    statusStrip1->addPermanentWidget(unsavedLbl);
    statusStrip1->addPermanentWidget(encoderIdentityLbl);

    connect(import, &QAction::triggered, this, &Form1::onImportConfig);
    connect(exportAction, &QAction::triggered, this, &Form1::onExportConfig);
    connect(exitAction, &QAction::triggered, this, &Form1::onMenuExit);
    connect(aboutAction, &QAction::triggered, this, &Form1::onAbout);
}

void Form1::connectHandlers()
{
    connect(button11, &QPushButton::clicked, this, &Form1::onScanForDevice);
    connect(button2, &QPushButton::clicked, this, &Form1::onTestEncoder);
    connect(button1, &QPushButton::clicked, this, &Form1::onCustomiseCodeTable);
    connect(button3, &QPushButton::clicked, this, &Form1::onResetFromConfigFile);
    connect(button8, &QPushButton::clicked, this, &Form1::onSaveChanges);
    connect(button9, &QPushButton::clicked, this, &Form1::onFactoryReset);
    connect(button10, &QPushButton::clicked, this, &Form1::onExit);
    connect(btnLoadFirmware, &QPushButton::clicked, this, &Form1::onUpdateFirmware);
    // `activated` is the operator's commit; selections made here emit nothing of it.
    connect(ledBrightnessCbox, &QComboBox::activated, this, &Form1::onBrightnessChosen);
    connect(ledColourCbox, &QComboBox::activated, this, &Form1::onColourChosen);
    connect(buzzerCbox, &QComboBox::activated, this, &Form1::onBuzzerChosen);
    connect(buzzerPeriodCbox, &QComboBox::activated, this, &Form1::onBuzzerPeriodChosen);
    connect(keypadTypeCbox, &QComboBox::activated, this, &Form1::onKeypadTypeChosen);
}

// ---- Device state -----------------------------------------------------------

Form1::StatusRead Form1::GetDeviceStatusMessage(const vardo::device::EncoderSlot& slot,
                                                link::DeviceStatus status)
{
    StatusRead read;
    const auto encoder = slot.get();
    if (encoder && encoder->readStatus(status) == vardo::device::Result::Ok) {
        read.ok = true;
        read.status = std::move(status);
        read.path = encoder->identity().path;
    } else {
        read.gone = encoder && !encoder->attached();
    }
    return read;
}

bool Form1::takeStatus(const StatusRead& read)
{
    if (!read.ok)
        return false;
    deviceStatus = read.status;
    powerUp_.seen(read.path, read.status);
    return true;
}

Form1::ScanResult Form1::rescan(vardo::device::EncoderSlot& slot, const link::DeviceStatus& current)
{
    ScanResult scan;
    scan.found = slot.rescan();
    if (!scan.found)
        scan.notPermitted = link::encoderListedButNotPermitted();
    scan.status = GetDeviceStatusMessage(slot, current);
    scan.loaders = vardo::firmware::attachedDevices().loaders;
    return scan;
}

// ---- Work on the worker -------------------------------------------------------

void Form1::holdControls()
{
    working_ = true;
    const std::initializer_list<QWidget*> held = {button11, keypadTypeCbox, ledBrightnessCbox,
                                                  ledColourCbox, buzzerCbox, buzzerPeriodCbox,
                                                  button2, button1, button3, button8,
                                                  btnLoadFirmware, button9};
    // A disabled control passes its focus on (to Exit, at the end of the
    // chain): the read-only panel keeps it meanwhile, so no key lands there.
    focusBefore_ = nullptr;
    if (std::find(held.begin(), held.end(), focusWidget()) != held.end()) {
        focusBefore_ = focusWidget();
        richTextBox1->setFocus();
    }
    held_.clear();
    for (QWidget* w : held) {
        held_.emplace_back(w, w->isEnabled());
        w->setEnabled(false);
    }
    importHeld_ = importAction_->isEnabled();
    importAction_->setEnabled(false);
    // The pointer says why nothing may be pressed: the encoder is being waited for.
    setCursor(Qt::BusyCursor);
}

void Form1::releaseControls()
{
    for (const auto& [w, enabled] : held_)
        w->setEnabled(enabled);
    held_.clear();
    importAction_->setEnabled(importHeld_);
    if (focusBefore_ && focusBefore_->isEnabled() && focusWidget() == richTextBox1)
        focusBefore_->setFocus();
    focusBefore_ = nullptr;
    unsetCursor();
    working_ = false;
}

void Form1::runDeferred()
{
    if (working_)
        return;
    if (std::exchange(exitAfterWork_, false))
        onExit();
    else if (std::exchange(closeAfterWork_, false))
        close();
    else if (std::exchange(scanAfterWork_, false))
        onScanForDevice();
    else if (std::exchange(changeAfterWork_, false))
        onDeviceChange();
}

void Form1::EnableDisableFunctionButtons(bool btnEnabled)
{
    const int mask = deviceStatus.optionsFitted;
    ledBrightnessCbox->setEnabled((mask & link::kOptionLedBrightness) ? btnEnabled : false);
    ledColourCbox->setEnabled((mask & link::kOptionLedColour) ? btnEnabled : false);
    if (mask & link::kOptionBuzzer) {
        buzzerCbox->setEnabled(btnEnabled);
        buzzerPeriodCbox->setEnabled(btnEnabled);
    } else {
        buzzerCbox->setEnabled(false);
        buzzerPeriodCbox->setEnabled(false);
        ledColourCbox->setEnabled(false);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{keypadTypeCbox, button1, button8, button9,
                                                      button2, button3})
        w->setEnabled(btnEnabled);
}

// A value the box has no item for leaves the box on its placeholder text.
void Form1::selectItem(QComboBox* box, int index)
{
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

void Form1::ShowDeviceStatus()
{
    EnableDisableFunctionButtons(true);
    selectItem(ledBrightnessCbox, deviceStatus.ledBrightness);
    selectItem(ledColourCbox, deviceStatus.ledColour);
    selectItem(buzzerCbox, deviceStatus.buzzer);
    selectItem(buzzerPeriodCbox, deviceStatus.buzzerPeriod);
    selectItem(keypadTypeCbox, deviceStatus.keypadType);
    presentEncoderLines();
}

void Form1::ShowNoDevice()
{
    for (QComboBox* box :
         {keypadTypeCbox, ledBrightnessCbox, ledColourCbox, buzzerCbox, buzzerPeriodCbox})
        box->setCurrentIndex(-1);
    showStatusLines(kLine1Start + kNone + kLine1NoneGap + kNone,
                    kLine2Start + kNone + kLine2Gap + kNone);
    EnableDisableFunctionButtons(false);
}

void Form1::presentEncoderLines()
{
    const QString model = QString::fromLatin1(messages::modelName(deviceStatus.optionsFitted));
    const std::string_view layout = vardo::codetable::layoutItemText(deviceStatus.keypadType);
    const QString layoutText =
        QString::fromLatin1(layout.data(), static_cast<qsizetype>(layout.size()));
    const QString version = QString::fromLatin1(deviceStatus.firmwareVersion.data(),
                                                static_cast<qsizetype>(deviceStatus.firmwareVersion.size()));
    showStatusLines(kLine1Start + model + kLine1Gap + version,
                    kLine2Start + layoutText.left(4) + kLine2Gap + layoutText);
}

void Form1::showStatusLines(const QString& line1, const QString& line2)
{
    configArray = {line1, line2};
    richTextBox1->setPlainText(line1 + QLatin1Char('\n') + line2);
}

void Form1::rescanAndShowStatus(bool atStart, std::function<void(bool present)> then)
{
    startWork([slot = encoder_, current = deviceStatus] { return rescan(*slot, current); },
              [this, atStart, then = std::move(then)](const ScanResult& scan) {
                  const bool present = showScan(scan, atStart);
                  if (then)
                      then(present);
              });
}

QString Form1::loaderWaiting(const std::string& port)
{
    return QStringLiteral("The encoder on %1 waits in its loader: Update Encoder Firmware upgrades it")
        .arg(QString::fromStdString(port));
}

bool Form1::showScan(const ScanResult& scan, bool atStart)
{
    if (!scan.found)
        showNotConnected(scan.notPermitted, atStart);
    const bool present = showStatusOrNone(scan.status);
    // Not an encoder that answers, but one that needs the operator.
    if (!scan.loaders.empty())
        showOutcome(loaderWaiting(scan.loaders.front()));
    return present;
}

bool Form1::showStatusOrNone(const StatusRead& read)
{
    const bool present = takeStatus(read);
    endOutcome();
    if (present) {
        ShowDeviceStatus();
    } else {
        powerUp_.forget();
        ShowNoDevice();
        showNoEncoderHint();
    }
    showIdentity();
    return present;
}

void Form1::showOutcome(const QString& text) { statusStrip1->showMessage(text); }

void Form1::showNoEncoderHint() { showOutcome(kNoEncoderHint); }

void Form1::endOutcome() { statusStrip1->clearMessage(); }

void Form1::showSavedState()
{
    const bool unsaved = encoder_->get() && powerUp_.unsaved();
    unsavedLbl->setVisible(unsaved);
    setWindowTitle(unsaved ? kTitle + QStringLiteral(" *") : kTitle);
}

void Form1::showIdentity()
{
    showSavedState();
    const auto encoder = encoder_->get();
    if (!encoder) {
        encoderIdentityLbl->clear();
        return;
    }
    const vardo::device::AttachedEncoder& me = encoder->identity();
    QString text = QStringLiteral("USB port %1, serial %2")
                       .arg(me.port.empty() ? QStringLiteral("?") : fromLocal8(me.port),
                            me.serial.empty() ? QStringLiteral("-") : fromLocal8(me.serial));
    // With several, which one of them (File > Encoder chooses another).
    const auto all = vardo::device::attachedEncoders();
    for (std::size_t i = 0; all.size() > 1 && i < all.size(); ++i)
        if (all[i].path == me.path)
            text = QStringLiteral("Encoder %1 of %2: ").arg(i + 1).arg(all.size()) + text;
    encoderIdentityLbl->setText(text);
}

bool Form1::reportIfEncoderGone(bool gone)
{
    // Without an encoder in use the action's own message stands.
    if (!gone)
        return false;
    encoder_->close();
    powerUp_.forget();
    showMessage(messages::kNotConnected);
    ShowNoDevice();
    showNoEncoderHint();
    showIdentity();
    return true;
}

bool Form1::upgradeWindowOpen() const
{
    for (QWidget* w : openWindows())
        if (qobject_cast<firmware_upgrade*>(w))
            return true;
    return false;
}

void Form1::onDeviceChange()
{
    // An upgrade moves the encoder between its two faces on purpose; its own window follows it.
    if (upgradeWindowOpen())
        return;
    if (working_) {
        changeAfterWork_ = true;
        return;
    }
    struct Change {
        bool gone = false;
        bool scanned = false;
        ScanResult scan;
    };
    startWork([slot = encoder_, current = deviceStatus] {
        Change change;
        if (slot->get())
            change.gone = encoderGone(*slot);
        else if ((change.scanned = !vardo::device::attachedEncoders().empty()))
            change.scan = rescan(*slot, current);
        return change;
    }, [this](const Change& change) {
        if (change.gone) {
            // Plugged in again it starts with its power-up defaults.
            encoder_->close();
            powerUp_.forget();
            ShowNoDevice();
            showNoEncoderHint();
        } else if (change.scanned) {
            showScan(change.scan, false);
        }
        showIdentity();
    });
}

void Form1::showNotConnected(bool notPermitted, bool atStart)
{
    if (notPermitted)
        showMessage(std::string(messages::kNotConnected) + "\r\n" + kMsgNoPermission);
    else if (atStart)
        showMessage(std::string(messages::kNotConnected) + "\r\n" + kMsgNextStepAtStart);
    else
        showMessage(messages::kNotConnected);
}

// ---- Start-up and scanning --------------------------------------------------

void Form1::onLoad(std::function<void()> loaded)
{
    vardo::config::setUpConfigFile(kReport);
    // Plug and unplug are followed from now on; the watch's thread only queues the news.
    watch_ = vardo::device::DeviceWatch::start([this] {
        QMetaObject::invokeMethod(this, &Form1::onDeviceChange, Qt::QueuedConnection);
    });
    // Only the load step presets the mask (nothing reads it before the status).
    deviceStatus.optionsFitted = link::kAllOptions;
    rescanAndShowStatus(true, [loaded = std::move(loaded)](bool) {
        if (loaded)
            loaded();
    });
}

void Form1::onScanForDevice()
{
    // File > Encoder chooses another while an exchange runs: the scan follows it.
    if (working_)
        scanAfterWork_ = true;
    else
        rescanAndShowStatus();
}

// ---- Settings boxes ---------------------------------------------------------

void Form1::commitBox(QComboBox* box, vardo::device::Setting setting, int payloadOffset,
                      int link::DeviceStatus::*field)
{
    const int index = box->currentIndex();
    if (index < 0)
        return;
    const auto payload = static_cast<std::uint8_t>(index + payloadOffset);
    struct Sent {
        vardo::device::Result result = vardo::device::Result::NoDevice;
        bool gone = false;
    };
    const bool started = startWork([slot = encoder_, setting, payload] {
        Sent sent;
        sent.result = slot->with([&](vardo::device::Encoder& e) { return e.set(setting, payload); });
        sent.gone = sent.result != vardo::device::Result::Ok && encoderGone(*slot);
        return sent;
    }, [this, box, setting, index, field](const Sent& sent) {
        if (sent.result != vardo::device::Result::Ok) {
            if (reportIfEncoderGone(sent.gone))
                return;
            showMessage(vardo::device::settingFailureText(setting));
            selectItem(box, deviceStatus.*field);
            return;
        }
        deviceStatus.*field = index;
        powerUp_.changed(deviceStatus);
        endOutcome();
        showSavedState();
        // The panel follows the new layout; the table itself is read only on demand.
        if (field == &link::DeviceStatus::keypadType)
            presentEncoderLines();
    });
    if (!started)
        selectItem(box, deviceStatus.*field);
}

void Form1::onBrightnessChosen()
{
    commitBox(ledBrightnessCbox, vardo::device::Setting::LedBrightness, 0, &link::DeviceStatus::ledBrightness);
}

void Form1::onColourChosen()
{
    commitBox(ledColourCbox, vardo::device::Setting::LedColour, 0, &link::DeviceStatus::ledColour);
}

void Form1::onBuzzerChosen()
{
    commitBox(buzzerCbox, vardo::device::Setting::Buzzer, 0, &link::DeviceStatus::buzzer);
}

void Form1::onBuzzerPeriodChosen()
{
    // The encoder counts periods from one; the box from zero.
    commitBox(buzzerPeriodCbox, vardo::device::Setting::BuzzerPeriod, 1, &link::DeviceStatus::buzzerPeriod);
}

void Form1::onKeypadTypeChosen()
{
    commitBox(keypadTypeCbox, vardo::device::Setting::KeypadType, 0, &link::DeviceStatus::keypadType);
}

// ---- Save, factory reset, configuration file --------------------------------

void Form1::onSaveChanges()
{
    struct Saved {
        bool locked = false;
        vardo::device::Result result = vardo::device::Result::NoDevice;
        bool gone = false;
        StatusRead status;   // read again for the configuration file
    };
    startWork([slot = encoder_, current = deviceStatus] {
        Saved saved;
        const auto lock = vardo::device::lockForOperation(slot->get().get(), showMessage);
        if (!lock)
            return saved;
        saved.locked = true;
        saved.result = slot->with([](vardo::device::Encoder& e) { return e.saveDefaults(); });
        if (saved.result == vardo::device::Result::Ok)
            saved.status = GetDeviceStatusMessage(*slot, current);
        else
            saved.gone = encoderGone(*slot);
        return saved;
    }, [this](const Saved& saved) {
        if (!saved.locked)
            return;
        if (saved.result != vardo::device::Result::Ok) {
            if (!reportIfEncoderGone(saved.gone))
                showMessage(messages::kWriteDefaultFailed);
            return;
        }
        SaveToConfigFile(saved.status);
        powerUp_.saved(deviceStatus);
        showSavedState();
    });
}

void Form1::SaveToConfigFile(const StatusRead& read)
{
    if (!takeStatus(read)) {
        if (!reportIfEncoderGone(read.gone))
            showMessage(messages::kSaveConfigFailed);
        return;
    }
    if (vardo::config::saveSettings(deviceStatus, FileName, kReport) == vardo::config::SaveOutcome::Saved)
        showOutcome(QStringLiteral("Saved: the encoder keeps these settings, recorded in %1")
                        .arg(fromLocal8(FileName)));
    else
        showOutcome(QStringLiteral("The encoder keeps these settings, but %1 was not fully written")
                        .arg(fromLocal8(FileName)));
}

void Form1::onFactoryReset()
{
    // Settings and customised tables are lost: the operator confirms first,
    // and Enter alone keeps them.
    if (!dialogs().questionDefaultNo(kFactoryResetCaption, messages::kFactoryResetQuestion)) {
        showOutcome(QStringLiteral("Factory reset cancelled: nothing was sent"));
        return;
    }
    struct Reset {
        bool locked = false;
        ScanResult scan;
    };
    startWork([slot = encoder_, current = deviceStatus] {
        Reset reset;
        // The encoder restarts after a factory reset; its answer does not matter,
        // and the restart is waited for even when no encoder was open.
        const auto lock = vardo::device::lockForOperation(slot->get().get(), showMessage);
        if (!lock)
            return reset;
        reset.locked = true;
        if (const auto encoder = slot->get())
            encoder->factoryReset();
        else
            vardo::platform::sleepMs(vardo::device::kFactoryResetWaitMs);
        reset.scan = rescan(*slot, current);
        return reset;
    }, [this](const Reset& reset) {
        if (!reset.locked)
            return;
        // It restarts with its factory settings as power-up defaults.
        powerUp_.forget();
        if (showScan(reset.scan, false))
            showOutcome(QStringLiteral("Factory defaults restored (the configuration file is unchanged)"));
    });
}

void Form1::onResetFromConfigFile()
{
    using vardo::config::ResetOutcome;
    struct Reset {
        bool gone = false;
        ResetOutcome outcome = ResetOutcome::NotSent;
        StatusRead status;
    };
    startWork([slot = encoder_, current = deviceStatus, file = FileName] {
        Reset reset;
        // An encoder that has left would fail every command; one message says why.
        if ((reset.gone = encoderGone(*slot)))
            return reset;
        const auto encoder = slot->get();
        const auto lock = vardo::device::lockForOperation(encoder.get(), showMessage);
        if (!lock)
            return reset;
        reset.outcome = vardo::config::resetFromConfigFile(encoder.get(), file, kReport);
        if (reset.outcome == ResetOutcome::Sent)
            reset.status = GetDeviceStatusMessage(*slot, current);
        return reset;
    }, [this](const Reset& reset) {
        if (reportIfEncoderGone(reset.gone))
            return;
        switch (reset.outcome) {
        case ResetOutcome::KeypadRefused:
        case ResetOutcome::SettingRefused:
            selectItem(keypadTypeCbox, deviceStatus.keypadType);
            break;
        case ResetOutcome::Sent:
            showStatusOrNone(reset.status);
            showOutcome(QStringLiteral("Settings from %1 sent to the encoder").arg(fromLocal8(FileName)));
            break;
        case ResetOutcome::NotSaved:
            showOutcome(QStringLiteral("Nothing saved yet: press Save Changes (or import a configuration "
                                       "file) first"));
            break;
        case ResetOutcome::NotSent:
        case ResetOutcome::TableRefused:
            break;
        }
    });
}

void Form1::onImportConfig()
{
    const auto chosen = dialogs().openFile(kOpenFileFilter, std::string(), kOpenFileInitialName);
    if (!chosen)
        return;
    if (vardo::config::importConfigFile(*chosen, FileName, kReport))
        offerImportedSettings(*chosen);
}

void Form1::offerImportedSettings(const std::string& chosenPath)
{
    vardo::config::ResetPlan plan;
    const auto silent = [](const std::string&) {};
    if (vardo::config::readResetPlan(FileName, plan, silent) != vardo::config::ResetOutcome::Sent) {
        showOutcome(QStringLiteral("Imported %1; it holds no settings to send").arg(fromLocal8(chosenPath)));
        return;
    }
    const std::string_view layout = vardo::codetable::layoutItemText(plan.keypadType);
    const QString summary =
        QStringLiteral("Imported %1: %2, LED brightness %3, buzzer %4, period %5")
            .arg(fromLocal8(chosenPath),
                 QString::fromLatin1(layout.data(), static_cast<qsizetype>(layout.size())).simplified())
            .arg(plan.ledBrightness)
            .arg(plan.buzzer ? QStringLiteral("on") : QStringLiteral("off"))
            .arg(plan.buzzerPeriod);
    showOutcome(summary);
    if (encoder_->lost())
        return;
    if (dialogs().question(kImportCaption, kImportQuestion))
        onResetFromConfigFile();
}

void Form1::onExportConfig()
{
    const auto folder = dialogs().selectFolder(kFolderDescription, vardo::platform::homeFolder());
    if (!folder) {
        showMessage(vardo::config::kMsgExportCancelled);
        return;
    }
    const QString target = fromLocal8(*folder) + QStringLiteral("/USBUtilityCfg.ini");
    bool declined = false;
    const bool copied = vardo::config::exportConfigFile(
        *folder, FileName,
        [&] {
            declined = !dialogs().question(vardo::config::kOverwriteCaption,
                                           vardo::config::kOverwriteQuestion);
            return !declined;
        },
        kReport);
    if (copied)
        showOutcome(QStringLiteral("Exported to %1").arg(target));
    else if (declined)
        showOutcome(QStringLiteral("Not exported: %1 was kept").arg(target));
}

// ---- Other windows ----------------------------------------------------------

void Form1::trackWindow(QWidget* window)
{
    window->setAttribute(Qt::WA_DeleteOnClose);
    std::erase_if(windows_, [](const QPointer<QWidget>& w) { return w.isNull(); });
    windows_.emplace_back(window);
    // Changes heard while an upgrade window stood open are caught up once it has gone.
    if (qobject_cast<firmware_upgrade*>(window))
        connect(window, &QObject::destroyed, this, &Form1::onDeviceChange, Qt::QueuedConnection);
}

std::vector<QWidget*> Form1::openWindows() const
{
    std::vector<QWidget*> out;
    for (const QPointer<QWidget>& w : windows_)
        if (!w.isNull())
            out.push_back(w.data());
    return out;
}

void Form1::onTestEncoder()
{
    auto* window = new self_test(encoder_);
    trackWindow(window);
    connect(window, &self_test::verdict, this, [this](const QString& text) { showOutcome(text); });
    window->move(pos());
    window->show();
}

void Form1::onAbout()
{
    auto* window = new about();
    trackWindow(window);
    window->move(pos());
    window->show();
}

void Form1::onCustomiseCodeTable()
{
    startWork([slot = encoder_, current = deviceStatus] { return GetDeviceStatusMessage(*slot, current); },
              [this](const StatusRead& read) { openCodeTableEditor(read); });
}

void Form1::openCodeTableEditor(const StatusRead& read)
{
    if (!takeStatus(read)) {
        if (!reportIfEncoderGone(read.gone))
            showMessage(messages::kTableStatusFailed);
        return;
    }
    auto* editor = vardo::codetable::createCodeTableEditor(this, encoder_, deviceStatus.keypadType, deviceStatus.codeTable);
    if (!editor)
        return;
    connect(editor, &vardo::codetable::CodeTableEditorWindow::tableLoaded, this,
            [this](const QString& summary, const link::CodeTable& table) {
                powerUp_.tableLoaded(table);
                showOutcome(summary);
                showSavedState();
            });
    editor->show();
}

bool Form1::closeEditors(bool exit)
{
    for (auto* editor : findChildren<vardo::codetable::CodeTableEditorWindow*>(Qt::FindDirectChildrenOnly))
        if (editor->isVisible() && !editor->close()) {
            // Applying its edits, it closes itself once the encoder has taken
            // them: the exit or close goes on then. Refused, it stays open.
            if (editor->busy())
                connect(editor, &QObject::destroyed, this, [this, exit] { exit ? onExit() : (void)close(); },
                        Qt::QueuedConnection);
            return false;
        }
    return true;
}

void Form1::onUpdateFirmware() { updateFirmwareInLoader({}); }

void Form1::updateFirmwareInLoader(const std::string& port)
{
    // The job's checks: the loader texts, and no encoder waiting in its loader
    // beside another device (the first loader after ENTER_BSL could be that one).
    // Such an encoder is upgraded first, on its port: it has no working firmware.
    const auto ready = vardo::firmware::checkReadiness(false);
    std::string stuck = port;
    if (stuck.empty() && !ready.attached.loaders.empty()
        && (!ready.refusal.empty() || ready.attached.encoders.empty()))
        stuck = ready.attached.loaders.front();
    if (!stuck.empty())
        showOutcome(loaderWaiting(stuck));
    if (!dialogs().question("Firmware Upgrade", "Are you sure you want to upgrade the firmware?"))
        return;
    auto* window = new firmware_upgrade(encoder_);
    trackWindow(window);
    // The encoder goes into its loader only with usable loader texts (the job
    // asks about a mass erase without the password): else it would be stranded
    // there. The window still opens, to recover a loader already attached.
    connect(window, &firmware_upgrade::prepared, this, [this](bool entered) {
        if (!entered)
            EnableDisableFunctionButtons(false);
    });
    if (!stuck.empty())
        window->recoverLoader(stuck);
    else if (!ready.textProblem.empty())
        showMessage(ready.textProblem);
    else
        prepareUpgrade(*window);
    // The new firmware may report a new version and restored settings: show them.
    // Either way the encoder has restarted: with the written-back settings
    // saved as its power-up defaults, or with the defaults it had.
    connect(window, &firmware_upgrade::upgradeFinished, this, [this](bool ok) {
        if (!ok || closing_)
            return;
        powerUp_.forget();
        endOutcome();
        startWork([slot = encoder_, current = deviceStatus] { return GetDeviceStatusMessage(*slot, current); },
                  [this](const StatusRead& read) {
                      if (takeStatus(read))
                          ShowDeviceStatus();
                      showIdentity();
                  });
    });
    // How it ended reaches the status bar too (the upgrade window may be behind).
    connect(window, &firmware_upgrade::upgradeEnded, this, [this](const QString& summary) {
        if (!closing_)
            showOutcome(summary);
    });
    connect(window, &firmware_upgrade::returnedToApplication, this, [this] {
        if (closing_)
            return;
        powerUp_.forget();
        rescanAndShowStatus();
    });
    window->show();
}

void Form1::prepareUpgrade(firmware_upgrade& window)
{
    // Without the settings the upgrade still goes on (the window's policy): it
    // then writes nothing back. keep runs on the upgrade window's worker.
    const auto where = encoder_->get() ? encoder_->get()->identity() : vardo::device::AttachedEncoder{};
    const auto keep = [this, where](const link::DeviceStatus& status, std::string& backup) {
        // The settings are this window's own as soon as they are read (the job keeps them to write back).
        QMetaObject::invokeMethod(this, [this, status] { deviceStatus = status; }, Qt::QueuedConnection);
        // Should the upgrade fail after its erase, these values survive in a backup
        // that "config apply --from" (or an import) sends back.
        vardo::config::writeUpgradeBackup(status, FileName, where.serial, where.port, backup);
        return true;
    };
    window.prepareUpgrade(encoder_->get(), deviceStatus.codeTable, keep);
}

// ---- Ending -----------------------------------------------------------------

void Form1::setApplicationEnder(std::function<void()> ender) { applicationEnder_ = std::move(ender); }

bool Form1::waitForUpgrade(bool exit)
{
    firmware_upgrade* running = nullptr;
    for (QWidget* w : openWindows())
        if (auto* f = qobject_cast<firmware_upgrade*>(w); f && f->upgradeRunning())
            running = f;
    if (!running)
        return false;
    if (!closeAfterUpgrade_ && !exitAfterUpgrade_) {
        dialogs().message(kUpgradeCaption, std::string(kMsgUpgradeRunning) + messages::kLineBreak,
                          vardo::platform::MessageIcon::Information);
        connect(running, &firmware_upgrade::upgradeFinished, this, [this] {
            if (std::exchange(closeAfterUpgrade_, false))
                close();
            if (std::exchange(exitAfterUpgrade_, false))
                onExit();
        }, Qt::QueuedConnection);
    }
    (exit ? exitAfterUpgrade_ : closeAfterUpgrade_) = true;
    return true;
}

void Form1::closeUpgradeWindows()
{
    closing_ = true;
    for (QWidget* w : openWindows())
        if (qobject_cast<firmware_upgrade*>(w))
            w->close();
}

void Form1::onExit()
{
    // An exchange in progress ends first (at worst by its time-out).
    if (working_) {
        exitAfterWork_ = true;
        return;
    }
    if (waitForUpgrade(true) || !closeEditors(true))
        return;
    closeUpgradeWindows();
    // A running self test stops and puts the encoder's period, brightness and
    // mode back while the handle still works.
    for (QWidget* w : openWindows())
        if (qobject_cast<self_test*>(w))
            delete w;
    // Windows still open find the encoder closed; without one the library is left alone.
    encoder_->close();
    if (applicationEnder_)
        applicationEnder_();
}

void Form1::onMenuExit() { onExit(); }

void Form1::closeEvent(QCloseEvent* event)
{
    if (working_) {
        closeAfterWork_ = true;
        event->ignore();
        return;
    }
    if (waitForUpgrade(false) || !closeEditors(false)) {
        event->ignore();
        return;
    }
    closeUpgradeWindows();
    event->accept();
    emit closedByOperator();
}
