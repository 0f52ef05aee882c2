#pragma once
// The utility's main window: the encoder's status panel, its five settings
// boxes and the buttons that open every other window. It owns the encoder
// slot for the whole run; the other windows borrow it.
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/utility_config.h"
#include "device/device_watch.h"
#include "device/encoder.h"
#include "device/power_up_defaults.h"
#include "platform/worker.h"

class QComboBox;
class QLabel;
class QMenuBar;
class QStatusBar;
class QTextEdit;
class QPushButton;
class QAction;
class firmware_upgrade;

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    // Device state: the last values the encoder reported or accepted (its
    // settings, firmware version and code table).
    vardo::link::DeviceStatus deviceStatus;
    // The two lines of the status panel.
    std::array<QString, 2> configArray;

    void EnableDisableFunctionButtons(bool btnEnabled);
    void ShowDeviceStatus();
    void ShowNoDevice();

    // The load step run just before the window first shows; loaded() runs once
    // its scan has been shown (and any message about it said).
    void onLoad(std::function<void()> loaded = {});

    // True while an exchange with the encoder runs on the worker: the controls
    // that would start another are disabled meanwhile, and closing or Exit
    // waits for it. The window keeps drawing and answering.
    bool busy() const { return working_; }

    // Handlers, public so that tests can drive the window as an operator would.
    // Those that talk to the encoder return at once and finish when the worker
    // reports. The controls keep their designer names as objectName (in brackets).
    void onScanForDevice();        // "Scan For Device" (button11)
    void onTestEncoder();          // "Test Encoder" (button2)
    void onCustomiseCodeTable();   // "Customise Code Table" (button1)
    void onResetFromConfigFile();  // "Reset From Configuration File" (button3)
    void onSaveChanges();          // "Save Changes" (button8)
    void onFactoryReset();         // "Reset To Factory Default" (button9)
    void onExit();                 // "Exit" (button10)
    void onUpdateFirmware();       // "Update Encoder Firmware", a mouse click only (btnLoadFirmware)
    // The same for the encoder waiting in its loader on port (File > Encoder).
    void updateFirmwareInLoader(const std::string& port);
    void onMenuExit();             // File / Exit
    void onImportConfig();         // File / Import Cfg File
    void onExportConfig();         // File / Export Cfg File
    void onAbout();                // Help / About Keypad Configuration Utility
    // The operator committed a choice in one of the five settings boxes.
    void onBrightnessChosen();     // ledBrightnessCbox
    void onColourChosen();         // ledColourCbox
    void onBuzzerChosen();         // buzzerCbox
    void onBuzzerPeriodChosen();   // buzzerPeriodCbox
    void onKeypadTypeChosen();     // keypadTypeCbox

    // What "Exit" does after closing the encoder: by default closes every window
    // and ends the event loop. Tests put a recorder here.
    void setApplicationEnder(std::function<void()> ender);

    // The encoder this window works with and lends the windows it opens.
    const std::shared_ptr<vardo::device::EncoderSlot>& encoder() const { return encoder_; }

    // Secondary windows opened from here that are still open.
    std::vector<QWidget*> openWindows() const;

    // An encoder arrived or left (the device watch, carried onto this thread):
    // a lost encoder takes the panel to its no-encoder state, an arrival with
    // none in use runs the scan.
    void onDeviceChange();

