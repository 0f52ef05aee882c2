// The utility against a virtual encoder (all options fitted, the 16-key
// customised layout), with a window of the encoder itself beside it.
#include "demo/virtual_encoder_window.h"
#include "mainwindow/app_startup.h"
#include "mainwindow/form1.h"
#include "sim/virtual_device.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

#include <memory>

namespace {

// Shows the encoder's window when the main window first appears, beside it.
class ShowBeside : public QObject {
public:
    // The self test opens at the main window's place and is 87 px wider: the
    // gap keeps the encoder's keypad clear of it, for pressing its keys. On a
    // 1280-pixel screen the pair starts at the left edge and the encoder's
    // window ends at the right one, 12 px clear of the self test.
    static constexpr int kGap = 100;

    ShowBeside(QWidget* mainWindow, QWidget* companion) : QObject(mainWindow), companion_(companion) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !shown_) {
            shown_ = true;
            auto* main = static_cast<QWidget*>(watched);
            const QRect screen = main->screen()->availableGeometry();
            QPoint at(main->frameGeometry().right() + kGap, main->frameGeometry().top());
            at.setX(std::min(at.x(), screen.right() - companion_->width()));
            companion_->move(at);
            companion_->show();
        }
        return false;
    }

private:
    QWidget* companion_;
    bool shown_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<vardo::sim::VirtualEncoderDevice> device;
    return vardo::ui::runUtility(argc, argv, [&device](Form1& mainWindow) {
        // The encoder is on the bus before the main window looks for it.
        vardo::sim::VirtualEncoderDeviceConfig config;
        config.encoder.factorySettings.optionsFitted = 7;
        config.encoder.factorySettings.keypadType = 8;
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>(config);

        auto* window = new vardo::demo::VirtualEncoderWindow(*device, VARDO_DEMO_SAMPLES_DIR);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [window] { delete window; });
        // The pair is centred together, so that neither hides the other.
        window->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            const int width = mainWindow.width() + ShowBeside::kGap + window->width();
            mainWindow.move(area.left() + std::max(0, (area.width() - width) / 2),
                            area.top() + std::max(0, (area.height() - mainWindow.height()) / 2));
        }
        mainWindow.installEventFilter(new ShowBeside(&mainWindow, window));
    });
}
