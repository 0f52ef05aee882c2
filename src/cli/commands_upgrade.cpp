// The firmware upgrade subcommand: the settings read and backed up, the
// encoder sent into its loader, the image programmed, the settings written back.
#include "cli/cli_session.h"
#include "cli/console_dialogs.h"
#include "cli/exit_codes.h"
#include "cli/progress_printer.h"
#include "cli/upgrade_signals.h"
#include "config/upgrade_backups.h"
#include "config/utility_config.h"
#include "firmware/image_check.h"
#include "firmware/loader_texts.h"
#include "firmware/upgrade_job.h"
#include "firmware/upgrade_targets.h"
#include "platform/dialogs.h"

#include <mutex>
#include <optional>
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
    // Reported (--json) only when the upgrade went through.
    sent("ENTER_BSL");
    sent("firmware " + opt_.words[1]);
    std::optional<link::DeviceStatus> chosen;
    if (!opt_.restore.empty()) {
        if (int c = loadRestoreFile(opt_.restore, chosen))
            return c;
    }
    // With an encoder waiting in its loader "the first" could be the wrong one.
    if (opt_.device.empty()) {
        const firmware::AttachedDevices attached = firmware::attachedDevices();
        if (std::string refusal = firmware::unnamedUpgradeRefusal(attached); !refusal.empty()) {
            refusal += " Name the one to upgrade with --device PORT.";
            for (const auto& port : attached.loaders)
                refusal += "\n" + firmware::recoveryAdvice(con_.programName, port);
            return fail(kExitFailed, refusal);
        }
    }

    // A file that could not be set up shows as a backup that cannot be written.
    static_cast<void>(config::setUpConfigFile(configFile_, reporter()));
    // With --json the result alone goes to the output; progress to the error stream.
    ProgressPrinter progress(opt_.json ? con_.err : con_.out, opt_.json ? con_.errIsTerminal : con_.outIsTerminal);

    // No encoder by that name (or none at all): one waiting in its loader
    // there is upgraded, and the settings recorded for its port written back.
    const OpenStatus opened = openEncoder(opt_.device, encoder_);
    BusDevice stuck;
    const bool inLoader =
        (opened == OpenStatus::NoEncoder || opened == OpenStatus::NoMatch) && findLoader(opt_.device, stuck);
    if (!inLoader) {
        if (int c = reportOpen(opened))
            return c;
    }
    // Held from the status read (or the loader's recovery) through the
    // write-back: being by port, it outlasts the encoder's restarts.
    if (inLoader) {
        portLock_ = device::PortLock(stuck.port, stuck.path);
        if (const int c = exitForLock(portLock_.state()))
            return fail(c, portLock_.problem());
    } else if (int c = lockEncoder()) {
        return c;
    }
    // Its loader will appear on its port and is taken from there; after the
    // restart the same encoder is opened again.
    const std::string port = inLoader ? stuck.port : encoder_.device.port;
    const std::string again = inLoader ? stuck.port : reselector(encoder_.device);
    std::string restoreFrom = opt_.restore;
    if (inLoader) {
        con_.err << "No encoder answers on " << benchName(stuck)
                 << ", only its loader. Its password is unknown there, so the loader erases the whole "
                    "application first (a mass erase); the application there does not run, so nothing is lost.\n";
        if (!chosen)
            restoreFrom = recordedBackup(stuck, chosen);
    }
    // Which firmware is replaced, said before anything is asked (or --yes skips the question).
    if (link::DeviceStatus now; encoder_.encoder) {
        if (const device::Result r = encoder_.encoder->readStatus(now); r != device::Result::Ok)
            return failExchange(messages::kStatusFailed, r);
        con_.err << "The encoder on " << (port.empty() ? "its port" : port) << " runs firmware "
                 << now.firmwareVersion << ".\n";
    }
    if (int c = confirmUpgrade(port, inLoader, texts.passwordMissing))
        return c;

    // From here a signal is held back; what it says comes between the progress lines.
    std::mutex output;
    UpgradeInterrupts interrupts(
        {port},
        [&](const std::string& text) {
            std::lock_guard lock(output);
            progress.finish();
            con_.err << text << std::endl;
        },
        signalled_, con_.watchSignals);
    UpgradeInterrupts::Upgrade& watched = interrupts[0];

    OpenStatus reopened = OpenStatus::NoEncoder;
    firmware::Hooks hooks;
    hooks.event = [&](const firmware::Event& e) {
        watched.progress(e.phase, e.percent);
        std::lock_guard lock(output);
        if (e.notice == firmware::Notice::None)
            progress.report(e.percent, e.text);
        else if (e.notice == firmware::Notice::WriteBackFailed)
            con_.err << e.text << '\n';
    };
    hooks.keep = [&](const link::DeviceStatus& settings, std::string& backup) {
        // The settings about to be written back, in a file that 'config apply
        // --from' can send: the configuration file's layout with the values just read.
        if (!config::writeUpgradeBackup(settings, configFile_, encoder_.device.serial, encoder_.device.port, backup))
            return false;
        std::lock_guard lock(output);
        con_.err << "Settings saved to " << backup << '\n';
        return true;
    };
    hooks.mayEnterLoader = [&] { return watched.mayEnterLoader(); };
    // --yes confirms the upgrade, not the loss of the settings.
    hooks.mayLoseSettings = [&](const std::string& why) {
        ConsoleDialogs notByYes(con_, false);
        return notByYes.question(kUpgradeCaption, "The settings read from the encoder cannot be written back into "
                                                  "the new firmware (" + why + "): it would run with that "
                                                  "firmware's power-up defaults. Upgrade all the same?");
    };
    std::shared_ptr<device::Encoder> back;
    hooks.findEncoder = [&]() -> std::shared_ptr<device::Encoder> {
        reopened = openEncoder(again, encoder_);
        back = std::move(encoder_.encoder);
        return back;
    };
    firmware::UpgradeJob job(firmware::commandPolicy(port), std::move(hooks));
    firmware::LoaderTexts loaderTexts = texts.texts;
    if (inLoader) {
        // The password of what its flash holds now is unknown: the erased
        // device's goes first, and a refusal mass-erases.
        loaderTexts.password.reset();
        if (!watched.mayEnterLoader())
            return interruptedBeforeLoader();
    } else if (int c = sendIntoLoader(job, watched)) {
        return c;
    }
    job.setLoaderTexts(std::move(loaderTexts));
    if (inLoader || chosen) {
        firmware::RestoreValues values;
        values.known = chosen.has_value();
        if (chosen)
            static_cast<link::DeviceStatus&>(values) = *chosen;
        job.setSettings(values);
    }

    const firmware::Outcome programmed = job.program(image);
    std::unique_lock lock(output);
    progress.finish();
    lock.unlock();
    if (!programmed.ok()) {
        watched.finish();
        if (programmed.deviceGone)
            return fail(kExitUpgradeFailed, "The encoder was unplugged during the upgrade. Plug it in again "
                                            "and run the upgrade again.");
        const std::string retry =
            port.empty() ? std::string() : " ('" + firmware::recoveryCommand(con_.programName, port) + "')";
        return fail(kExitUpgradeFailed,
                    "The firmware upgrade failed; the encoder waits in its loader. Run the upgrade again" + retry + ".");
    }
    const firmware::Outcome restored = job.restore();
    watched.finish();
    const auto sayVersion = [&] {
        if (link::DeviceStatus after; back && back->readStatus(after) == device::Result::Ok)
            con_.err << "The encoder now runs firmware " << after.firmwareVersion << ".\n";
    };
    if (restored.phase == firmware::Phase::FindEncoder) {
        // Back in its loader although the image went in whole: that image does not start.
        if (BusDevice loader; !port.empty() && findLoader(port, loader))
            return fail(kExitUpgradeFailed, "The encoder restarted into its loader: the image " + image.path
                                                + " does not start. Upgrade it with another image ('"
                                                + firmware::recoveryCommand(con_.programName, port) + "').");
        opt_.device = again;
        return reportOpen(reopened);
    }
    if (!job.settings().known) {
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
    if (chosen)
        con_.err << "The settings of " << restoreFrom << " were written back.\n";
    return kExitOk;
}

