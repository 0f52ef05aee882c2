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

// Status lines to report, messages to notices; the window's own hooks besides.
Hooks windowHooks(const ProgressReport& report, const WriteBackReport& notices, Hooks hooks)
{
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

UpgradeSequence::UpgradeSequence(ProgressReport report, WriteBackReport notices, Hooks hooks,
                                 const std::string& port)
    : myVID(padHexStringValue(resourceText("VID"))),
      myPID(padHexStringValue(resourceText("PID"))),
      myPort(port),
      report_(report),
      job_(windowPolicy(port), windowHooks(report, notices, std::move(hooks)))
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
    // The window's loader count waits meanwhile.
    std::lock_guard lock(loader::libraryMutex());
    useConnectionText();
    // The window upgrades the loader it counted; it never sends an encoder there itself here.
    job_.startInLoader();
    outcome_ = job_.run(image);
    startProgramTime = job_.programStartMs();
    stopProgramTime = job_.programStopMs();
    totalProgramTime = (stopProgramTime - startProgramTime) / 1000;
    return outcome_.programmed();
}

loader::Result UpgradeSequence::returnToApplication(const std::string& passwordText)
{
    useConnectionText();
    std::lock_guard lock(loader::libraryMutex());
    return job_.returnToApplication(passwordText);
}

} // namespace vardo::firmware
