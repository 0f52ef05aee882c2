#include "firmware/upgrade_sequence.h"

#include "link/messages.h"

#include "firmware/bsl430.h"
#include "firmware/firmware_checks.h"
#include "firmware/firmware_resources.h"
#include "firmware/image_check.h"
#include "link/encoder_commands.h"
#include "link/hid_transport.h"
#include "link/messages.h"
#include "platform/clock.h"
#include "platform/text8.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace vardo::firmware {

namespace {

constexpr std::uint32_t kFamily = 3;
constexpr std::uint32_t kCom = 2;
constexpr std::uint32_t kRamLoaderEntry = 0x2504;
constexpr std::uint32_t kResetVectorAddress = 0xFFFF;
constexpr char kRamLoaderVersionWithDoubleReset[] = "00.06.05.34";

std::string resourceText(std::string_view name)
{
    return platform::narrowLow8(Firmware::GetString(name));
}

// An image text converted afresh for each library call that reads it.
std::vector<char> converted(const std::u16string& text)
{
    std::vector<char> buf(text.size() + 1, '\0');
    StringToChar(text, buf.data());
    return buf;
}

unsigned long hexNumber(std::string text)
{
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)
        text = text.substr(2);
    return std::strtoul(text.c_str(), nullptr, 16);
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

UpgradeSequence::UpgradeSequence(ProgressReport report)
    : myVID(padHexStringValue(resourceText("VID"))),
      myPID(padHexStringValue(resourceText("PID"))),
      report_(std::move(report))
{
}

void UpgradeSequence::report(int percent, const std::string& text) const
{
    if (report_)
        report_(percent, text);
}

std::string UpgradeSequence::connectionText() const
{
    const std::string text = "PID=" + myPID + ",VID=" + myVID + ",DEVICEINDEX=" + myDeviceIndex;
    return myPort.empty() ? text : text + ",PORT=" + myPort;
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
        report(0, "No file specified\r\n");
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
        report(0, "Unable to open the firmware file\r\n");
        return false;
    case ImageCheck::Folder:
    case ImageCheck::NotAFile:
        report(0, "Not a firmware file: " + check.reason + "\r\n");
        return false;
    case ImageCheck::Malformed:
        break;
    }
    report(0, "Not a valid TI-TXT firmware file (" + check.reason + ")\r\n");
    return false;
}

bool UpgradeSequence::run(const FirmwareImage& image)
{
    if (!texts_) {
        const LoaderTextsFound found = findLoaderTexts();
        for (const std::string& problem : {found.ramLoaderProblem, found.passwordProblem}) {
            if (!problem.empty()) {
                report(0, problem + "\r\n");
                return false;
            }
        }
        texts_ = found.texts;
    }
    std::lock_guard lock(loader::libraryMutex());
    const bool ok = CustomSelectedFirmware(image);
    BSL_close_BSL();
    return ok;
}

bool UpgradeSequence::CustomSelectedFirmware(const FirmwareImage& image)
{
    if (!texts_ || !checkRamLoaderText(texts_->ramLoader).empty()) {
        report(0, "No usable RAM loader text\r\n");
        return false;
    }
    const ImageCheckResult check = checkFirmwareText(image.text);
    if (check.result != ImageCheck::Ok) {
        report(0, "Not a valid TI-TXT firmware file (" + check.reason + ")\r\n");
        return false;
    }

    bool massErase = false;
    if (!DownloadStartUp(massErase)) {
        BSL_close_BSL();
        report(50, "Unsuccessful in starting the BSL. Restarting. \r\n");
        if (!DownloadStartUp(massErase))
            return false;
    }
    if (!massErase) {
        report(60, "Erasing memory segments \r\n");
        EraseDataSegment_Text(image.text);
    }
    report(70, "Sending " + image.path + "\r\n");
    BSL_RX_TXT(image.text.c_str(), 1);
    report(75, "Firmware Sent\r\n");
    report(80, "Verifying memory\r\n");
    if (CRC_Check_Text(image.text) != 0) {
        report(85, "Memory verification error\r\n");
        return false;
    }
    report(85, "Memory successfully verified\r\n");
    stopProgramTime = platform::tickCountMs();
    totalProgramTime = (stopProgramTime - startProgramTime) / 1000;
    report(90, "Total programming time is " + std::to_string(totalProgramTime) + "s \r\n");
    TriggerForcedBOR();
    report(100, "Done!");
    return true;
}

bool UpgradeSequence::DownloadStartUp(bool& massErase)
{
    const std::string connection = connectionText();
    const std::u16string com(connection.begin(), connection.end());
    if (!connectLoader(com, 0))
        return false;

    // The two password blocks are 10 KB each: kept off the worker's stack.
    auto password = std::make_unique<DataBlock_>();
    auto defaultPassword = std::make_unique<DataBlock_>();
    // Without the encoder's password the erased-device one goes first: on a
    // programmed encoder it is refused, and the mass erase path follows.
    *defaultPassword = BSL_getDefaultPass();
    *password = texts_ && texts_->password ? BSL_readTI_Text(texts_->password->c_str(), 32)
                                           : *defaultPassword;
    report(5, "");
    if (!unlockLoader(*password, *defaultPassword, massErase))
        return false;

    const std::string version = resourceText("RAM_BSL_VERSION");
    startRamLoader(version);
    startProgramTime = platform::tickCountMs();
    if (!connectLoader(com, 50))
        return false;
    return checkRamLoader(massErase ? *defaultPassword : *password, version);
}

