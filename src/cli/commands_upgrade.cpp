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
    firmware::Readiness ready;
    if (int c = loadUpgradeInputs(image, ready, !opt_.device.empty(), "the encoder"))
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
    if (std::string refusal = ready.refusal; !refusal.empty()) {
        refusal += " Name the one to upgrade with --device PORT.";
        for (const auto& port : ready.attached.loaders)
            refusal += "\n" + firmware::recoveryAdvice(con_.programName, port);
        return fail(kExitFailed, refusal);
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
    if (int c = confirmUpgrade(port, inLoader))
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
        // The programming's lines end before the restart's messages.
        if (e.phase >= firmware::Phase::FindEncoder)
            progress.finish();
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
    // Naming the loader's port was the choice of the erase: it is not asked about.
    hooks.allowMassErase = [this, inLoader] { return inLoader || allowMassErase(); };
    // A backup file's settings go back in place of those read (or of none, in its loader).
    hooks.settingsToWriteBack = [&chosen](firmware::RestoreValues& settings) {
        if (!chosen)
            return;
        static_cast<link::DeviceStatus&>(settings) = *chosen;
        settings.known = true;
    };
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
    firmware::LoaderTexts loaderTexts = ready.texts.texts;
    if (inLoader) {
        // The password of what its flash holds now is unknown: the erased
        // device's goes first, and a refusal mass-erases.
        loaderTexts.password.reset();
        job.startInLoader();
        if (!watched.mayEnterLoader())
            return interruptedBeforeLoader();
    }
    job.setLoaderTexts(std::move(loaderTexts));

    const firmware::Outcome o = job.run(image, std::shared_ptr<device::Encoder>(std::move(encoder_.encoder)));
    watched.finish();
    {
        std::lock_guard lock(output);
        progress.finish();
    }
    return reportUpgrade(o, image.path, again, reopened, back, job.settings().known,
                         chosen ? restoreFrom : std::string());
}

int Session::reportUpgrade(const firmware::Outcome& o, const std::string& imagePath, const std::string& again,
                           OpenStatus reopened,
                           const std::shared_ptr<device::Encoder>& back, bool settingsKnown,
                           const std::string& restoredFrom)
{
    using firmware::Phase;
    const int code = exitForUpgrade(o, signalled_.load());
    if (o.cancelled && o.phase == Phase::EnterLoader)
        return interruptedBeforeLoader();
    const auto sayVersion = [&] {
        if (link::DeviceStatus after; back && back->readStatus(after) == device::Result::Ok)
            con_.err << "The encoder now runs firmware " << after.firmwareVersion << ".\n";
    };
    switch (o.phase) {
    case Phase::CheckInputs:
        if (o.cancelled)
            return massEraseRefused();
        break;
    case Phase::ReadSettings:
        if (!o.settingsProblem.empty())
            return fail(code, "Not upgraded: the settings read from the encoder cannot be written back ("
                                  + o.settingsProblem + "). Answer the question with a terminal to "
                                  "upgrade it without them.");
        return failExchange(messages::kStatusFailed, o.device);
    case Phase::OpenEncoder:
        return failExchange(messages::kStatusFailed, o.device);
    case Phase::Backup:
        return fail(code, "Not upgraded: the settings could not be saved to a backup file"
                              + (o.backupPath.empty() ? std::string(".") : " (" + o.backupPath + ")."));
    case Phase::EnterLoader:
    case Phase::FindLoader:
        return fail(code, "The encoder did not appear as a loader after ENTER_BSL; the "
                          "settings are in " + o.backupPath + ".");
    case Phase::FindEncoder:
        // Back in its loader although the image went in whole: that image does not start.
        if (BusDevice loader; !o.port.empty() && findLoader(o.port, loader))
            return fail(kExitUpgradeFailed, "The encoder restarted into its loader: the image " + imagePath
                                                + " does not start. Upgrade it with another image ('"
                                                + firmware::recoveryCommand(con_.programName, o.port) + "').");
        opt_.device = again;
        return reportOpen(reopened);
    case Phase::WriteBack:
        if (!settingsKnown) {
            sayVersion();
            con_.err << "No settings were read before the upgrade, so none were written back; send them with '"
                     << con_.programName << " config apply' (or --from a backup file) and '" << con_.programName
                     << " save'.\n";
            return kExitOk;
        }
        con_.err << "(" << device::reasonText(o.device)
                 << ")\nThe firmware was upgraded, but the settings were not all written back.\n";
        return code;
    case Phase::Done:
        sayVersion();
        if (!restoredFrom.empty())
            con_.err << "The settings of " << restoredFrom << " were written back.\n";
        return kExitOk;
    default:
        break;
    }
    if (o.deviceGone)
        return fail(code, "The encoder was unplugged during the upgrade. Plug it in again "
                          "and run the upgrade again.");
    const std::string port = o.port;
    const std::string retry =
        port.empty() ? std::string() : " ('" + firmware::recoveryCommand(con_.programName, port) + "')";
    return fail(code, "The firmware upgrade failed; the encoder waits in its loader. Run the upgrade again" + retry + ".");
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

int Session::loadUpgradeInputs(firmware::FirmwareImage& image, firmware::Readiness& ready, bool portNamed,
                               const char* whom)
{
    if (int c = loadUpgradeImage(opt_.words[1], image))
        return c;
    // A real encoder gets the operator's own loader texts or nothing at all.
    ready = firmware::checkReadiness(portNamed, opt_.ramLoader, opt_.password);
    if (!ready.textProblem.empty())
        return fail(kExitBadInputFile, ready.textProblem + " Nothing was sent to " + whom + ".");
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

int Session::confirmUpgrade(const std::string& port, bool inLoader)
{
    // Where the port is unknown the job takes the first loader on the bus:
    // with another encoder already waiting there, that one would get the image
    // and ours the write-back.
    if (port.empty() && firmware::countLoaders() > (inLoader ? 1u : 0u))
        return fail(kExitFailed, "Not upgraded: another encoder waits in its loader. Upgrade that one first "
                                 "(with --device and its port) or unplug it.");
    // Naming the loader's port was the choice of the erase: the upgrade's own
    // question (or --yes) is all that is asked; the job asks about the erase.
    return askUpgradeQuestion();
}

int Session::askUpgradeQuestion()
{
    if (!platform::dialogs().question(kUpgradeCaption, kMsgUpgradeQuestion))
        return fail(kExitFailed, "Not upgraded (confirm with --yes).");
    return kExitOk;
}

int Session::massEraseRefused()
{
    return fail(kExitFailed, "Not upgraded: without the password the application would be "
                             "erased (confirm with --mass-erase, or give --password FILE).");
}

bool Session::allowMassErase()
{
    // --yes confirms the upgrade, not this: a script that lost its password
    // text must not erase an application without anyone deciding it.
    ConsoleDialogs notByYes(con_, false);
    if (!opt_.massErase && !notByYes.question(kUpgradeCaption, firmware::massEraseQuestion()))
        return false;
    con_.err << "No password text: the loader will erase the encoder's application first.\n";
    return true;
}

int Session::interruptedBeforeLoader()
{
    const int signal = signalled_.load();
    signalled_.store(0);
    return fail(128 + signal, "Stopped by " + signalName(signal)
                                  + " before the encoder entered its loader: nothing was changed on it.");
}

} // namespace vardo::cli
