#include "firmware/firmware_upgrade.h"

#include "config/config_path.h"
#include "config/upgrade_backups.h"
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
#include "platform/worker.h"
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

#include <QThread>

#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
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
// After an unplug the job's own lines stand; this adds what to do next.
constexpr char kNextAfterUnplug[] = "Plug it back in and press Upgrade Firmware.\r\n";
constexpr char kMsgReplug[] =
    "The encoder stays in its loader: unplug it and plug it in again to start its firmware.";

// The window's messages: a warning box each, its words followed by a line break.
void showNotice(const char* caption, const std::string& text)
{
    vardo::platform::dialogs().message(caption, text + vardo::messages::kLineBreak,
                                       vardo::platform::MessageIcon::Warning);
}

} // namespace

struct firmware_upgrade::Impl {
    explicit Impl(firmware_upgrade* owner) : owner(owner)
    {
        usePort({});
        // The settings stay unknown until the main window hands over the values it read.
    }

    // The job follows the encoder on its port once that is known. byPort:
    // after the restart the encoder is opened on that port, not in the main
    // window's slot (which holds another encoder).
    void usePort(const std::string& port, bool byPort = false)
    {
        vardo::firmware::Hooks hooks;
        hooks.findEncoder = [this, byPort, port]() -> std::shared_ptr<vardo::device::Encoder> {
            back.reset();
            if (byPort) {
                for (const auto& e : vardo::device::attachedEncoders())
                    if (e.port == port)
                        back = vardo::device::Encoder::open(e.path);
            } else if (encoder) {
                encoder->rescan();
                back = encoder->get();
            }
            return back;
        };
        // Asked on the window's thread before anything is sent: the answer is kept.
        hooks.allowMassErase = [this] {
            if (!massEraseAccepted)
                massEraseAccepted = vardo::platform::dialogs().question(kUpgradeCaption,
                                                                        vardo::firmware::massEraseQuestion());
            return massEraseAccepted;
        };
        // Settings the new firmware would refuse are lost unless the operator says otherwise.
        hooks.mayLoseSettings = [](const std::string& why) {
            return vardo::platform::dialogs().questionDefaultNo(
                "Firmware Upgrade", "The settings read from the encoder cannot be written back into the new firmware ("
                                        + why + "): it would run with that firmware's power-up defaults. Upgrade all "
                                                "the same?");
        };
        auto* window = owner;
        sequence = std::make_unique<vardo::firmware::UpgradeSequence>(
            [window](int percent, const std::string& text) {
                QMetaObject::invokeMethod(
                    window, [window, percent, text] { window->backgroundWorker1_ProgressChanged(percent, text); },
                    Qt::QueuedConnection);
            },
            [window](const char* caption, const std::string& text) { window->notice(caption, text); },
            std::move(hooks), port);
    }

