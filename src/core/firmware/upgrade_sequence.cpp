#include "firmware/upgrade_sequence.h"

#include "loader/bsl430.h"
#include "loader/connection.h"

#include <cstdlib>
#include <mutex>

namespace vardo::firmware {

namespace {

unsigned long hexNumber(std::string text)
{
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)
        text = text.substr(2);
    return std::strtoul(text.c_str(), nullptr, 16);
}

// Status lines to report, messages to notices.
Hooks windowHooks(const ProgressReport& report, const WriteBackReport& notices)
{
    Hooks hooks;
    hooks.event = [report, notices](const Event& e) {
        if (e.notice == Notice::None) {
            if (report)
                report(e.percent, e.text);
        } else if (notices) {
            notices(e.caption, e.text);
        }
    };
    return hooks;
}

} // namespace

std::string padHexStringValue(const std::string& value)
{
    if (value.size() >= 6 || value.rfind("0x", 0) != 0)
        return value;
    std::string digits = value.substr(2);
    while (digits.size() < 4)
        digits.insert(digits.begin(), '0');
    return "0x" + digits;
}

UpgradeSequence::UpgradeSequence(ProgressReport report, WriteBackReport notices)
    : myVID(padHexStringValue(resourceText("VID"))),
      myPID(padHexStringValue(resourceText("PID"))),
      report_(report),
      job_(windowPolicy(), windowHooks(report, notices))
{
}

std::string UpgradeSequence::connectionText() const
{
    const std::string text = "PID=" + myPID + ",VID=" + myVID + ",DEVICEINDEX=" + myDeviceIndex;
    return myPort.empty() ? text : text + ",PORT=" + myPort;
}

void UpgradeSequence::useConnectionText()
{
    job_.setLoaderAddress(loader::parseConnectionText(connectionText().c_str()));
}

void UpgradeSequence::say(int percent, const std::string& text) const
{
    if (report_)
        report_(percent, text);
}

void UpgradeSequence::takeTimes()
{
    startProgramTime = job_.programStartMs();
    stopProgramTime = job_.programStopMs();
    totalProgramTime = (stopProgramTime - startProgramTime) / 1000;
}

std::uint32_t UpgradeSequence::countLoaders() const
{
    std::lock_guard lock(loader::libraryMutex());
    return BSL_NumOfUSBDevices(static_cast<std::uint16_t>(hexNumber(myVID)),
                               static_cast<std::uint16_t>(hexNumber(myPID)));
}

bool UpgradeSequence::run(const std::string& fileName)
{
    if (fileName.empty()) {
        say(0, "No file specified\r\n");
        return false;
    }
    // Nothing on the device is touched for a file that is not a whole,
    // well-formed image for the encoder's flash; what follows uses this copy.
    FirmwareImage image;
    const ImageCheckResult check = loadFirmwareImage(fileName, image);
    switch (check.result) {
    case ImageCheck::Ok:
        return run(image);
    case ImageCheck::CannotOpen:
        say(0, "Unable to open the firmware file\r\n");
        return false;
    case ImageCheck::Folder:
    case ImageCheck::NotAFile:
        say(0, "Not a firmware file: " + check.reason + "\r\n");
        return false;
    case ImageCheck::Malformed:
        break;
    }
    say(0, "Not a valid TI-TXT firmware file (" + check.reason + ")\r\n");
    return false;
}

bool UpgradeSequence::run(const FirmwareImage& image)
{
    if (!job_.hasLoaderTexts()) {
        const LoaderTextsFound found = findLoaderTexts();
        for (const std::string& problem : {found.ramLoaderProblem, found.passwordProblem}) {
            if (!problem.empty()) {
                say(0, problem + "\r\n");
                return false;
            }
        }
        job_.setLoaderTexts(found.texts);
    }
    // The window's loader count waits meanwhile.
    std::lock_guard lock(loader::libraryMutex());
    return CustomSelectedFirmware(image);
}

bool UpgradeSequence::CustomSelectedFirmware(const FirmwareImage& image)
{
    useConnectionText();
    outcome_ = job_.program(image);
    takeTimes();
    return outcome_.ok();
}

bool UpgradeSequence::DownloadStartUp(bool& massErase)
{
    useConnectionText();
    const bool ok = job_.startLoader(massErase);
    takeTimes();
    return ok;
}

bool UpgradeSequence::TriggerForcedBOR() { return job_.reset(); }

loader::Result UpgradeSequence::returnToApplication(const std::string& passwordText)
{
    useConnectionText();
    std::lock_guard lock(loader::libraryMutex());
    return job_.returnToApplication(passwordText);
}

bool completeUpgrade(const RestoreValues& values, device::EncoderSlot& slot, const WriteBackReport& report)
{
    Hooks hooks = windowHooks(nullptr, report);
    hooks.findEncoder = [&slot] {
        slot.rescan();
        return slot.get();
    };
    UpgradeJob job(windowPolicy(), std::move(hooks));
    job.setSettings(values);
    return job.restore().ok();
}

} // namespace vardo::firmware
