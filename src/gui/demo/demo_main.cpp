// The utility against a virtual encoder (all options fitted, the 16-key
// customised layout), with a window of the encoder itself beside it.
// --sim-encoders=N (2-8) puts N-1 more encoders on ports 1-2 ... 1-N, to try
// the File menu's choice of encoder; the window shows each, chosen by port.
// --sim-state=FILE keeps the encoders in FILE, shared with vardo-encoder-demo
// (sim/sim_state.h): read at start, written after every change and at exit.
// --sim-in-loader=PORT[,PORT] starts the encoders on those ports (1-1, 1-2 ...)
// in their loader with their application erased.
#include "demo/virtual_encoder_window.h"
#include "device/port_lock.h"
#include "firmware/firmware_upgrade.h"
#include "mainwindow/app_startup.h"
#include "mainwindow/form1.h"
#include "sim/sim_state.h"
#include "sim/virtual_device.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <memory>
#include <string>
#include <vector>

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

const char* const kAbout = R"(The encoder utility's window on a virtual encoder (all options fitted, the
16-key customised layout), with a window of the encoder itself beside it: no
hardware needed. --sim-encoders=N (2-8) adds encoders on ports 1-2 ... 1-N;
--sim-state=FILE keeps the encoders in FILE from one run to the next;
--sim-in-loader=PORT[,PORT] starts those encoders in their loader, erased.
)";

// The value of an --option=VALUE argument (taken off the arguments).
std::optional<std::string> takeOption(int& argc, char** argv, const std::string& option)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(option, 0) != 0)
            continue;
        for (int j = i; j + 1 < argc; ++j)
            argv[j] = argv[j + 1];
        --argc;
        return arg.substr(option.size());
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    if (const auto code = vardo::ui::answerWithoutDisplay(argc, argv, "vardo-encoder-utility-demo", kAbout))
        return *code;
    const auto countOption = takeOption(argc, argv, "--sim-encoders=");
    const auto statePath = takeOption(argc, argv, "--sim-state=");
    vardo::device::setPortLockFolderOverride(vardo::sim::portLockFolderFor(statePath.value_or("")));
    const auto inLoader = takeOption(argc, argv, "--sim-in-loader=");
    std::optional<vardo::sim::SimStateFile> stateFile;
    std::optional<vardo::sim::SimState> state;
    if (statePath) {
        std::string error;
        if (!stateFile.emplace(*statePath).load(state, error)) {
            std::cerr << "vardo-encoder-utility-demo: " << error << '\n';
            return 7;
        }
    }
    // --sim-encoders wins over the number kept; the window shows at least one.
    const int encoders = std::clamp(countOption ? std::atoi(countOption->c_str())
                                    : state               ? static_cast<int>(state->encoders.size())
                                                          : 1,
                                    1, 8);
    std::unique_ptr<vardo::sim::VirtualEncoderDevice> device;
    std::vector<std::unique_ptr<vardo::sim::VirtualEncoderDevice>> others;
    const int code = vardo::ui::runUtility(argc, argv, [&](Form1& mainWindow) {
        for (int i = 2; i <= encoders; ++i) {
            vardo::sim::VirtualEncoderDeviceConfig config;
            config.encoder.port = "sim:1-" + std::to_string(i);
            config.encoder.serial = L"VE710-00000" + std::to_wstring(i);
            config.encoder.factorySettings.optionsFitted = 7;
            others.push_back(std::make_unique<vardo::sim::VirtualEncoderDevice>(config));
        }
        // The encoder is on the bus before the main window looks for it.
        vardo::sim::VirtualEncoderDeviceConfig config;
        config.encoder.factorySettings.optionsFitted = 7;
        config.encoder.factorySettings.keypadType = 8;
        device = std::make_unique<vardo::sim::VirtualEncoderDevice>(config);

        std::vector<vardo::sim::VirtualEncoderDevice*> shown{device.get()};
        for (const auto& other : others)
            shown.push_back(other.get());
        if (stateFile) {
            for (std::size_t i = 0; state && i < shown.size() && i < state->encoders.size(); ++i)
                vardo::sim::restoreEncoderState(*shown[i], state->encoders[i]);
        }
        if (std::string error; inLoader && !vardo::sim::strandOnPorts(shown, *inLoader, error))
            std::cerr << "vardo-encoder-utility-demo: --sim-in-loader: " << error << '\n';
        if (stateFile) {
            std::string error;
            if (!stateFile->watch(shown, error))
                std::cerr << "vardo-encoder-utility-demo: " << error << '\n';
        }
        // Browse in the firmware window starts among the sample images.
        firmware_upgrade::setDefaultFolder(VARDO_DEMO_SAMPLES_DIR);
        auto* window = new vardo::demo::VirtualEncoderWindow(shown, VARDO_DEMO_SAMPLES_DIR);
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
    if (stateFile) {
        std::string error;
        if (!stateFile->detach(error))
            std::cerr << "vardo-encoder-utility-demo: " << error << '\n';
    }
    return code;
}