    firmware_upgrade* owner;
    std::unique_ptr<vardo::firmware::UpgradeSequence> sequence;
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
    std::string encoderSerial;          // its serial number ("" when unknown)
    std::optional<std::string> firmwareNow;   // the firmware it runs, once read
    std::string imageVersion;           // the chosen image's version ("" when it carries none)
    std::string backupPath;             // where the settings were saved ("" when not)
    std::string firmwareAfter;          // read after the upgrade ("" when not read)
    std::shared_ptr<vardo::device::Encoder> back;   // the encoder found after the restart
    bool recovering = false;            // an encoder found waiting in its loader, its firmware unknown
    std::string restoreFrom;            // the backup whose settings go back ("" for those read)
    // The folder the next Browse opens in: the last image's, else the default.
    static inline std::string browseFolder;
    std::unique_ptr<vardo::device::DeviceWatch> watch;
    bool closeWhenDone = false;
    BslNotificationTarget target{};
    // What runs on the device worker (the window's thread reads and sets them).
    bool upgrading = false;   // backgroundWorker1: from Upgrade Firmware to the end of the write-back
    bool counting = false;    // backgroundWorkerCheckDevice: the loader count
    int otherTasks = 0;       // the preparation, the return to the application, ENTER_BSL
    int preparing = 0;        // prepareUpgrade's part on the worker

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
    QLabel* versionLbl = nullptr;
    // The window's one thread for the device: the loader count, the upgrade,
    // the return to the application and ENTER_BSL run on it in the order
    // posted. Last: it ends (with the task in progress) before the rest goes.
    std::unique_ptr<vardo::platform::Worker> worker = std::make_unique<vardo::platform::Worker>(nullptr);
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

QString orNone(const std::string& text, const char* none)
{
    return text.empty() ? QString::fromLatin1(none) : vardo::platform::fromLocal8(text);
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
    // The chosen image's version beside the firmware it replaces.
    d->versionLbl = make<QLabel>(d->groupBox1, "versionLbl", QString(), 220, 26, 406, 22);
    d->versionLbl->setAccessibleName(QStringLiteral("Firmware versions"));

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

    d->vidLbl->setText(QString::fromStdString(d->sequence->myVID));
    d->pidLbl->setText(QString::fromStdString(d->sequence->myPID));

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
    // The worker never waits for this thread, so ending it cannot deadlock.
    d->worker.reset();
}

void firmware_upgrade::setRestoreValues(const vardo::link::DeviceStatus& settings)
{
    vardo::firmware::RestoreValues v;
    static_cast<vardo::link::DeviceStatus&>(v) = settings;
    v.known = true;
    d->sequence->job().setSettings(v);
}

void firmware_upgrade::notice(const char* caption, const std::string& text)
{
    // From the worker the box follows the status lines posted before it.
    QMetaObject::invokeMethod(
        this,
        [this, caption, text] {
            showNotice(caption, text);
            // Without an encoder after the restart the write-back stops at its first step.
            if (text == vardo::messages::kNotConnected)
                showNotice(vardo::firmware::kWriteBackCaption, "Unable to set option..");
        },
        thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::QueuedConnection);
}

void firmware_upgrade::prepareUpgrade(std::shared_ptr<vardo::device::Encoder> encoder,
                                      const vardo::link::CodeTable& table, const vardo::firmware::Keep& keep)
{
    // Until the status is read only the window's code table is known.
    vardo::firmware::RestoreValues tableOnly;
    tableOnly.codeTable = table;
    tableOnly.known = false;
    const vardo::device::AttachedEncoder me = encoder ? encoder->identity() : vardo::device::AttachedEncoder{};
    // From here the loader and, after the restart, the encoder are looked for on its port.
    d->usePort(me.port);
    d->sequence->job().setSettings(tableOnly);
    // The question comes first, here: declined, nothing is sent.
    if (!d->sequence->job().massEraseAllowed())
        return;
    struct Prepared {
        std::optional<std::string> version;   // the firmware it runs, once read
        std::string backup;                   // where its settings were saved
        vardo::firmware::Outcome outcome;
    };
    auto prepared = std::make_shared<Prepared>();
    ++d->preparing;
    onDevice(
        [this, prepared, keep, encoder = std::move(encoder)]() mutable {
            const vardo::firmware::Keep seen = [&](const vardo::link::DeviceStatus& status, std::string& path) {
                prepared->version = status.firmwareVersion;
                const bool kept = keep && keep(status, path);
                if (kept)
                    prepared->backup = path;
                return kept;
            };
            prepared->outcome = d->sequence->job().prepare(std::move(encoder), seen);
        },
        [this, prepared, me] {
            --d->preparing;
            const bool entered = prepared->outcome.ok();
            d->sentToLoader = entered;
            d->encoderPort = me.port;
            d->encoderSerial = me.serial;
            d->firmwareNow = prepared->version;
            d->backupPath = prepared->backup;
            showEncoder();
            emit this->prepared(entered);
        });
}

void firmware_upgrade::recoverLoader(const std::string& port)
{
    d->recovering = true;
    d->encoderPort = port;
    d->usePort(port, true);
    // What its flash holds is unknown, and so is its password: the erased
    // device's goes first, and a refusal mass-erases (asked now, once).
    vardo::firmware::LoaderTexts texts = vardo::firmware::findLoaderTexts().texts;
    texts.password.reset();
    d->sequence->setLoaderTexts(std::move(texts));
    // The settings recorded for its port before an upgrade go back afterwards.
    if (const std::string backup = vardo::config::newestBackupFor(FileName, port, ""); !backup.empty()) {
        vardo::link::DeviceStatus settings;
        if (vardo::config::readUpgradeBackup(backup, settings).empty()) {
            setRestoreValues(settings);
            d->restoreFrom = backup;
        }
    }
    d->encoderLbl->setText(QStringLiteral("Encoder: port %1, waiting in its loader").arg(orNone(port, "?")));
    static_cast<void>(d->sequence->job().massEraseAllowed());
}

bool firmware_upgrade::preparing() const { return d->preparing > 0; }

bool firmware_upgrade::upgradeRunning() const { return d->upgrading; }

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
    if (d->upgrading) {
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
    if (d->counting || d->otherTasks > 0) {
        // Hidden, but kept until the worker's tasks end.
        setAttribute(Qt::WA_DeleteOnClose, false);
        return;
    }
    if (!testAttribute(Qt::WA_DeleteOnClose))
        deleteLater();
}

void firmware_upgrade::releaseWhenIdle()
{
    if (d->closePending && !d->upgrading && !d->counting && d->otherTasks == 0)
        deleteLater();
}

void firmware_upgrade::onDevice(std::function<void()> task, std::function<void()> done)
{
    ++d->otherTasks;
    d->worker->run(
        [task = std::move(task)] {
            try {
                task();
            } catch (...) {
            }
        },
        [this, done = std::move(done)] {
            --d->otherTasks;
            if (done)
                done();
            releaseWhenIdle();
        });
}

void firmware_upgrade::leaveLoader()
{
    // Nothing to do after a finished upgrade, or with no loader in sight.
    if (d->upgradeSucceeded || d->numberOfUSBDevicesConnected == 0)
        return;
    if (d->recovering || d->sequence->job().flashChanged()) {
        showNotice(vardo::messages::kCaption, kMsgNoApplication);
        return;
    }
    // Its password is the vector table of the firmware it runs, which holds the reset vector.
    const auto texts = vardo::firmware::findLoaderTexts();
    if (d->numberOfUSBDevicesConnected != 1 || !texts.texts.password) {
        showNotice(vardo::messages::kCaption, kMsgReplug);
        return;
    }
    auto result = std::make_shared<vardo::loader::Result>(vardo::loader::Result::BadAddress);
    onDevice([this, result, password = *texts.texts.password] { *result = d->sequence->returnToApplication(password); },
             [this, result] {
                 if (*result == vardo::loader::Result::Ok || *result == vardo::loader::Result::NotFound)
                     emit returnedToApplication();
                 else
                     showNotice(vardo::messages::kCaption, *result == vardo::loader::Result::PasswordRefused
                                                               ? kMsgNoApplication
                                                               : kMsgReplug);
             });
}

void firmware_upgrade::onEncoderChange()
{
    if (!d->sentToLoader || d->upgradeSucceeded || d->closePending || d->upgrading
        || d->numberOfUSBDevicesConnected > 0)
        return;
    onDevice([port = d->encoderPort] {
        // Only the encoder this window was opened for (on its port, or the only one).
        const auto attached = vardo::device::attachedEncoders();
        for (const auto& e : attached) {
            if (port.empty() ? attached.size() != 1 : e.port != port)
                continue;
            if (const auto encoder = vardo::device::Encoder::open(e.path))
                (void)encoder->enterLoader();   // it leaves without an answer
            return;
        }
    }, {});
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
    if (!d->upgrading && !d->counting)
        startLoaderCount();
    else
        d->scanDeviceAgain = true;
}

void firmware_upgrade::startLoaderCount()
{
    d->counting = true;
    d->worker->run([this] {
        unsigned count = 0;
        bool failed = false;
        try {
            count = d->sequence->countLoaders();
        } catch (...) {
            failed = true;
        }
        QMetaObject::invokeMethod(
            this, [this, count, failed] { backgroundWorkerCheckDevice_RunWorkerCompleted(count, failed); },
            Qt::QueuedConnection);
    }, [] {});
}

void firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted(unsigned count,
                                                                      bool failedWithException)
{
    d->counting = false;
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
        d->btnUpgrade->setEnabled(found && !d->upgrading);
        d->btnBrowse->setEnabled(found);
        emit loaderCounted(count);
    }
    // During an upgrade the flag waits for the count after it.
    if (d->scanDeviceAgain && !d->upgrading) {
        d->scanDeviceAgain = false;
        startLoaderCount();
    }
    releaseWhenIdle();
}

