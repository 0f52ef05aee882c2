#pragma once
// The firmware upgrade as plain logic: start-up of the bootstrap loader, the
// programming and verification of the chosen image, the forced restart, the
// loader count, and the settings write-back after the restart. Reports
// progress through a callback; waits through the platform clock. Qt-free.
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"

#include <hidapi.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vardo::firmware {

// Caption of the write-back's message boxes.
inline constexpr char kWriteBackCaption[] = "Vardo USB ENCODER";
inline constexpr char kEncoderCaption[] = "Vardo USB Encoder";
inline constexpr char kMessageLineBreak[] = "\r\n";
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
    void report(int percent, const std::string& text) const;
    ProgressReport report_;
    std::optional<LoaderTexts> texts_;
};

// The values written back into the new firmware (one-byte payloads take the low 8 bits).
struct RestoreValues {
    int ledBrightness = 0;
    int buzzer = 0;
    int buzzerPeriod = 0;
    int keypadType = 0;
    int options = 0;
    std::array<std::uint8_t, 32> keyCodeArray{};
    // False when the settings could not be read before the upgrade: zeros would
    // then switch the encoder's options off and clear its code table, so nothing
    // is written back.
    bool known = true;
};

inline constexpr char kMsgSettingsUnknown[] =
    "The settings could not be read before the upgrade and were not written back..";

// The seven write-back commands in order, stopping at the first failure with
// its message box. True when all seven succeeded.
bool writeBackSettings(hid_device* device, const RestoreValues& values);

// After a successful upgrade: waits 6000 ms, re-opens the encoder into
// hid_handle (with "Vardo 710 Encoder not connected.." when there is none)
// and writes the values back, unless they are not known (then it says so).
// True when the write-back succeeded.
bool completeUpgrade(const RestoreValues& values);

} // namespace vardo::firmware
