// The longest stall of the main window's event loop while an encoder keeps it
// waiting, on the real clock: a heartbeat timer beats every few milliseconds
// and its worst lateness is the stall the operator would see (a window that
// neither repaints nor answers). Two cases: a whole firmware upgrade from the
// window on the virtual encoder, and a setting sent to an encoder that has
// stopped answering (its 5 s time-out).
#include "firmware/firmware_upgrade.h"
#include "mainwindow/form1.h"
#include "device/port_lock.h"
#include "platform/clock.h"
#include "platform/recording_dialogs.h"
#include "platform/user_folder.h"
#include "sim/bus.h"
#include "sim/virtual_device.h"
#include "sim/virtual_encoder.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using namespace vardo;

constexpr int kBeatMs = 5;

// Beats every kBeatMs; how late the latest beat came, at worst.
class Heartbeat {
public:
    Heartbeat()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kBeatMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { beat(); });
        clock_.start();
        last_ = clock_.elapsed();
        timer_.start();
    }
    // A stall still going on when asked counts too.
    qint64 worstLatenessMs()
    {
        beat();
        return worst_;
    }

private:
    void beat()
    {
        const qint64 now = clock_.elapsed();
        worst_ = std::max(worst_, now - last_ - kBeatMs);
        last_ = now;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
};

// Serves the event loop until done() or the time is up (a timer of its own
// wakes it at least every kBeatMs).
bool serveUntil(const std::function<bool()>& done, int timeoutMs)
{
    QTimer wake;
    wake.start(kBeatMs);
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

// A private data folder and bus, recorded dialogs, no port locks; the real clock.
class World {
public:
    World()
    {
        char pattern[] = "/tmp/vardo-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        platform::setUserDataFolderOverride(root_);
        device::setPortLockFolderOverride("");
        sim::Bus::instance().reset();
    }
    ~World()
    {
        sim::Bus::instance().reset();
        platform::setUserDataFolderOverride("");
        device::setPortLockFolderOverride(std::nullopt);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    platform::RecordingDialogs dialogs;

private:
    platform::ScopedDialogs inForce_{dialogs};
    std::string root_;
};

// The window loaded with the encoder on the bus shown.
bool loadWindow(Form1& window)
{
    window.onLoad();
    window.show();
    return serveUntil([&] { return window.configArray[0].contains(QStringLiteral("Vardo 710")); }, 10000);
}

// Each iteration: the window loaded with a Device on the bus, then act(device,
// window, dialogs) under the heartbeat ("" when it went as planned, else why not).
template <typename Device, typename Act>
void measureStall(benchmark::State& state, Act act)
{
    qint64 worst = 0;
    for (auto _ : state) {
        World world;
        Device device;
        Form1 window;
        if (!loadWindow(window)) {
            state.SkipWithError("the window did not show the encoder");
            break;
        }
        Heartbeat heartbeat;
        if (const std::string failed = act(device, window, world.dialogs); !failed.empty()) {
            state.SkipWithError(failed.c_str());
            break;
        }
        worst = std::max(worst, heartbeat.worstLatenessMs());
    }
    state.counters["stall_ms"] = static_cast<double>(worst);
}

void BM_StallDuringSilentEncoderTimeOut(benchmark::State& state)
{
    measureStall<sim::VirtualEncoder>(state, [](sim::VirtualEncoder& encoder, Form1& window,
                                                platform::RecordingDialogs& dialogs) {
        dialogs.clear();
        encoder.injectFault({sim::EncoderFault::Silence, true});
        auto* box = window.findChild<QComboBox*>(QStringLiteral("ledBrightnessCbox"));
        box->setCurrentIndex(3);
        emit box->activated(3);
        // The failure is said once the encoder has not answered for 5 s.
        return serveUntil([&] { return !dialogs.messages().empty(); }, 20000)
            ? "" : "the time-out was never reported";
    });
}
BENCHMARK(BM_StallDuringSilentEncoderTimeOut)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_StallDuringWindowUpgrade(benchmark::State& state)
{
    const std::string image = std::string(VARDO_FIRMWARE_SAMPLES_DIR) + "/encoder_firmware_01.06A.txt";
    measureStall<sim::VirtualEncoderDevice>(state, [&](sim::VirtualEncoderDevice&, Form1& window,
                                                       platform::RecordingDialogs& dialogs) -> std::string {
        dialogs.answerQuestion(true);   // "Are you sure you want to upgrade the firmware?"
        window.onUpdateFirmware();
        auto* upgrade = qobject_cast<firmware_upgrade*>(window.openWindows().back());
        bool finished = false;
        bool ok = false;
        QObject::connect(upgrade, &firmware_upgrade::upgradeFinished, [&](bool result) {
            finished = true;
            ok = result;
        });
        upgrade->show();
        auto* browse = upgrade->findChild<QPushButton*>(QStringLiteral("btnBrowse"));
        auto* start = upgrade->findChild<QPushButton*>(QStringLiteral("btnUpgrade"));
        // The buttons are offered once the window has found the encoder in its loader.
        if (!serveUntil([&] { return browse->isEnabled() && start->isEnabled(); }, 20000))
            return "the upgrade could not be started";
        dialogs.answerOpenFile(image);
        browse->click();
        start->click();
        if (!serveUntil([&] { return finished; }, 120000) || !ok) {
            std::string said;
            for (const std::string& text : dialogs.messages())
                said += " " + text;
            for (QLabel* label : upgrade->findChildren<QLabel*>())
                said += " [" + label->text().toStdString() + "]";
            return "the upgrade did not end well:" + said;
        }
        upgrade->close();
        return "";
    });
}
BENCHMARK(BM_StallDuringWindowUpgrade)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