void firmware_upgrade::setDefaultFolder(const std::string& folder) { Impl::browseFolder = folder; }

void firmware_upgrade::showEncoder()
{
    d->encoderLbl->setText(QStringLiteral("Encoder: port %1, serial %2\nFirmware: %3")
                               .arg(orNone(d->encoderPort, "?"), orNone(d->encoderSerial, "-"),
                                    d->firmwareNow ? orNone(*d->firmwareNow, "?") : QStringLiteral("not read")));
}

void firmware_upgrade::onBrowse()
{
    const auto chosen =
        vardo::platform::dialogs().openFile("(*.txt)|*.txt|All files (*.*)|*.*", Impl::browseFolder, "");
    if (!chosen)
        return;
    d->filenameTextBox->setText(vardo::platform::fromLocal8(*chosen));
    const std::filesystem::path chosenPath(*chosen);
    Impl::browseFolder = chosenPath.parent_path().string();
    const std::string name = chosenPath.filename().string();
    vardo::config::recordFirmwareFile(name, FileName);
    // The image's version, as the upgrade will read it (a faulty image says so when it starts).
    vardo::firmware::FirmwareImage image;
    const bool readable = vardo::firmware::loadFirmwareImage(*chosen, image).result == vardo::firmware::ImageCheck::Ok;
    d->imageVersion = readable ? vardo::firmware::imageFirmwareVersion(image) : std::string();
    const QString from = d->firmwareNow ? orNone(*d->firmwareNow, "?") : QStringLiteral("not read");
    const QString to = readable ? orNone(d->imageVersion, "no version in the image")
                                : QStringLiteral("not a firmware image");
    d->versionLbl->setText(QStringLiteral("Version: %1 \u2192 %2").arg(from, to));
}

