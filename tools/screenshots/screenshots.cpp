// Takes a picture of each window of the utility for the README: the windows
// run against a virtual encoder (all options, the 16-key customised layout)
// exactly as in the demo program, and each is saved with QWidget::grab().
// Run it on an X server (Xvfb) so that the fonts look as on a desktop.
//
//   vardo_screenshots [OUTPUT_FOLDER]     (default: docs)
#include "codetable/code_table_editor.h"
#include "codetable/code_table_editor_window.h"
#include "demo/virtual_encoder_window.h"
#include "firmware/firmware_upgrade.h"
#include "link/hid_transport.h"
#include "mainwindow/about.h"
#include "mainwindow/form1.h"
#include "mainwindow/form1_widgets.h"
#include "mainwindow/vardo_splash_form.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "platform/user_folder.h"
#include "selftest/self_test.h"
#include "sim/virtual_device.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

using vardo::platform::sleepMs;
using vardo::platform::tickCountMs;

// Serves the event loop until done() holds or timeoutMs has passed.
bool waitFor(const std::function<bool()>& done, std::uint32_t timeoutMs)
{
    const std::uint32_t start = tickCountMs();
    while (!done()) {
        if (tickCountMs() - start > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        sleepMs(10);
    }
    return true;
}

// Lets a window that was just shown lay itself out and paint.
void settle(std::uint32_t ms = 300)
{
    waitFor([] { return false; }, ms);
}

template <class T> T* findTopLevel()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(w); found && found->isVisible())
            return found;
    return nullptr;
}

class Shooter {
public:
    explicit Shooter(QString folder) : folder_(std::move(folder)) {}

    void save(QWidget* window, const char* name)
    {
        if (window == nullptr) {
            fail(std::string("no window for ") + name);
            return;
        }
        settle();
        const QString path = folder_ + "/screenshot-" + QString::fromLatin1(name) + ".png";
        if (window->grab().save(path, "PNG"))
            std::printf("%s  %dx%d\n", qPrintable(path), window->width(), window->height());
        else
            fail("cannot write " + path.toStdString());
    }

    void fail(const std::string& what)
    {
        std::fprintf(stderr, "vardo_screenshots: %s\n", what.c_str());
        ok_ = false;
    }
    bool ok() const { return ok_; }

private:
    QString folder_;
    bool ok_ = true;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    vardo::ui::installFontSubstitutes();
    app.setQuitOnLastWindowClosed(false);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(folder);
    Shooter shooter(folder);