bool UpgradeSequence::connectLoader(const std::u16string& com, int percent)
{
    BSL_setFamily(kFamily);
    BSL_setCom(kCom);
    if (BSL_initialize_BSL(converted(com).data()) == 1) {
        report(percent, "USB device was unplugged!\r\n");
        return false;
    }
    return true;
}

bool UpgradeSequence::unlockLoader(const DataBlock_& password, const DataBlock_& defaultPassword,
                                   bool& massErase)
{
    if (BSL_RX_Password(password) != 0) {
        massErase = true;
        report(5, "Mass erase occured!\r\n");
        platform::sleepMs(2000);
        if (BSL_RX_Password(defaultPassword) != 0) {
            report(10, "Password FAILED!\r\n");
            return false;
        }
    }
    report(10, "Password Sent Successfully\r\n");
    return true;
}

void UpgradeSequence::startRamLoader(const std::string& version)
{
    report(20, "Sending RAM BSL v" + version + "\r\n");
    BSL_RX_TXT(texts_ ? texts_->ramLoader.c_str() : "", 1);
    BSL_LoadPC(kRamLoaderEntry);
    report(30, "Done RAM BSL v" + version + "\r\n");
    BSL_close_BSL();

    // The device leaves the bus and comes back running the RAM loader.
    report(35, "");
    platform::sleepMs(1000);
    report(40, "");
    platform::sleepMs(1000);
    report(45, "");
    platform::sleepMs(1000);
}

bool UpgradeSequence::checkRamLoader(const DataBlock_& password, const std::string& version)
{
    const std::uint8_t passwordResult = BSL_RX_Password(password);
    const std::string text = BSL_TX_BSL_Version_String();
    if (text == "ERROR" || text.size() < 35
        || "00." + text.substr(16, 2) + "." + text.substr(25, 2) + "." + text.substr(33, 2)
            != version) {
        report(50, "Failed to read data from RAM BSL\r\n");
        return false;
    }
    if (passwordResult != 0) {
        report(50, "Password FAILED after sending RAM BSL!\r\n");
        return false;
    }
    if (BSL_eraseSegment(kResetVectorAddress) != 0)
        report(50, "Failed to erase reset vector\r\n");
    return true;
}

bool UpgradeSequence::TriggerForcedBOR()
{
    report(90, "Resetting Device...\r\nStarting application\r\n");
    const std::u16string text = Firmware::GetString("Forced_BOR.Text");
    const bool sent = BSL_RX_TXT(converted(text).data(), 1) == 0;
    // That RAM loader acts on the second of two resets.
    if (sent && resourceText("RAM_BSL_VERSION").find(kRamLoaderVersionWithDoubleReset)
                    != std::string::npos)
        BSL_RX_TXT(converted(text).data(), 1);
    return sent;
}

bool writeBackSettings(device::Encoder* encoder, const RestoreValues& v, const WriteBackReport& report,
                       device::Result* result)
{
    device::WriteBackStep failed = device::WriteBackStep::Options;
    const device::Result r = encoder ? encoder->writeBack(v, failed) : device::Result::NoDevice;
    if (result)
        *result = r;
    if (r == device::Result::Ok)
        return true;
    const char* text = "Unable to set WRITE_DEFAULTs..";
    switch (failed) {
    case device::WriteBackStep::Options:
        text = "Unable to set option..";
        break;
    case device::WriteBackStep::Buzzer:
        text = "Unable to set buzzer..";
        break;
    case device::WriteBackStep::BuzzerPeriod:
        text = "Unable to set buzzer period..";
        break;
    case device::WriteBackStep::KeypadType:
        text = messages::kKeypadTypeFailed;
        break;
    case device::WriteBackStep::CodeTable:
        text = messages::kLoadTableFailed;
        break;
    case device::WriteBackStep::LedBrightness:
        text = "Unable to set LED Brightness..";
        break;
    case device::WriteBackStep::SaveDefaults:
        break;
    }
    report(kWriteBackCaption, text);
    return false;
}

bool completeUpgrade(const RestoreValues& values, device::EncoderSlot& slot, const WriteBackReport& report)
{
    platform::sleepMs(kRestartWaitMs);
    if (!slot.rescan())
        report(messages::kCaption, messages::kNotConnected);
    if (!values.known) {
        report(kWriteBackCaption, kMsgSettingsUnknown);
        return false;
    }
    return writeBackSettings(slot.get().get(), values, report);
}

} // namespace vardo::firmware
