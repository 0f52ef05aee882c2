#pragma once
// The firmware upgrade as plain logic: start-up of the bootstrap loader, the
// programming and verification of the chosen image, the forced restart, the
// loader count, and the settings write-back after the restart. Reports
// progress through a callback; waits through the platform clock. Qt-free.
#include "device/encoder.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct DataBlock_;

namespace vardo::firmware {

// Caption of the write-back's message boxes.
inline constexpr char kWriteBackCaption[] = "Vardo USB ENCODER";
inline constexpr std::uint32_t kRestartWaitMs = 6000;

// "0x200" -> "0x0200": a "0x" text shorter than 6 characters gets zeros after
// the "0x" up to four digits; anything else is returned unchanged.
std::string padHexStringValue(const std::string& value);

// percent 0-100 and a status line ("" for none), in the order of the steps.
using ProgressReport = std::function<void(int percent, const std::string& text)>;

class UpgradeSequence {
public:
    // Takes the loader identifiers from the embedded resources, widened.
    explicit UpgradeSequence(ProgressReport report);

    // The worker's whole job: "No file specified" for an empty name, else the
    // file is read once and checked, and run(image) follows. fileName: the 8-bit path.
    bool run(const std::string& fileName);
    // The upgrade of an image already read, under the library lock. Without
    // setLoaderTexts the loader texts are looked up first; a missing or
    // unusable RAM loader or password text ends it before the loader is opened.
    bool run(const FirmwareImage& image);
    // The texts for the runs that follow (checked by findLoaderTexts); a
    // missing password means the mass-erase path, which the caller has confirmed.
    void setLoaderTexts(LoaderTexts texts) { texts_ = std::move(texts); }

    // The steps, callable on their own (the caller holds the library lock and
    // has set the loader texts). Erase, program and verify work from image.text.
    bool CustomSelectedFirmware(const FirmwareImage& image);
    bool DownloadStartUp(bool& massErase);
    bool TriggerForcedBOR();

    // Loaders attached with myVID/myPID (takes the library lock).
    std::uint32_t countLoaders() const;
    // "PID=0x0200,VID=0x2047,DEVICEINDEX=0", then ",PORT=" and myPort when set
    std::string connectionText() const;

    std::string myVID;
    std::string myPID;
    std::string myDeviceIndex = "0";
    // The USB port of the encoder being upgraded: when set, the connection
    // text names it and only the loader on that port is used.
    std::string myPort;
    std::uint32_t startProgramTime = 0;
    std::uint32_t stopProgramTime = 0;
    std::uint32_t totalProgramTime = 0;

private:
    // DownloadStartUp's stages: the loader connected (percent for its failure
    // line), the flash loader unlocked (the mass erase path when the password
    // is refused), the RAM loader sent and started, and, connected again, its
    // version and password checked.
    bool connectLoader(const std::u16string& com, int percent);
    bool unlockLoader(const DataBlock_& password, const DataBlock_& defaultPassword, bool& massErase);
    void startRamLoader(const std::string& version);
    bool checkRamLoader(const DataBlock_& password, const std::string& version);
    void report(int percent, const std::string& text) const;
    ProgressReport report_;
    std::optional<LoaderTexts> texts_;
};

// The settings read before the upgrade, written back into the new firmware
// (the encoder's writeBack: options, buzzer, period, layout, table, brightness).
struct RestoreValues : link::DeviceStatus {
    // False when the settings could not be read before the upgrade: zeros would
    // then switch the encoder's options off and clear its code table, so nothing
    // is written back.
    bool known = true;
};

inline constexpr char kMsgSettingsUnknown[] =
    "The settings could not be read before the upgrade and were not written back..";

// Receives one operator message of the write-back (without its line break)
// and the caption of its box; the window shows it, the command-line tool prints it.
using WriteBackReport = std::function<void(const char* caption, const std::string& text)>;

// The seven write-back commands in order (the encoder's writeBack), stopping at
// the first failure, which is reported. A null encoder fails the first command.
// True when all seven succeeded; result, when given, receives the failed one's result.
bool writeBackSettings(device::Encoder* encoder, const RestoreValues& values,
                       const WriteBackReport& report, device::Result* result = nullptr);

// After a successful upgrade: waits 6000 ms, re-opens the first encoder into
// slot (reporting "Vardo 710 Encoder not connected.." when there is none)
// and writes the values back, unless they are not known (then it says so).
// True when the write-back succeeded.
bool completeUpgrade(const RestoreValues& values, device::EncoderSlot& slot,
                     const WriteBackReport& report);

} // namespace vardo::firmware