int Session::loadRestoreFile(const std::string& path, std::optional<link::DeviceStatus>& settings)
{
    if (int c = requireReadable(path))
        return c;
    link::DeviceStatus read;
    if (const std::string why = config::readUpgradeBackup(openedPath(path), read); !why.empty())
        return fail(kExitBadInputFile, "The backup '" + path + "' cannot be written back: " + why
                                           + " Nothing was sent to the encoder.");
    settings = read;
    return kExitOk;
}

std::string Session::recordedBackup(const BusDevice& loader, std::optional<link::DeviceStatus>& settings)
{
    const std::string path = config::newestBackupFor(configFile_, loader.port, loader.serial);
    link::DeviceStatus read;
    const std::string why = path.empty() ? std::string() : config::readUpgradeBackup(path, read);
    if (path.empty() || !why.empty()) {
        if (!path.empty())
            con_.err << "The backup " << path << " cannot be written back: " << why << '\n';
        con_.err << "No usable backup records " << benchName(loader)
                 << ": no settings will be written back (--restore FILE names one).\n";
        return {};
    }
    con_.err << "The settings of " << path << " (the newest backup recorded for " << benchName(loader)
             << ") will be written back.\n";
    settings = read;
    return path;
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

int Session::confirmUpgrade(const std::string& port, bool inLoader, bool passwordMissing)
{
    // Where the port is unknown the job takes the first loader on the bus:
    // with another encoder already waiting there, that one would get the image
    // and ours the write-back.
    if (port.empty() && firmware::countLoaders() > (inLoader ? 1u : 0u))
        return fail(kExitFailed, "Not upgraded: another encoder waits in its loader. Upgrade that one first "
                                 "(with --device and its port) or unplug it.");
    // Naming the loader's port was the choice of the erase: the upgrade's own
    // question (or --yes) is all that is asked.
    return askUpgradeQuestions(passwordMissing && !inLoader);
}

int Session::askUpgradeQuestions(bool passwordMissing)
{
    if (!platform::dialogs().question(kUpgradeCaption, kMsgUpgradeQuestion))
        return fail(kExitFailed, "Not upgraded (confirm with --yes).");
    if (!passwordMissing)
        return kExitOk;
    // --yes confirms the upgrade, not this: a script that lost its password
    // text must not erase an application without anyone deciding it.
    ConsoleDialogs notByYes(con_, false);
    if (!opt_.massErase && !notByYes.question(kUpgradeCaption, firmware::massEraseQuestion()))
        return fail(kExitFailed, "Not upgraded: without the password the application would be "
                                 "erased (confirm with --mass-erase, or give --password FILE).");
    con_.err << "No password text: the loader will erase the encoder's application first.\n";
    return kExitOk;
}

int Session::sendIntoLoader(firmware::UpgradeJob& job, UpgradeInterrupts::Upgrade& watched)
{
    // Without the settings the write-back would put zeros into the new
    // firmware, so the upgrade does not start; nor without their backup.
    // The encoder restarts into its loader; an unanswered ENTER_BSL is expected.
    const firmware::Outcome o = job.prepare(std::shared_ptr<device::Encoder>(std::move(encoder_.encoder)));
    if (!o.ok())
        watched.finish();
    if (o.cancelled)
        return interruptedBeforeLoader();
    switch (o.phase) {
    case firmware::Phase::Done:
        return kExitOk;
    case firmware::Phase::ReadSettings:
        if (!o.settingsProblem.empty())
            return fail(kExitFailed, "Not upgraded: the settings read from the encoder cannot be written back ("
                                         + o.settingsProblem + "). Answer the question with a terminal to "
                                         "upgrade it without them.");
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

int Session::interruptedBeforeLoader()
{
    const int signal = signalled_.load();
    signalled_.store(0);
    return fail(128 + signal, "Stopped by " + signalName(signal)
                                  + " before the encoder entered its loader: nothing was changed on it.");
}

} // namespace vardo::cli
