#include "firmware/firmware_upgrade.h"

#include "config/config_path.h"
#include "config/utility_config.h"
#include "device/encoder.h"
#include "device/device_watch.h"
#include "device/encoder_choice.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_sequence.h"
#include "link/messages.h"
#include "platform/dialogs.h"
#include "platform/mouse_click_button.h"
#include "platform/qt_dialogs.h"
#include "loader/bsl430.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>

#include <atomic>
#include <exception>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

constexpr char kUpgradeCaption[] = "Firmware Upgrade";
constexpr char kMsgUpgradeRunning[] =
    "The firmware upgrade is still running: stopping it now would leave the encoder without "
    "working firmware. The window closes when the upgrade has ended.";
constexpr char kMsgNoApplication[] =
    "The encoder's flash was erased or partly written, so it has no working firmware and stays in "
    "its loader: open Update Encoder Firmware again and upgrade it.";
constexpr char kMsgReplug[] =
    "The encoder stays in its loader: unplug it and plug it in again to start its firmware.";

// The window's messages: a warning box each, its words followed by a line break.
void showNotice(const char* caption, const std::string& text)
{
    vardo::platform::dialogs().message(caption, text + vardo::messages::kLineBreak,
                                       vardo::platform::MessageIcon::Warning);
}

// A background worker: one job at a time on its own thread; busy from its
// start until its completion has run on the window's thread.
struct Worker {
    std::thread thread;
    bool busy = false;

    template <class Job> void start(Job job)
    {
        if (thread.joinable())
            thread.join();  // its job has ended: the completion already ran
        busy = true;
        thread = std::thread(std::move(job));
    }
    void finish()
    {
        busy = false;
        if (thread.joinable())
            thread.join();
    }
};

} // namespace

struct firmware_upgrade::Impl {
    explicit Impl(firmware_upgrade* owner)
        : sequence([owner](int percent, const std::string& text) {
              QMetaObject::invokeMethod(
                  owner, [owner, percent, text] { owner->backgroundWorker1_ProgressChanged(percent, text); },
                  Qt::QueuedConnection);
          },
          showNotice)
    {
        // Unknown until the main window hands over the values it read.
        vardo::firmware::RestoreValues unknown;
        unknown.known = false;
        sequence.job().setSettings(unknown);
    }

    vardo::firmware::UpgradeSequence sequence;
    std::shared_ptr<vardo::device::EncoderSlot> encoder;
    unsigned numberOfUSBDevicesConnected = 0;
    bool scanDeviceAgain = false;
    bool handleCreated = false;
    bool registered = false;
    bool closePending = false;
    bool massEraseAccepted = false;
    bool upgradeSucceeded = false;
    bool sentToLoader = false;          // this window's encoder went into its loader
    std::string encoderPort;            // its USB port ("" when unknown)
    std::unique_ptr<vardo::device::DeviceWatch> watch;
    bool closeWhenDone = false;
    BslNotificationTarget target{};
    Worker backgroundWorker1;
    Worker backgroundWorkerCheckDevice;

    QGroupBox* groupBox1 = nullptr;
    QLabel* label1 = nullptr;
    QPushButton* btnBrowse = nullptr;
    QLabel* label3 = nullptr;
    QLineEdit* filenameTextBox = nullptr;
    QPushButton* btnUpgrade = nullptr;
    QPushButton* btnClose = nullptr;
    QProgressBar* progressBar = nullptr;
    QPlainTextEdit* statusBox = nullptr;
    QLabel* labelNumOfDevices = nullptr;
    QLabel* label2 = nullptr;
    QLabel* vidLbl = nullptr;
    QLabel* label4 = nullptr;
    QLabel* pidLbl = nullptr;
    QLabel* encoderLbl = nullptr;
};

