#pragma once
// The self test window: runs the LED, brightness, buzzer and key tests of the
// encoder on a worker and closes itself when the sequence is over.
#include "device/port_lock.h"
#include "selftest/self_test_sequence.h"

#include <QColor>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;
class QThread;

namespace vardo::selftest {
class WindowSelfTestView;
}

// A top-level, modeless window that deletes itself when closed.
class self_test : public QWidget {
    Q_OBJECT
public:
    // Builds the window and runs InitializeSelfTest: starts the worker, which
    // reads the status, has the labels and key pictures laid out here, and runs
    // the sequence. A failed status read shows "Device status message error.."
    // and leaves an idle window. The window works with whatever encoder the
    // slot holds at each step.
    explicit self_test(std::shared_ptr<vardo::device::EncoderSlot> encoder, QWidget* parent = nullptr);
    // Asks a running worker to stop, waits for it (it finishes its current step)
    // and, if the completion has not run yet, still restores the encoder's
    // period and brightness and ends its self test.
    ~self_test() override;

    // True while the worker runs.
    bool running() const;
    // True until the status read has been shown (or its failure said).
    bool starting() const { return starting_; }
    // The values read from the encoder's status at construction.
    const vardo::link::DeviceStatus& status() const { return state_; }

    // Face colour of the key pictures, taken from button1 at start.
    QColor backGroundColour;
    std::array<std::string, 3> ledColour;
    // Set to 1 by Close; the worker checks it after every step.
    std::atomic<int> closeForm{0};

    // Sets txtBox's text on obj's thread (called from another thread, it is
    // carried over and waited for), then pauses 80 ms on the calling thread.
    static void AddTextToObject(QObject* obj, QLabel* txtBox, const QString& str);
    // The same for a check box's ticked state; str is not used.
    static void AmendCheckBox(QObject* obj, QCheckBox* chkBox, bool checked, const QString& str);

signals:
    // The run is over (just before the window closes): which keys answered.
    void verdict(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Esc does what Close does (and closes an idle window).
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class vardo::selftest::WindowSelfTestView;

    void buildControls();
    void InitializeSelfTest();
    // The status read in the labels and key pictures.
    void showStatus();
    int GetDeviceStatusMessage();
    void self_test_Load();
    void onEndTest();
    void backgroundWorker1_DoWork();
    void backgroundWorker1_RunWorkerCompleted();
    QPushButton* picture(int n) const { return pictures_[static_cast<std::size_t>(n - 1)]; }
    QLabel* label(vardo::selftest::TextTarget target) const;
    QCheckBox* checkBox(vardo::selftest::CheckTarget target) const;

    QLabel* label3 = nullptr;
    QLabel* ledLbl = nullptr;
    QLabel* ledColourLbl = nullptr;
    QCheckBox* ledCheckBox = nullptr;
    QLabel* ledBrightnessLbl = nullptr;
    QLabel* ledLevelLbl = nullptr;
    QCheckBox* brightnessCheckBox = nullptr;
    QLabel* buzzerLbl = nullptr;
    QLabel* buzzerPeriodLbl = nullptr;
    QCheckBox* buzzerCheckBox = nullptr;
    QLabel* label4 = nullptr;
    QLabel* keypadLbl = nullptr;
    std::array<QPushButton*, 16> pictures_{};   // button1 .. button16
    QPushButton* endBtn = nullptr;
    QThread* backgroundWorker1 = nullptr;

    vardo::link::DeviceStatus state_;
    std::unique_ptr<vardo::selftest::SelfTestPort> port_;
    std::unique_ptr<vardo::selftest::WindowSelfTestView> view_;
    // One sequence for the run and its completion, so the verdict survives both.
    std::unique_ptr<vardo::selftest::SelfTestSequence> sequence_;
    // The encoder's port lock while the test runs: no other program drives it meanwhile.
    std::optional<vardo::device::PortLock> portLock_;
    bool loaded_ = false;
    bool workerStarted_ = false;
    bool completed_ = false;
    bool destroying_ = false;
    bool starting_ = false;
    std::atomic<bool> statusFailed_{false};
};
