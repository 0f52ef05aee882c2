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

    // Device state: the last values the encoder reported or accepted.
    int prev_ledBrightness_index = 0;
    int prev_ledColour_index = 0;
    int prev_buzzer_index = 0;
    int prev_buzzerPeriod_index = 0;
    int prev_keypadType_index = 0;
    int prev_options_fitted = 0;
    std::string firmwareVersion;
    vardo::link::CodeTable keyCodeArray{};
    // The two lines of the status panel.
    std::array<QString, 2> configArray;

    // GET_STATUS unpacked into the fields above; 0, or -1 with nothing changed.
    int GetDeviceStatusMessage();
    void EnableDisableFunctionButtons(bool btnEnabled);
    void ShowDeviceStatus();
    void ShowNoDevice();
    // Re-reads the status and writes it to the configuration file.
    void SaveToConfigFile();

    // The load step run just before the window first shows.
    void onLoad();

    // Handlers, public so that tests can drive the window as an operator would.
    // The controls keep their designer names as objectName (in brackets).
    void onScanForDevice();        // "Scan For Device" (button11)
    void onTestEncoder();          // "Test Encoder" (button2)
    void onCustomiseCodeTable();   // "Customise Code Table" (button1)
    void onResetFromConfigFile();  // "Reset From Configuration File" (button3)
    void onSaveChanges();          // "Save Changes" (button8)
    void onFactoryReset();         // "Reset To Factory Default" (button9)
    void onExit();                 // "Exit" (button10)
    void onUpdateFirmware();       // "Update Encoder Firmware", a mouse click only (btnLoadFirmware)
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
    bool rescanAndShowStatus(bool atStart = false);
    // GetDeviceStatusMessage, then ShowDeviceStatus or ShowNoDevice; true for the first.
    bool showStatusOrNone();
    // "Vardo 710 Encoder not connected..", with a line on permissions when that
    // is the cause, or (atStart) on what to do once the window has opened.
    void showNotConnected(bool atStart = false);
    // After a failed action: when the encoder has left the bus, says it is not
    // connected (once, instead of the action's own failure) and shows the
    // window without it. True when it had gone.
    bool reportIfEncoderGone();
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
    // dropped by the operator's choice. False when one stays open.
    bool closeEditors();
    // Import: what the new file holds, and the offer to send it now.
    void offerImportedSettings(const std::string& chosenPath);
    bool upgradeWindowOpen() const;
    // While an upgrade runs, closing (exit false) or Exit says why it waits,
    // and happens once the upgrade has ended. False when none runs.
    bool waitForUpgrade(bool exit);
    // The upgrade windows closed first, so that they return an encoder left in its loader.
    void closeUpgradeWindows();
    // A status read becomes the window's device state (the prev_ fields and the table).
    void adoptStatus(const vardo::link::DeviceStatus& status);
    // "Update Encoder Firmware" before the upgrade window shows: the settings
    // read and handed to window (with a backup file) or "Failed to Get Device
    // Status Message." said, then ENTER_BSL. True when the encoder took it.
    bool prepareUpgrade(firmware_upgrade& window);
    // The fields of the last status read, as the configuration file keeps them.
    vardo::link::DeviceStatus storedSettings() const;
    // The encoder this window and the windows it opens work with.
    std::shared_ptr<vardo::device::EncoderSlot> encoder_;
    void showStatusLines(const QString& line1, const QString& line2);
    void presentEncoderLines();
    bool commitBox(QComboBox* box, vardo::device::Setting setting, int payloadOffset, int& field);
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

    std::function<void()> applicationEnder_;
    bool closing_ = false;          // ending: no more scans
    bool closeAfterUpgrade_ = false;
    bool exitAfterUpgrade_ = false;
    std::vector<QPointer<QWidget>> windows_;
};