    // A private data folder keeps the operator's own configuration file out of it.
    QTemporaryDir dataHome;
    vardo::platform::setUserDataFolderOverride(dataHome.path().toStdString());
    // The pictures show the sample firmware in a home folder of a fixed, neutral
    // name, never the folder this was built in: the same pictures on any machine.
    const QString home = QStringLiteral("/tmp/vardo-home");
    if (!QDir().mkdir(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        std::fprintf(stderr, "vardo_screenshots: %s exists (another run, or a stopped one: remove it)\n",
                     qPrintable(home));
        return 1;
    }
    qputenv("HOME", home.toLocal8Bit());
    const QString samples = home + QStringLiteral("/firmware-samples");
    QDir().mkdir(samples);
    const QDir built(QStringLiteral(VARDO_FIRMWARE_SAMPLES_DIR));
    for (const QString& f : built.entryList({QStringLiteral("*.txt")}, QDir::Files))
        QFile::copy(built.filePath(f), samples + "/" + f);
    // No message box opens: questions are answered, messages recorded and listed.
    vardo::platform::RecordingDialogs dialogs;
    vardo::platform::ScopedDialogs dialogsInForce(dialogs);

    vardo::sim::VirtualEncoderDeviceConfig config;
    config.encoder.factorySettings.optionsFitted = 7;
    config.encoder.factorySettings.keypadType = 8;
    auto device = std::make_unique<vardo::sim::VirtualEncoderDevice>(config);
    vardo::sim::VirtualEncoder& encoder = device->encoder();

    // The splash and the main window, as at start-up.
    {
        auto* splash = new vardo_splash_form();
        splash->setAttribute(Qt::WA_DeleteOnClose);
        splash->show();
        shooter.save(splash, "splash");
        splash->close();
    }
    auto mainWindow = std::make_unique<Form1>();
    mainWindow->onLoad();
    mainWindow->move(0, 0);
    mainWindow->show();
    shooter.save(mainWindow.get(), "main");
    // Unplugged: the window follows at once and says what to do.
    encoder.unplug();
    settle();
    shooter.save(mainWindow.get(), "main-no-encoder");
    encoder.plugIn();
    settle();

    // The demo's window of the encoder, after two keys have typed their codes.
    {
        vardo::demo::VirtualEncoderWindow window(*device, samples.toStdString());
        window.show();
        encoder.pressKey(0);
        encoder.pressKey(1);
        window.refresh();
        shooter.save(&window, "demo-encoder");
    }

    // The 16-key editor with key 1 chosen, so its code list shows.
    if (auto* editor = vardo::codetable::createCodeTableEditor(mainWindow.get(), mainWindow->encoder(), 8,
                                                               mainWindow->deviceStatus.codeTable)) {
        editor->show();
        settle();
        // Key 5 given a new code (marked in bold), key 1 chosen.
        if (auto* key = editor->findChild<QPushButton*>(QStringLiteral("key5Btn")))
            key->click();
        if (auto* list = editor->findChild<QComboBox*>(QStringLiteral("selectCodeCbox"))) {
            list->setCurrentIndex(0x1E);
            emit list->activated(0x1E);
        }
        if (auto* key = editor->findChild<QPushButton*>(QStringLiteral("key1Btn")))
            key->click();
        shooter.save(editor, "code-table");
        dialogs.answerEdits(vardo::platform::EditsChoice::Discard);   // key 5's new code is not kept
        editor->close();
    } else {
        shooter.fail("the code table editor did not open");
    }

    {
        auto* box = new about();
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        shooter.save(box, "about");
        box->close();
    }

    // The self test in its key test: three rows done, some keys pressed.
    mainWindow->onTestEncoder();
    QPointer<self_test> test = findTopLevel<self_test>();
    if (test && waitFor([&] { return encoder.selfTestMode(); }, 60000)) {
        for (int key : {0, 5, 10}) {
            encoder.pressKey(key);
            settle(400);
        }
        shooter.save(test, "self-test");
        // Every other key ends the test; the window then closes itself.
        for (int key = 0; key < 16; ++key)
            if (key != 0 && key != 5 && key != 10)
                encoder.pressKey(key);
        if (!waitFor([&] { return test.isNull() || !test->isVisible(); }, 30000))
            shooter.fail("the self test did not end");
    } else {
        shooter.fail("the self test did not reach its key test");
    }

    // A whole upgrade to the second sample image, settings written back.
    dialogs.answerQuestion(true);
    mainWindow->onUpdateFirmware();
    QPointer<firmware_upgrade> upgrade = findTopLevel<firmware_upgrade>();
    if (upgrade) {
        bool finished = false;
        bool succeeded = false;
        QObject::connect(upgrade, &firmware_upgrade::upgradeFinished, [&](bool ok) {
            finished = true;
            succeeded = ok;
        });
        auto* upgradeButton = upgrade->findChild<QPushButton*>(QStringLiteral("btnUpgrade"));
        auto* browse = upgrade->findChild<QPushButton*>(QStringLiteral("btnBrowse"));
        if (upgradeButton && browse && waitFor([&] { return upgradeButton->isEnabled(); }, 30000)) {
            dialogs.answerOpenFile(samples.toStdString() + "/encoder_firmware_01.06A.txt");
            browse->click();
            settle();
            // The versions, before Upgrade Firmware is pressed.
            shooter.save(upgrade, "firmware-version");
            upgradeButton->click();
            if (waitFor([&] { return finished; }, 180000) && succeeded)
                shooter.save(upgrade, "firmware-upgrade");
            else
                shooter.fail("the upgrade did not succeed");
        } else {
            shooter.fail("the upgrade window found no loader");
        }
        if (upgrade)
            upgrade->close();
        settle();
    } else {
        shooter.fail("the upgrade window did not open");
    }

    for (const std::string& text : dialogs.messages())
        std::printf("message box: %s", text.c_str());
    std::printf("\n");

    for (QWidget* w : mainWindow->openWindows())
        w->close();
    settle();
    mainWindow->encoder()->close();
    mainWindow.reset();
    device.reset();
    QDir(home).removeRecursively();
    return shooter.ok() ? 0 : 1;
}
