#pragma once
// Program start-up: the main window is built, the splash shows for its 3000 ms,
// then the main window loads (configuration file, encoder, status) and shows.
#include <QObject>
#include <QPointer>

#include "mainwindow/vardo_splash_form.h"

#include <functional>
#include <memory>
#include <optional>

class Form1;

namespace vardo::ui {

class StartUp : public QObject {
    Q_OBJECT
public:
    // afterMainWindowBuilt runs once the main window exists, before the splash.
    explicit StartUp(std::function<void(Form1&)> afterMainWindowBuilt = {});
    ~StartUp() override;

    // Builds the main window and shows the splash.
    void begin();
    Form1& mainWindow() { return *mainWindow_; }
    // The splash while it is open; null once it has closed.
    vardo_splash_form* splash() const;
    // The load step has ended and the main window shows.
    bool mainWindowShown() const { return shown_; }

signals:
    void mainWindowReady();

private:
    void showMainWindow();

    std::function<void(Form1&)> afterMainWindowBuilt_;
    std::unique_ptr<Form1> mainWindow_;
    QPointer<vardo_splash_form> splash_;
    bool loading_ = false;
    bool shown_ = false;
};

// --help (-h) or --version among the arguments, answered on standard output
// before any QApplication exists, so without a display: the exit status then,
// else nothing. about: the paragraph that says what program does.
[[nodiscard]] std::optional<int> answerWithoutDisplay(int argc, char** argv, const char* program,
                                                      const char* about);

// The whole program: QApplication, the real message boxes and pickers, the
// start-up above and the event loop. Returns the exit code.
int runUtility(int argc, char** argv, std::function<void(Form1&)> afterMainWindowBuilt = {});

} // namespace vardo::ui