void firmware_upgrade::onStartUpgrade()
{
    if (d->upgrading)
        return;
    // Without the password the loader erases the application: the job's
    // question, asked here before the worker starts. (Without a RAM loader the
    // worker reports that instead.)
    if (!d->sequence->job().massEraseAllowed()) {
        d->statusBox->setPlainText(forDisplay("Not started: no password text\r\n"));
        return;
    }
    d->btnUpgrade->setEnabled(false);
    d->statusBox->setPlainText(forDisplay("Starting\r\n"));
    if (!d->backupPath.empty())
        backgroundWorker1_ProgressChanged(d->progressBar->value(), "Settings saved to " + d->backupPath + "\r\n");
    // The locale's 8-bit form, so that any folder name survives the trip.
    const std::string fileName = vardo::platform::toLocal8(d->filenameTextBox->text());
    d->upgrading = true;
    d->worker->run([this, fileName] {
        bool result = false;
        bool failed = false;
        try {
            // After a count still running: one task at a time on the device.
            result = d->sequence->run(fileName);
            // Which firmware now runs, as the encoder says after its restart.
            vardo::link::DeviceStatus after;
            if (const auto encoder = result ? d->back : nullptr;
                encoder && encoder->readStatus(after) == vardo::device::Result::Ok)
                d->firmwareAfter = after.firmwareVersion;
        } catch (...) {
            failed = true;
        }
        QMetaObject::invokeMethod(
            this, [this, result, failed] { backgroundWorker1_RunWorkerCompleted(result, failed); },
            Qt::QueuedConnection);
    }, [] {});
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
    d->upgrading = false;
    const vardo::firmware::Outcome& o = d->sequence->outcome();
    std::string summary;
    if (result && !failedWithException) {
        const bool known = d->sequence->job().settings().known;
        if (o.ok() && !d->restoreFrom.empty())
            backgroundWorker1_ProgressChanged(d->progressBar->value(),
                                              "\r\nThe settings of " + d->restoreFrom + " were written back.");
        else if (o.ok())
            backgroundWorker1_ProgressChanged(d->progressBar->value(),
                                              known ? "\r\nThe settings were written back into the new firmware."
                                                    : "\r\nNo settings were read before the upgrade, so none "
                                                      "were written back.");
        if (!d->firmwareAfter.empty()) {
            d->firmwareNow = d->firmwareAfter;
            showEncoder();
            backgroundWorker1_ProgressChanged(d->progressBar->value(),
                                              "\r\nThe encoder now runs firmware " + d->firmwareAfter + ".");
        }
        summary = "Firmware upgraded" + (d->firmwareAfter.empty() ? std::string() : ": the encoder runs "
                                                                                         + d->firmwareAfter);
        if (!o.ok())
            summary += ", but the settings were not all written back";
    } else {
        using vardo::firmware::Phase;
        const bool unplugged = o.deviceGone || (o.loader == vardo::loader::Result::NotFound
                                                && o.phase >= Phase::Unlock && o.phase <= Phase::Verify);
        if (!failedWithException && unplugged)
            backgroundWorker1_ProgressChanged(d->progressBar->value(), kNextAfterUnplug);
        summary = unplugged ? "Firmware upgrade stopped: the encoder was unplugged"
                               : "Firmware upgrade failed: the encoder waits in its loader";
    }
    if (failedWithException) {
        emit upgradeFinished(false);   // those waiting for its end may go on
    } else if (!result) {
        startLoaderCount();
        emit upgradeFinished(false);
    } else {
        // The worker has waited out the restart and written the settings back.
        d->upgradeSucceeded = true;
        emit upgradeFinished(true);
    }
    emit upgradeEnded(vardo::platform::fromLocal8(summary));
    // Asked to close while it ran: now it may.
    if (d->closeWhenDone && !d->closePending)
        close();
    releaseWhenIdle();
}
