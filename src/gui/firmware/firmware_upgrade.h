#pragma once
// The firmware upgrade window: watches for the encoder's bootstrap loader,
// counts loaders, runs the upgrade (with the restart wait and the write-back
// of the operator's settings) on its device worker. The upgrade itself is an
// UpgradeJob (upgrade_job.h); this window only gathers input and shows its
// events, and its own thread never waits for a device.
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/code_table.h"
#include "firmware/upgrade_job.h"

namespace vardo::device {
class Encoder;
class EncoderSlot;
}

class QCloseEvent;
class QShowEvent;

class firmware_upgrade : public QWidget {
    Q_OBJECT

public:
    // A top-level, fixed-size window (a parent only ties its lifetime).
    // Closing it releases it (once its workers have ended). After the upgrade
    // the first encoder is opened into encoder and the settings go back into it.
    explicit firmware_upgrade(std::shared_ptr<vardo::device::EncoderSlot> encoder,
                              QWidget* parent = nullptr);
    // Stops the device notifications and waits for a worker still running.
    ~firmware_upgrade() override;

    // The settings to write back after a successful upgrade (brightness,
    // buzzer, buzzer period, keypad type, options and the code table); call
    // before show(). One-byte payloads take the low 8 bits of each value.
    void setRestoreValues(const vardo::link::DeviceStatus& settings);

    // Before show(), as the main window starts the upgrade: the settings read
    // over table (a short status keeps the rest of it); keep shows and backs
    // them up, a status that cannot be read is said in a box and the upgrade
    // goes on without them; then ENTER_BSL. Without the password text the
    // mass erase is asked first, here (once for this window); declined,
    // nothing is sent. The exchange runs on the window's worker (keep too),
    // and prepared() says how it ended.
    void prepareUpgrade(std::shared_ptr<vardo::device::Encoder> encoder, const vardo::link::CodeTable& table,
                        const vardo::firmware::Keep& keep);
    // Instead of prepareUpgrade: the encoder on port waits in its loader with
    // no working firmware. The mass erase is asked now; the newest backup
    // recorded for the port is written back after the upgrade.
    void recoverLoader(const std::string& port);
    // From prepareUpgrade until prepared().
    [[nodiscard]] bool preparing() const;

    // From Upgrade Firmware to the end of the write-back: closing then waits for the end.
    [[nodiscard]] bool upgradeRunning() const;

    // Where Browse opens until an image has been chosen (the demo's sample images).
    static void setDefaultFolder(const std::string& folder);

signals:
    // The preparation has ended: false when it stopped (settings declined) or ENTER_BSL was not taken.
    void prepared(bool entered);
    // After an upgrade ended: ok when the new firmware was programmed, verified
    // and started (the write-back, which follows, reports its own failures).
    void upgradeFinished(bool ok);
    // Right after upgradeFinished: how the upgrade ended, in a line for a status bar.
    void upgradeEnded(const QString& summary);
    // After each loader count has been shown.
    void loaderCounted(unsigned numberOfDevices);
    // Closed without a finished upgrade, the encoder was sent back to its
    // application (or its loader had already gone): the main window scans again.
    void returnedToApplication();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void OnHandleCreated();
    void ParseMessages(std::uint32_t message, std::uint32_t event);
    void onBrowse();
    void onStartUpgrade();
    void onClose();
    void backgroundWorker1_ProgressChanged(int percent, const std::string& text);
    void backgroundWorker1_RunWorkerCompleted(bool result, bool failedWithException);
    void backgroundWorkerCheckDevice_RunWorkerCompleted(unsigned count, bool failedWithException);
    void startLoaderCount();
    void releaseWhenIdle();
    // "Encoder: port ..., serial ...\nFirmware: ..." from what is known of it.
    void showEncoder();
    // task on the device worker, then done (may be empty) on this thread.
    void onDevice(std::function<void()> task, std::function<void()> done);
    // A job's message for a box: shown on this thread after the lines before it.
    void notice(const char* caption, const std::string& text);
    // On closing without a finished upgrade: the encoder back into its
    // application, or why it stays in its loader.
    void leaveLoader();
    // The encoder this window sent into its loader is back in its application
    // (re-plugged before its flash was touched): into its loader again, so
    // that the count finds it.
    void onEncoderChange();

    struct Impl;
    std::unique_ptr<Impl> d;
};
