#include "mainwindow/app_startup.h"

#include "mainwindow/form1.h"
#include "mainwindow/form1_widgets.h"
#include "mainwindow/version.h"
#include "platform/qt_dialogs.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <string_view>

namespace vardo::ui {

namespace {

// The manual page is made from this answer.
const char* const kUsage = R"(Usage: %s [QT-OPTION]...

%s
Options:
  -h, --help       this text
      --version    the program's version
  -platform NAME   any option of the Qt toolkit, such as the windowing system
                   plugin (xcb, wayland) or -display DISPLAY

Configuration file: $XDG_DATA_HOME/VardoInterface/USBUtilityCfg.ini
(~/.local/share/VardoInterface/USBUtilityCfg.ini when XDG_DATA_HOME is unset).

Exit status: 0 once the window is closed; not 0 when the Qt toolkit cannot open
a display (it says why on standard error).
)";

} // namespace

std::optional<int> answerWithoutDisplay(int argc, char** argv, const char* program, const char* about)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(kUsage, program, about);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", program, version::GetString("Version").c_str());
            return 0;
        }
    }
    return std::nullopt;
}

StartUp::StartUp(std::function<void(Form1&)> afterMainWindowBuilt)
    : afterMainWindowBuilt_(std::move(afterMainWindowBuilt))
{
}

StartUp::~StartUp() { delete splash_.data(); }

void StartUp::begin()
{
    mainWindow_ = std::make_unique<Form1>();
    if (afterMainWindowBuilt_)
        afterMainWindowBuilt_(*mainWindow_);
    splash_ = new vardo_splash_form();
    splash_->setAttribute(Qt::WA_DeleteOnClose);
    // The main window waits for the splash to go, as the start-up sleep did.
    connect(splash_, &vardo_splash_form::closed, this, &StartUp::showMainWindow,
            Qt::QueuedConnection);
    splash_->show();
}

vardo_splash_form* StartUp::splash() const { return splash_.data(); }

void StartUp::showMainWindow()
{
    if (loading_ || shown_)
        return;
    loading_ = true;
    Form1& w = *mainWindow_;
    // Centred on the screen, unless whoever built it has placed it already.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen && !w.testAttribute(Qt::WA_Moved))
        w.move(screen->availableGeometry().center() - w.rect().center());
    // Loading comes first, so a "not connected" message appears before the window.
    w.onLoad([this] {
        shown_ = true;
        mainWindow_->show();
        emit mainWindowReady();
    });
}

int runUtility(int argc, char** argv, std::function<void(Form1&)> afterMainWindowBuilt)
{
    QApplication app(argc, argv);
    installFontSubstitutes();
    // The splash and message boxes come and go before the main window shows.
    app.setQuitOnLastWindowClosed(false);
    vardo::platform::QtDialogs qtDialogs;
    vardo::platform::ScopedDialogs dialogsInForce(qtDialogs);

    StartUp startUp(std::move(afterMainWindowBuilt));
    startUp.begin();
    QObject::connect(&startUp.mainWindow(), &Form1::closedByOperator, &app, &QCoreApplication::quit);
    return app.exec();
}

} // namespace vardo::ui
