#pragma once
// The upgrade window's names for the firmware upgrade (myVID, myPID,
// connectionText, startProgramTime ...): a thin face over UpgradeJob
// (upgrade_job.h), which holds the steps. Qt-free.
#include "device/encoder.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_job.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vardo::firmware {

// "0x200" -> "0x0200": a "0x" text shorter than 6 characters gets zeros after
// the "0x" up to four digits; anything else is returned unchanged.
std::string padHexStringValue(const std::string& value);

// percent 0-100 and a status line ("" for none), in the order of the steps.
using ProgressReport = std::function<void(int percent, const std::string& text)>;

class UpgradeSequence {
public:
    // Takes the loader identifiers from the embedded resources, widened. The
    // job follows the window's policy on port ("" when unknown); its status
    // lines go to report, its messages for a box to notices. Of hooks the
    // window's own (keep, findEncoder, allowMassErase) are taken; events go to
    // report and notices.
    explicit UpgradeSequence(ProgressReport report, WriteBackReport notices = {}, Hooks hooks = {},
                             const std::string& port = {});

    // The worker's whole job: "No file specified" for an empty name, else the
    // file is read and checked once, and run(image) follows. fileName: the 8-bit path.
    [[nodiscard]] bool run(const std::string& fileName);
    // The job's run() under the library lock: the checks, the loader found,
    // the programming, the restart and the write-back. True when the new
    // firmware was programmed and started (the write-back reports its own failures).
    [[nodiscard]] bool run(const FirmwareImage& image);
    void setLoaderTexts(LoaderTexts texts) { job_.setLoaderTexts(std::move(texts)); }

    // Loaders attached with myVID/myPID (takes the library lock).
    [[nodiscard]] std::uint32_t countLoaders() const;
    // "PID=0x0200,VID=0x2047,DEVICEINDEX=0", then ",PORT=" and myPort when set
    [[nodiscard]] std::string connectionText() const;

    // The job behind: the window prepares the upgrade through it.
    [[nodiscard]] UpgradeJob& job() { return job_; }
    // Where the last run stopped.
    [[nodiscard]] const Outcome& outcome() const { return outcome_; }
    // The job's returnToApplication on the loader of myPort, under the library lock.
    [[nodiscard]] loader::Result returnToApplication(const std::string& passwordText);

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
    void useConnectionText();
    void say(int percent, const std::string& text) const;
    ProgressReport report_;
    UpgradeJob job_;
    Outcome outcome_;
};

} // namespace vardo::firmware