signals:
    // The operator closed the window by its title bar.
    void closedByOperator();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // A status read on the worker: the reply and the encoder it came from.
    struct StatusRead {
        bool ok = false;
        vardo::link::DeviceStatus status;
        std::string path;    // the encoder's, for the power-up defaults
        bool gone = false;   // failed because the encoder has left the bus
    };
    // A re-scan on the worker: whether an encoder opened, and its status.
    struct ScanResult {
        bool found = false;
        bool notPermitted = false;   // listed, but this user may not open it
        std::vector<std::string> loaders;   // ports of encoders waiting in their loader
        StatusRead status;
    };
    // GET_STATUS on the slot's encoder (on the worker); status brings the table
    // beyond the section the encoder reports.
    static StatusRead GetDeviceStatusMessage(const vardo::device::EncoderSlot& slot,
                                             vardo::link::DeviceStatus status);
    static ScanResult rescan(vardo::device::EncoderSlot& slot, const vardo::link::DeviceStatus& current);
    // A good read becomes the window's device state; false for a failed one.
    bool takeStatus(const StatusRead& read);
    // Writes the status read again after WRITE_DEFAULTS to the configuration file.
    void SaveToConfigFile(const StatusRead& read);
    void openCodeTableEditor(const StatusRead& read);

    // work() on the worker with the controls held disabled; then, on this
    // thread, the controls as they were, done(work's result), and whatever
    // waited for the worker. False (nothing started) while another runs.
    template <typename Work, typename Done>
    bool startWork(Work work, Done done)
    {
        if (working_)
            return false;
        holdControls();
        worker_->run(std::move(work), [this, done = std::move(done)](auto&&... result) mutable {
            releaseControls();
            done(std::forward<decltype(result)>(result)...);
            runDeferred();
        });
        return true;
    }
    void holdControls();
    void releaseControls();
    // Exit, closing, a scan or a device change asked for while the worker ran.
    void runDeferred();

    // The controls at their designer positions, in five groups.
    void buildControls();
    void buildStatusPanel();
    void buildSettingsBoxes();
    void buildButtons();
    void buildMenu();   // with its actions' handlers
    void connectHandlers();
    // The re-scan of the load step, "Scan For Device" and the factory reset: the
    // first encoder opened (or "not connected" said), its status read and shown.
    // True when an encoder is shown. atStart: the load step, before the window shows.
    // then(present) follows, with present true when an encoder is shown.
    void rescanAndShowStatus(bool atStart = false, std::function<void(bool present)> then = {});
    // "The encoder on PORT waits in its loader...", for the status bar.
    static QString loaderWaiting(const std::string& port);
    bool showScan(const ScanResult& scan, bool atStart);
    // The read taken, then ShowDeviceStatus or ShowNoDevice; true for the first.
    bool showStatusOrNone(const StatusRead& read);
    // "Vardo 710 Encoder not connected..", with a line on permissions when that
    // is the cause, or (atStart) on what to do once the window has opened.
    void showNotConnected(bool notPermitted, bool atStart);
    // After a failed action: when the encoder had left the bus (gone, as the
    // worker found), says it is not connected (once, instead of the action's
    // own failure) and shows the window without it. Returns gone.
    bool reportIfEncoderGone(bool gone);
    // The status bar: the encoder in use (port, serial) on the right; the
    // last outcome, or what to do without an encoder, on the left.
    void showIdentity();
    // The title and the status bar mark settings the encoder would not power
    // up with (not saved as power-up defaults).
    void showSavedState();
    void showOutcome(const QString& text);
    void showNoEncoderHint();
    // The left side's message described a state that has ended (the encoder
    // shown anew, lost, changed or restarted): it goes.
    void endOutcome();
    // Code table editors closed first, so that their edits are applied or
    // dropped by the operator's choice. False when one stays open (for now:
    // one applying its edits on the way out ends the exit or close after).
    bool closeEditors(bool exit);
    // Import: what the new file holds, and the offer to send it now.
    void offerImportedSettings(const std::string& chosenPath);
    bool upgradeWindowOpen() const;
    // While an upgrade runs, closing (exit false) or Exit says why it waits,
    // and happens once the upgrade has ended. False when none runs.
    bool waitForUpgrade(bool exit);
    // The upgrade windows closed first, so that they return an encoder left in its loader.
    void closeUpgradeWindows();
    // "Update Encoder Firmware" before the upgrade window shows: the settings
    // read and handed to window (with a backup file) or "Failed to Get Device
    // Status Message." said, then ENTER_BSL, on that window's worker; a refused
    // ENTER_BSL disables the device controls.
    void prepareUpgrade(firmware_upgrade& window);
    // The encoder this window and the windows it opens work with.
    std::shared_ptr<vardo::device::EncoderSlot> encoder_;
    void showStatusLines(const QString& line1, const QString& line2);
    void presentEncoderLines();
    // The box's choice sent; taken into field, or the box put back and the failure said.
    void commitBox(QComboBox* box, vardo::device::Setting setting, int payloadOffset,
                   int vardo::link::DeviceStatus::*field);
    void trackWindow(QWidget* window);
    static void selectItem(QComboBox* box, int index);

    QLabel* label1 = nullptr;
    QPushButton* button11 = nullptr;
    QTextEdit* richTextBox1 = nullptr;
    QComboBox* keypadTypeCbox = nullptr;
    QComboBox* ledBrightnessCbox = nullptr;
    QComboBox* ledColourCbox = nullptr;
    QComboBox* buzzerCbox = nullptr;
    QComboBox* buzzerPeriodCbox = nullptr;
    QPushButton* button2 = nullptr;
    QPushButton* button1 = nullptr;
    QPushButton* button3 = nullptr;
    QPushButton* button8 = nullptr;
    QPushButton* btnLoadFirmware = nullptr;
    QPushButton* button9 = nullptr;
    QPushButton* button10 = nullptr;
    QMenuBar* menuStrip1 = nullptr;
    QStatusBar* statusStrip1 = nullptr;
    QLabel* encoderIdentityLbl = nullptr;
    QLabel* unsavedLbl = nullptr;
    // Whether what the encoder runs with is what it powers up with.
    vardo::device::PowerUpDefaults powerUp_;
    std::unique_ptr<vardo::device::DeviceWatch> watch_;
    std::unique_ptr<vardo::platform::Worker> worker_;
    bool working_ = false;
    std::vector<std::pair<QWidget*, bool>> held_;   // controls held, and whether they were enabled
    QAction* importAction_ = nullptr;
    bool importHeld_ = false;
    QPointer<QWidget> focusBefore_;
    bool exitAfterWork_ = false;
    bool closeAfterWork_ = false;
    bool changeAfterWork_ = false;
    bool scanAfterWork_ = false;

    std::function<void()> applicationEnder_;
    bool closing_ = false;          // ending: no more scans
    bool closeAfterUpgrade_ = false;
    bool exitAfterUpgrade_ = false;
    std::vector<QPointer<QWidget>> windows_;
};