namespace {

template <class T> T* make(QWidget* parent, const char* name, const QString& text, int x, int y, int w,
                           int h)
{
    T* control = new T(text, parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(x, y, w, h);
    return control;
}

// Status lines end in CR LF; the text box keeps one line break for them.
QString forDisplay(const std::string& text)
{
    return vardo::platform::fromLocal8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

firmware_upgrade::firmware_upgrade(std::shared_ptr<vardo::device::EncoderSlot> encoder, QWidget* parent)
    : QWidget(parent, Qt::Window), d(std::make_unique<Impl>(this))
{
    d->encoder = std::move(encoder);
    setWindowTitle(QStringLiteral("Vadro USB Encoder Firmware Upgrade"));
    setWindowIcon(QIcon());
    setFixedSize(664, 387);
    QFont font(QStringLiteral("Microsoft Sans Serif"), 8);
    setFont(font);

    d->groupBox1 = make<QGroupBox>(this, "groupBox1", QStringLiteral("Select which firmware to download"),
                                   12, 8, 640, 96);
    d->label1 = make<QLabel>(d->groupBox1, "label1", QStringLiteral("Select Firmware"), 14, 26, 100, 22);
    d->btnBrowse = make<QPushButton>(d->groupBox1, "btnBrowse", QStringLiteral("&Browse"), 120, 24, 90, 26);
    d->label3 = make<QLabel>(d->groupBox1, "label3", QStringLiteral("File to download"), 14, 60, 100, 22);
    d->filenameTextBox = make<QLineEdit>(d->groupBox1, "filenameTextBox", QString(), 120, 60, 506, 22);
    d->filenameTextBox->setReadOnly(true);

    // Upgrade and Close answer a mouse click only.
    d->btnUpgrade = make<vardo::ui::MouseClickButton>(this, "btnUpgrade", QStringLiteral("Upgrade Firmware"), 12, 114, 200, 56);
    d->btnClose = make<vardo::ui::MouseClickButton>(this, "btnClose", QStringLiteral("&Close"), 452, 114, 200, 56);
    d->labelNumOfDevices =
        make<QLabel>(this, "labelNumOfDevices", QStringLiteral("Searching for devices"), 228, 112, 210, 18);
    d->label2 = make<QLabel>(this, "label2", QStringLiteral("VID"), 228, 130, 30, 18);
    d->vidLbl = make<QLabel>(this, "vidLbl", QString(), 260, 130, 60, 18);
    d->label4 = make<QLabel>(this, "label4", QStringLiteral("PID"), 330, 130, 30, 18);
    d->pidLbl = make<QLabel>(this, "pidLbl", QString(), 362, 130, 60, 18);
    // Which encoder this is, beside the loader's identifiers (two lines at most).
    d->encoderLbl = make<QLabel>(this, "encoderLbl", QString(), 228, 148, 220, 30);
    d->encoderLbl->setWordWrap(true);
    d->encoderLbl->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    d->progressBar = new QProgressBar(this);
    d->progressBar->setObjectName(QStringLiteral("progressBar"));
    d->progressBar->setGeometry(12, 180, 640, 22);
    d->progressBar->setRange(0, 100);
    d->progressBar->setValue(0);
    d->progressBar->setTextVisible(false);

    d->statusBox = new QPlainTextEdit(this);
    d->statusBox->setObjectName(QStringLiteral("statusBox"));
    d->statusBox->setGeometry(12, 210, 640, 165);
    d->statusBox->setReadOnly(true);
    d->statusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    // Screen readers name each control by what it is, not by its group or its contents.
    d->filenameTextBox->setAccessibleName(QStringLiteral("File to download"));
    d->progressBar->setAccessibleName(QStringLiteral("Upgrade progress"));
    d->statusBox->setAccessibleName(QStringLiteral("Upgrade log"));
    d->statusBox->verticalScrollBar()->setAccessibleName(QStringLiteral("Upgrade log scroll bar"));
    d->statusBox->horizontalScrollBar()->setAccessibleName(QStringLiteral("Upgrade log side scroll bar"));

    d->btnBrowse->setEnabled(false);
    d->btnUpgrade->setEnabled(false);

    d->vidLbl->setText(QString::fromStdString(d->sequence.myVID));
    d->pidLbl->setText(QString::fromStdString(d->sequence.myPID));

    connect(d->btnBrowse, &QPushButton::clicked, this, [this] { onBrowse(); });
    connect(d->btnUpgrade, &QPushButton::clicked, this, [this] { onStartUpgrade(); });
    connect(d->btnClose, &QPushButton::clicked, this, [this] { onClose(); });

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

firmware_upgrade::~firmware_upgrade()
{
    d->watch.reset();
    if (d->registered)
        BSL_UnRegisterUSBDeviceNotification();
    // The workers never wait for this thread, so joining them cannot deadlock.
    if (d->backgroundWorker1.thread.joinable())
        d->backgroundWorker1.thread.join();
    if (d->backgroundWorkerCheckDevice.thread.joinable())
        d->backgroundWorkerCheckDevice.thread.join();
}

void firmware_upgrade::setRestoreValues(int ledBrightness, int buzzer, int buzzerPeriod,
                                        int keypadType, int options,
                                        const vardo::link::CodeTable& keyCodeArray)
{
    vardo::firmware::RestoreValues v;
    v.ledBrightness = ledBrightness;
    v.buzzer = buzzer;
    v.buzzerPeriod = buzzerPeriod;
    v.keypadType = keypadType;
    v.optionsFitted = options;
    v.codeTable = keyCodeArray;
    d->sequence.job().setSettings(v);
}

bool firmware_upgrade::prepareUpgrade(std::shared_ptr<vardo::device::Encoder> encoder,
                                      const vardo::link::CodeTable& table, const vardo::firmware::Keep& keep)
{
    // Until the status is read only the window's code table is known.
    vardo::firmware::RestoreValues tableOnly;
    tableOnly.codeTable = table;
    tableOnly.known = false;
    d->sequence.job().setSettings(tableOnly);
    const vardo::device::AttachedEncoder me = encoder ? encoder->identity() : vardo::device::AttachedEncoder{};
    std::optional<std::string> version;   // the firmware it runs, once read
    const vardo::firmware::Keep seen = [&](const vardo::link::DeviceStatus& status, std::string& path) {
        version = status.firmwareVersion;
        return keep && keep(status, path);
    };
    // Settings the new firmware would refuse are lost unless the operator says otherwise.
    d->sequence.job().setMayLoseSettings([](const std::string& why) {
        return vardo::platform::dialogs().questionDefaultNo(
            "Firmware Upgrade", "The settings read from the encoder cannot be written back into the new firmware ("
                                    + why + "): it would run with that firmware's power-up defaults. Upgrade all "
                                            "the same?");
    });
    const bool entered = d->sequence.job().prepare(std::move(encoder), seen).ok();
    d->sentToLoader = entered;
    d->encoderPort = me.port;
    const auto orNone = [](const std::string& text, const char* none) {
        return text.empty() ? QString::fromLatin1(none) : vardo::platform::fromLocal8(text);
    };
    d->encoderLbl->setText(QStringLiteral("Encoder: port %1, serial %2\nFirmware: %3")
                               .arg(orNone(me.port, "?"), orNone(me.serial, "-"),
                                    version ? orNone(*version, "?") : QStringLiteral("not read")));
    return entered;
}

bool firmware_upgrade::upgradeRunning() const { return d->backgroundWorker1.busy; }

void firmware_upgrade::acceptMassErase() { d->massEraseAccepted = true; }

void firmware_upgrade::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!d->handleCreated) {
        d->handleCreated = true;
        OnHandleCreated();
    }
}

void firmware_upgrade::closeEvent(QCloseEvent* event)
{
    if (d->backgroundWorker1.busy) {
        // Stopped half way the encoder would have no firmware: the window says
        // so (once) and closes when the upgrade and its write-back have ended.
        event->ignore();
        if (!d->closeWhenDone)
            vardo::platform::dialogs().message(kUpgradeCaption, std::string(kMsgUpgradeRunning) + vardo::messages::kLineBreak,
                                               vardo::platform::MessageIcon::Information);
        d->closeWhenDone = true;
        return;
    }
    event->accept();
    if (!d->closePending)
        leaveLoader();
    d->closePending = true;
    if (d->backgroundWorkerCheckDevice.busy) {
        // Hidden, but kept until the count ends.
        setAttribute(Qt::WA_DeleteOnClose, false);
        return;
    }
    if (!testAttribute(Qt::WA_DeleteOnClose))
        deleteLater();
}

void firmware_upgrade::releaseWhenIdle()
{
    if (d->closePending && !d->backgroundWorker1.busy && !d->backgroundWorkerCheckDevice.busy)
        deleteLater();
}

void firmware_upgrade::leaveLoader()
{
    // Nothing to do after a finished upgrade, or with no loader in sight.
    if (d->upgradeSucceeded || d->numberOfUSBDevicesConnected == 0)
        return;
    const char* why = kMsgReplug;
    if (d->sequence.job().flashChanged()) {
        why = kMsgNoApplication;
    } else if (d->numberOfUSBDevicesConnected == 1) {
        // Its password is the vector table of the firmware it runs, which holds the reset vector.
        const auto texts = vardo::firmware::findLoaderTexts();
        const auto r = texts.texts.password ? d->sequence.returnToApplication(*texts.texts.password)
                                            : vardo::loader::Result::BadAddress;
        if (r == vardo::loader::Result::Ok || r == vardo::loader::Result::NotFound) {
            emit returnedToApplication();
            return;
        }
        if (r == vardo::loader::Result::PasswordRefused)
            why = kMsgNoApplication;
    }
    showNotice(vardo::messages::kCaption, why);
}

void firmware_upgrade::onEncoderChange()
{
    if (!d->sentToLoader || d->upgradeSucceeded || d->closePending || d->backgroundWorker1.busy
        || d->numberOfUSBDevicesConnected > 0)
        return;
    // Only the encoder this window was opened for (on its port, or the only one).
    const auto attached = vardo::device::attachedEncoders();
    for (const auto& e : attached) {
        if (d->encoderPort.empty() ? attached.size() != 1 : e.port != d->encoderPort)
            continue;
        if (const auto encoder = vardo::device::Encoder::open(e.path))
            (void)encoder->enterLoader();   // it leaves without an answer
        return;
    }
}

void firmware_upgrade::OnHandleCreated()
{
    d->target.callback = [](void* context, std::uint32_t message, std::uint32_t event) {
        auto* window = static_cast<firmware_upgrade*>(context);
        QMetaObject::invokeMethod(
            window, [window, message, event] { window->ParseMessages(message, event); },
            Qt::QueuedConnection);
    };
    d->target.context = this;
    if (BSL_RegisterUSBDeviceNotification(&d->target) == 0) {
        d->registered = true;
        d->watch = vardo::device::DeviceWatch::start([this] {
            QMetaObject::invokeMethod(this, &firmware_upgrade::onEncoderChange, Qt::QueuedConnection);
        });
        startLoaderCount();
    } else {
        d->labelNumOfDevices->setText(QStringLiteral("ERROR: Unable to register device"));
    }
}

void firmware_upgrade::ParseMessages(std::uint32_t message, std::uint32_t event)
{
    if (message != kBslDeviceChangeMessage
        || (event != kBslDeviceArrival && event != kBslDeviceRemoveComplete))
        return;
    if (!d->backgroundWorker1.busy && !d->backgroundWorkerCheckDevice.busy)
        startLoaderCount();
    else
        d->scanDeviceAgain = true;
}

void firmware_upgrade::startLoaderCount()
{
    d->backgroundWorkerCheckDevice.start([this] {
        unsigned count = 0;
        bool failed = false;
        try {
            count = d->sequence.countLoaders();
        } catch (...) {
            failed = true;
        }
        QMetaObject::invokeMethod(
            this, [this, count, failed] { backgroundWorkerCheckDevice_RunWorkerCompleted(count, failed); },
            Qt::QueuedConnection);
    });
}

void firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted(unsigned count,
                                                                      bool failedWithException)
{
    d->backgroundWorkerCheckDevice.finish();
    if (!failedWithException) {
        d->numberOfUSBDevicesConnected = count;
        const bool found = count > 0;
        if (count == 1)
            d->labelNumOfDevices->setText(QStringLiteral("Found 1 device"));
        else if (count > 1)
            d->labelNumOfDevices->setText(QStringLiteral("Found %1 devices").arg(count));
        else
            d->labelNumOfDevices->setText(QStringLiteral("No device connected"));
        // An upgrade that was started while this count ran keeps its button off.
        d->btnUpgrade->setEnabled(found && !d->backgroundWorker1.busy);
        d->btnBrowse->setEnabled(found);
        emit loaderCounted(count);
    }
    // During an upgrade the flag waits for the count after it.
    if (d->scanDeviceAgain && !d->backgroundWorker1.busy) {
        d->scanDeviceAgain = false;
        startLoaderCount();
    }
    releaseWhenIdle();
}

void firmware_upgrade::onBrowse()
{
    const auto chosen = vardo::platform::dialogs().openFile("(*.txt)|*.txt|All files (*.*)|*.*", "", "");
    if (!chosen)
        return;
    d->filenameTextBox->setText(vardo::platform::fromLocal8(*chosen));
    const std::string name = std::filesystem::path(*chosen).filename().string();
    vardo::config::recordFirmwareFile(name, FileName);
}

void firmware_upgrade::onStartUpgrade()
{
    if (d->backgroundWorker1.busy)
        return;
    // Without the password the loader erases the application: asked once.
    // (Without a RAM loader the worker reports that instead.)
    const auto texts = d->massEraseAccepted ? vardo::firmware::LoaderTextsFound{}
                                            : vardo::firmware::findLoaderTexts();
    if (texts.passwordMissing && texts.ramLoaderProblem.empty()) {
        if (!vardo::platform::dialogs().question("Firmware Upgrade",
                                                 vardo::firmware::massEraseQuestion())) {
            d->statusBox->setPlainText(forDisplay("Not started: no password text\r\n"));
            return;
        }
        d->massEraseAccepted = true;
    }
    d->btnUpgrade->setEnabled(false);
    d->statusBox->setPlainText(forDisplay("Starting\r\n"));
    // The locale's 8-bit form, so that any folder name survives the trip.
    const std::string fileName = vardo::platform::toLocal8(d->filenameTextBox->text());
    d->backgroundWorker1.start([this, fileName] {
        bool result = false;
        bool failed = false;
        try {
            // Waits for a loader count still running: the library serves one worker at a time.
            result = d->sequence.run(fileName);
        } catch (...) {
            failed = true;
        }
        QMetaObject::invokeMethod(
            this, [this, result, failed] { backgroundWorker1_RunWorkerCompleted(result, failed); },
            Qt::QueuedConnection);
    });
}

void firmware_upgrade::onClose() { close(); }

void firmware_upgrade::backgroundWorker1_ProgressChanged(int percent, const std::string& text)
{
    d->progressBar->setValue(percent);
    if (text.empty())
        return;
    QTextCursor cursor = d->statusBox->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(forDisplay(text));
    d->statusBox->setTextCursor(cursor);
    d->statusBox->verticalScrollBar()->setValue(d->statusBox->verticalScrollBar()->maximum());
}

void firmware_upgrade::backgroundWorker1_RunWorkerCompleted(bool result, bool failedWithException)
{
    d->backgroundWorker1.finish();
    if (failedWithException) {
        emit upgradeFinished(false);   // those waiting for its end may go on
    } else if (!result) {
        startLoaderCount();
        emit upgradeFinished(false);
    } else {
        // The window's thread waits out the restart and writes the settings back.
        d->upgradeSucceeded = true;
        (void)vardo::firmware::completeUpgrade(d->sequence.job().settings(), *d->encoder, showNotice);
        emit upgradeFinished(true);
    }
    // Asked to close while it ran: now it may.
    if (d->closeWhenDone && !d->closePending)
        close();
    releaseWhenIdle();
}
