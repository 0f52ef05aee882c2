#pragma once
// The firmware upgrade window: watches for the encoder's bootstrap loader,
// counts loaders, runs the upgrade on a worker and writes the operator's
// settings back into the new firmware. The sequence itself lives in
// upgrade_sequence.h; this window only gathers input and shows results.
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class firmware_upgrade : public QWidget {
    Q_OBJECT

public:
    // A top-level, fixed-size window (a parent only ties its lifetime).
    explicit firmware_upgrade(QWidget* parent = nullptr);
    ~firmware_upgrade() override;

    // The settings to write back after a successful upgrade; call before show().
    // One-byte payloads take the low 8 bits of each value.
    void setRestoreValues(int ledBrightness, int buzzer, int buzzerPeriod, int keypadType,
                          int options, const std::array<std::uint8_t, 32>& keyCodeArray);

signals:
    // After the completion of an upgrade (and, on success, the settings write-back).
    void upgradeFinished(bool ok);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
