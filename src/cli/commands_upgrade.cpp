// The firmware upgrade subcommand: the settings read and backed up, the
// encoder sent into its loader, the image programmed, the settings written back.
#include "cli/cli_session.h"
#include "cli/exit_codes.h"
#include "cli/progress_printer.h"
#include "config/utility_config.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_job.h"
#include "platform/dialogs.h"

#include <ostream>

namespace vardo::cli {

namespace {

// Texts of the upgrade window's question.
constexpr const char* kMsgUpgradeQuestion = "Are you sure you want to upgrade the firmware?";
constexpr const char* kUpgradeCaption = "Firmware Upgrade";

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

    // With no encoder in application mode, one already waiting in its loader
    // is upgraded as the window allows; its settings are unknown then.
    const OpenStatus opened = openEncoder(opt_.device, encoder_);
    const bool inLoaderAlready =
        opened == OpenStatus::NoEncoder && opt_.device.empty() && firmware::countLoaders() > 0;
    // Its loader will appear on its port and is taken from there; after the
    // restart the same encoder is opened again.
    const std::string port = inLoaderAlready ? std::string() : encoder_.device.port;
    const std::string again = inLoaderAlready ? opt_.device : reselector(encoder_.device);
    // Which firmware is replaced, said before anything is asked (or --yes skips the question).
    if (link::DeviceStatus now; encoder_.encoder) {
        if (const device::Result r = encoder_.encoder->readStatus(now); r != device::Result::Ok)
            return failExchange(messages::kStatusFailed, r);
        con_.err << "The encoder on " << (port.empty() ? "its port" : port) << " runs firmware "
                 << now.firmwareVersion << ".\n";
    }
    if (int c = confirmUpgrade(port, opened, inLoaderAlready, texts.passwordMissing))
        return c;

    OpenStatus reopened = OpenStatus::NoEncoder;
    firmware::Hooks hooks;
    hooks.event = [&](const firmware::Event& e) {
        if (e.notice == firmware::Notice::None)
            progress.report(e.percent, e.text);
        else if (e.notice == firmware::Notice::WriteBackFailed)
            con_.err << e.text << '\n';
    };
    hooks.keep = [&](const link::DeviceStatus& settings, std::string& backup) {
        // The settings about to be written back, in a file that 'config apply
        // --from' can send: the configuration file's layout with the values just read.
        if (!config::writeUpgradeBackup(settings, configFile_, backup))
            return false;
        con_.err << "Settings saved to " << backup << '\n';
        return true;
    };
    std::shared_ptr<device::Encoder> back;
    hooks.findEncoder = [&]() -> std::shared_ptr<device::Encoder> {
        reopened = openEncoder(again, encoder_);
        back = std::move(encoder_.encoder);
        return back;
    };
    firmware::UpgradeJob job(firmware::commandPolicy(port), std::move(hooks));
    job.setLoaderTexts(texts.texts);
    if (inLoaderAlready) {
        firmware::RestoreValues unknown;
        unknown.known = false;
        job.setSettings(unknown);
    } else if (int c = sendIntoLoader(job)) {
        return c;
    }

    if (const firmware::Outcome o = job.program(image); !o.ok()) {
        progress.finish();
        if (o.deviceGone)
            return fail(kExitUpgradeFailed, "The encoder was unplugged during the upgrade. Plug it in again "
                                            "and run the upgrade again.");
        return fail(kExitUpgradeFailed, "The firmware upgrade failed; the encoder waits in its loader. Run "
                                        "the upgrade again.");
    }
    progress.finish();
    const firmware::Outcome restored = job.restore();
    const auto sayVersion = [&] {
        if (link::DeviceStatus after; back && back->readStatus(after) == device::Result::Ok)
            con_.err << "The encoder now runs firmware " << after.firmwareVersion << ".\n";
    };
    if (restored.phase == firmware::Phase::FindEncoder) {
        opt_.device = again;
        return reportOpen(reopened);
    }
    if (inLoaderAlready) {
        sayVersion();
        con_.err << "No settings were read before the upgrade, so none were written back; send them with '"
                 << con_.programName << " config apply' (or --from a backup file) and '" << con_.programName
                 << " save'.\n";
        return kExitOk;
    }
    if (!restored.ok()) {
        con_.err << "(" << device::reasonText(restored.device)
                 << ")\nThe firmware was upgraded, but the settings were not all written back.\n";
        return exitForExchange(restored.device);
    }
    sayVersion();
    return kExitOk;
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
    if (path == "-") {
        if (int c = takeStandardInput())
            return c;
    }
    const auto check = firmware::loadFirmwareImage(openedPath(path), image);
    image.path = path == "-" ? "standard input" : path;
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

int Session::confirmUpgrade(const std::string& port, OpenStatus opened, bool inLoaderAlready,
                            bool passwordMissing)
{
    if (!inLoaderAlready) {
        if (int c = reportOpen(opened))
            return c;
    }
    // Where the port is unknown the job takes the first loader on the bus:
    // with another encoder already waiting there, that one would get the image
    // and ours the write-back.
    if (!inLoaderAlready && port.empty() && firmware::countLoaders() > 0)
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

int Session::sendIntoLoader(firmware::UpgradeJob& job)
{
    // Without the settings the write-back would put zeros into the new
    // firmware, so the upgrade does not start; nor without their backup.
    // The encoder restarts into its loader; an unanswered ENTER_BSL is expected.
    const firmware::Outcome o = job.prepare(std::shared_ptr<device::Encoder>(std::move(encoder_.encoder)));
    switch (o.phase) {
    case firmware::Phase::Done:
        return kExitOk;
    case firmware::Phase::ReadSettings:
        return failExchange(messages::kStatusFailed, o.device);
    case firmware::Phase::Backup:
        return fail(kExitFailed, "Not upgraded: the settings could not be saved to a backup file"
                                     + (o.backupPath.empty() ? std::string(".") : " (" + o.backupPath + ")."));
    default:
        break;
    }
    return fail(kExitUpgradeFailed, "The encoder did not appear as a loader after ENTER_BSL; the "
                                    "settings are in " + o.backupPath + ".");
}

} // namespace vardo::cli
