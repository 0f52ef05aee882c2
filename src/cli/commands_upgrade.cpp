// The firmware upgrade subcommand: the settings read and backed up, the
// encoder sent into its loader, the image programmed, the settings written back.
#include "cli/cli_session.h"
#include "cli/exit_codes.h"
#include "cli/progress_printer.h"
#include "config/utility_config.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/port_upgrade.h"
#include "firmware/upgrade_sequence.h"
#include "platform/clock.h"
#include "platform/dialogs.h"

#include <ostream>

namespace vardo::cli {

namespace {

// Texts of the upgrade window's question.
constexpr const char* kMsgUpgradeQuestion = "Are you sure you want to upgrade the firmware?";
constexpr const char* kUpgradeCaption = "Firmware Upgrade";
// How long an encoder may take to come back as a loader after ENTER_BSL.
constexpr std::uint32_t kLoaderWaitMs = 10000;
constexpr std::uint32_t kLoaderPollMs = 250;

} // namespace

int Session::cmdUpgrade()
{
    firmware::FirmwareImage image;
    firmware::LoaderTextsFound texts;
    if (int c = loadUpgradeInputs(image, texts, "the encoder"))
        return c;

    // A file that could not be set up shows as a backup that cannot be written.
    static_cast<void>(config::setUpConfigFile(configFile_, reporter()));
    ProgressPrinter progress(con_.out, con_.outIsTerminal);
    firmware::UpgradeSequence sequence(
        [&progress](int percent, const std::string& text) { progress.report(percent, text); });
    sequence.setLoaderTexts(texts.texts);

    // With no encoder in application mode, one already waiting in its loader
    // is upgraded as the window allows; its settings are unknown then.
    const OpenStatus opened = openEncoder(opt_.device, encoder_);
    // Held from the status read through the write-back: being by port, it
    // outlasts the encoder's restarts.
    if (opened == OpenStatus::Opened)
        if (int c = lockEncoder())
            return c;
    const bool inLoaderAlready =
        opened == OpenStatus::NoEncoder && opt_.device.empty() && sequence.countLoaders() > 0;
    // Its loader will appear on its port and is taken from there.
    if (!inLoaderAlready)
        sequence.myPort = encoder_.device.port;
    if (int c = confirmUpgrade(sequence, opened, inLoaderAlready, texts.passwordMissing))
        return c;
    firmware::RestoreValues values;
    if (!inLoaderAlready) {
        if (int c = sendIntoLoader(sequence, values))
            return c;
    }

    if (!sequence.run(image)) {
        progress.finish();
        return fail(kExitUpgradeFailed, "The firmware upgrade failed; the encoder waits in its loader. Run "
                                        "the upgrade again.");
    }
    progress.finish();
    return writeBackAfterUpgrade(inLoaderAlready, values);
}

int Session::loadUpgradeInputs(firmware::FirmwareImage& image, firmware::LoaderTextsFound& texts,
                               const char* whom)
{
    if (int c = loadUpgradeImage(opt_.words[1], image))
        return c;
    // A real encoder gets the operator's own loader texts or nothing at all.
    texts = firmware::findLoaderTexts(opt_.ramLoader, opt_.password);
    const std::string& problem = texts.ramLoaderProblem.empty() ? texts.passwordProblem
                                                                : texts.ramLoaderProblem;
    if (!problem.empty())
        return fail(kExitBadInputFile, problem + " Nothing was sent to " + whom + ".");
    return kExitOk;
}

int Session::loadUpgradeImage(const std::string& path, firmware::FirmwareImage& image)
{
    // Nothing on the encoder is touched for a file that is not a whole image.
    // It is read once: everything after works from this copy (a pipe too).
    const auto check = firmware::loadFirmwareImage(path, image);
    switch (check.result) {
    case firmware::ImageCheck::Ok:
        break;
    case firmware::ImageCheck::CannotOpen:
        return fail(kExitBadInputFile, "Cannot read the firmware file '" + path + "'.");
    case firmware::ImageCheck::Folder:
        return fail(kExitBadInputFile, "'" + path + "' is a folder, not a firmware image file.");
    case firmware::ImageCheck::NotAFile:
        return fail(kExitBadInputFile, "'" + path + "' is not a file (nor a pipe) to read an image from.");
    case firmware::ImageCheck::Malformed:
        return fail(kExitBadInputFile,
                    "'" + path + "' is not a valid TI-TXT firmware file (" + check.reason + ").");
    }
    return kExitOk;
}

int Session::confirmUpgrade(const firmware::UpgradeSequence& sequence, OpenStatus opened,
                            bool inLoaderAlready, bool passwordMissing)
{
    if (!inLoaderAlready) {
        if (int c = reportOpen(opened))
            return c;
    }
    // Where the port is unknown the sequence takes the first loader on the bus:
    // with another encoder already waiting there, that one would get the image
    // and ours the write-back.
    if (!inLoaderAlready && sequence.myPort.empty() && sequence.countLoaders() > 0)
        return fail(kExitFailed, "Not upgraded: another encoder waits in its loader. Upgrade that one first "
                                 "(without --device, with no encoder in application mode attached) or "
                                 "unplug it.");
    return askUpgradeQuestions(passwordMissing);
}

int Session::askUpgradeQuestions(bool passwordMissing)
{
    if (!platform::dialogs().question(kUpgradeCaption, kMsgUpgradeQuestion))
        return fail(kExitFailed, "Not upgraded (confirm with --yes).");
    if (passwordMissing) {
        if (!platform::dialogs().question(kUpgradeCaption, firmware::massEraseQuestion()))
            return fail(kExitFailed, "Not upgraded: without the password the application would be "
                                     "erased (confirm with --yes, or give --password FILE).");
        con_.err << "No password text: the loader will erase the encoder's application first.\n";
    }
    return kExitOk;
}

int Session::sendIntoLoader(const firmware::UpgradeSequence& sequence, firmware::RestoreValues& values)
{
    // Without the settings the write-back would put zeros into the new
    // firmware, so the upgrade does not start; nor without their backup.
    int stop = kExitOk;
    std::string backup;
    const auto keepSettings = [&](device::Result statusRead) {
        if (statusRead != device::Result::Ok) {
            stop = failExchange(messages::kStatusFailed, statusRead);
            return false;
        }
        // The settings about to be written back, in a file that 'config apply
        // --from' can send: the configuration file's layout with the values just read.
        if (!config::writeUpgradeBackup(values, configFile_, encoder_.device.serial, encoder_.device.port, backup)) {
            stop = fail(kExitFailed, "Not upgraded: the settings could not be saved to a backup file"
                                         + (backup.empty() ? std::string(".") : " (" + backup + ")."));
            return false;
        }
        con_.err << "Settings saved to " << backup << '\n';
        return true;
    };
    // The encoder restarts into its loader; an unanswered ENTER_BSL is expected.
    encoder().prepareUpgrade(values, keepSettings);
    if (stop != kExitOk)
        return stop;
    closeDevice();

    const auto ourLoaderThere = [&] {
        return sequence.myPort.empty()
                   ? sequence.countLoaders() > 0
                   : !firmware::findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId), 0x0200, -1,
                                           sequence.myPort)
                          .empty();
    };
    std::uint32_t waited = 0;
    while (!ourLoaderThere() && waited < kLoaderWaitMs) {
        platform::sleepMs(kLoaderPollMs);
        waited += kLoaderPollMs;
    }
    if (!ourLoaderThere())
        return fail(kExitUpgradeFailed, "The encoder did not appear as a loader after ENTER_BSL; the "
                                        "settings are in " + backup + ".");
    return kExitOk;
}

int Session::writeBackAfterUpgrade(bool inLoaderAlready, const firmware::RestoreValues& values)
{
    // The window re-opens the first encoder; here it is the one upgraded.
    platform::sleepMs(firmware::kRestartWaitMs);
    if (!inLoaderAlready)
        opt_.device = reselector(encoder_.device);
    if (int c = openDevice())
        return c;
    if (inLoaderAlready) {
        con_.err << "No settings were read before the upgrade, so none were written back; send them with '"
                 << con_.programName << " config apply' (or --from a backup file) and '" << con_.programName
                 << " save'.\n";
        return kExitOk;
    }
    device::Result r = device::Result::Ok;
    const auto report = [this](const char*, const std::string& text) { con_.err << text << '\n'; };
    if (!firmware::writeBackSettings(&encoder(), values, report, &r)) {
        con_.err << "(" << device::reasonText(r)
                 << ")\nThe firmware was upgraded, but the settings were not all written back.\n";
        return exitForExchange(r);
    }
    return kExitOk;
}

} // namespace vardo::cli
