#pragma once
// Whether an encoder's live settings are also the ones it powers up with.
// Settings the encoder takes are live at once; only WRITE_DEFAULTS (or a reset,
// or the upgrade's write-back) makes them what a replug brings back. Told what
// the encoder reported, took and saved, this compares; no Qt.
#include "link/code_table.h"
#include "link/encoder_commands.h"

#include <optional>
#include <string>

namespace vardo::device {

class PowerUpDefaults {
public:
    // A status read from the encoder `who` (its path): an encoder not known
    // yet (first seen, or forgotten since) powers up with what it reports;
    // for the known one these are its live settings.
    void seen(const std::string& who, const link::DeviceStatus& status);
    // The encoder took a setting or layout: settings holds every live value
    // (its table is not looked at).
    void changed(const link::DeviceStatus& settings);
    // The encoder took a code table for its current layout.
    void tableLoaded(const link::CodeTable& table);
    // WRITE_DEFAULTS taken: the live settings are the power-up defaults now.
    void saved(const link::DeviceStatus& status);
    // The encoder has gone or restarts (factory reset, upgrade): nothing known.
    void forget();

    // True while a live setting or table differs from what the encoder
    // powers up with; false while nothing is known.
    [[nodiscard]] bool unsaved() const;

private:
    std::string who_;
    std::optional<link::DeviceStatus> defaults_;
    link::DeviceStatus live_;
    bool tableDiffers_ = false;
};

} // namespace vardo::device
