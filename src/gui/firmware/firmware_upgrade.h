#pragma once
// The firmware upgrade window: watches for the encoder's bootstrap loader,
// counts loaders, runs the upgrade on a worker and writes the operator's
// settings back into the new firmware. The upgrade itself is an UpgradeJob
// (upgrade_job.h); this window only gathers input and shows its events.
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

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

    // The settings to write back after a successful upgrade; call before show().
    // One-byte payloads take the low 8 bits of each value.
    void setRestoreValues(int ledBrightness, int buzzer, int buzzerPeriod, int keypadType,
                          int options, const vardo::link::CodeTable& keyCodeArray);

    // Before show(), as the main window starts the upgrade: the settings read
    // over table (a short status keeps the rest of it); keep shows and backs
    // them up, a status that cannot be read is said in a box and the upgrade
    // goes on without them; then ENTER_BSL. True when the encoder took it.
    bool prepareUpgrade(std::shared_ptr<vardo::device::Encoder> encoder, const vardo::link::CodeTable& table,
                        const vardo::firmware::Keep& keep);

    // The operator has already agreed that, with no password text, the
    // upgrade mass-erases the encoder: Upgrade Firmware does not ask again.
    void acceptMassErase();

    // From Upgrade Firmware to the end of the write-back: closing then waits for the end.
    [[nodiscard]] bool upgradeRunning() const;

signals:
    // After an upgrade ended: ok when the new firmware was programmed, verified
    // and started (the write-back, which follows, reports its own failures).
    void upgradeFinished(bool ok);
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
