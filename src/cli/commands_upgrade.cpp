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
#include "link/hid_transport.h"
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

// The settings about to be written back, in a file that 'config apply --from'
// can send: the configuration file's layout with the values just read.
bool writeBackup(const link::DeviceStatus& status, const codetable::CodeTable& table, std::string& path)
{
    return config::writeUpgradeBackup(config::storedSettingsFrom(status, table), path);
}

} // namespace

int Session::readImage(const std::string& path, firmware::FirmwareImage& image)
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

int Session::findTexts(firmware::LoaderTextsFound& texts)
{
    // A real encoder gets the operator's own loader texts or nothing at all.
    texts = firmware::findLoaderTexts(opt_.ramLoader, opt_.password);
    if (!texts.ramLoaderProblem.empty())
        return fail(kExitBadInputFile, texts.ramLoaderProblem + " Nothing was sent to the encoder.");
    if (!texts.passwordProblem.empty())
        return fail(kExitBadInputFile, texts.passwordProblem + " Nothing was sent to the encoder.");
    return kExitOk;
}

int Session::confirmUpgrade(const firmware::LoaderTextsFound& texts)
{
    if (!platform::dialogs().question(kUpgradeCaption, kMsgUpgradeQuestion))
        return fail(kExitFailed, "Not upgraded (confirm with --yes).");
    if (texts.passwordMissing) {
        if (!platform::dialogs().question(kUpgradeCaption, firmware::massEraseQuestion()))
            return fail(kExitFailed, "Not upgraded: without the password the application would be "
                                     "erased (confirm with --yes, or give --password FILE).");
        con_.err << "No password text: the loader will erase the encoder's application first.\n";
    }
    return kExitOk;
}

int Session::cmdUpgrade()
{
    if (int c = allowOnly({"device", "yes", "ram-loader", "password"}))
        return c;
    if (opt_.words.size() != 2)
        return usage("'upgrade' needs one firmware image file (TI-TXT)");
    const std::string& path = opt_.words[1];

    firmware::FirmwareImage image;
    if (int c = readImage(path, image))
        return c;
    firmware::LoaderTextsFound texts;
    if (int c = findTexts(texts))
        return c;

    config::setUpConfigFile(reporter());
    ProgressPrinter progress(con_.out, con_.outIsTerminal);
    firmware::UpgradeSequence sequence(
        [&progress](int percent, const std::string& text) { progress.report(percent, text); });
    sequence.setLoaderTexts(texts.texts);

    // With no encoder in application mode, one already waiting in its loader
    // is upgraded as the window allows; its settings are unknown then.
    const OpenStatus opened = openEncoder(opt_.device, encoder_);
    const bool inLoaderAlready =
        opened == OpenStatus::NoEncoder && opt_.device.empty() && sequence.countLoaders() > 0;
    if (!inLoaderAlready) {
        if (int c = reportOpen(opened))
            return c;
    }
    // Its loader will appear on its port and is taken from there. Where the port
    // is unknown the sequence takes the first loader on the bus: with another
    // encoder already waiting there, that one would get the image and ours the write-back.
    if (!inLoaderAlready)
        sequence.myPort = encoder_.device.port;
    const auto ourLoaderThere = [&] {
        return sequence.myPort.empty()
                   ? sequence.countLoaders() > 0
                   : !firmware::findOnPort(static_cast<std::uint16_t>(link::kEncoderVendorId), 0x0200, -1,
                                           sequence.myPort)
                          .empty();
    };
    if (!inLoaderAlready && sequence.myPort.empty() && sequence.countLoaders() > 0)
        return fail(kExitFailed, "Not upgraded: another encoder waits in its loader. Upgrade that one first "
                                 "(without --device, with no encoder in application mode attached) or "
                                 "unplug it.");
    if (int c = confirmUpgrade(texts))
        return c;

    firmware::RestoreValues values;
    if (!inLoaderAlready) {
        // Without the settings the write-back would put zeros into the new
        // firmware, so the upgrade does not start.
        link::DeviceStatus status;
        codetable::CodeTable table{};
        if (int c = readStatus(status, table, kMsgStatusFailed))
            return c;
        values.ledBrightness = status.ledBrightness;
        values.buzzer = status.buzzer;
        values.buzzerPeriod = status.buzzerPeriod;
        values.keypadType = status.keypadType;
        values.options = status.optionsFitted;
        values.keyCodeArray = table;
        std::string backup;
        if (!writeBackup(status, table, backup))
            return fail(kExitFailed, "Not upgraded: the settings could not be saved to a backup file"
                                         + (backup.empty() ? std::string(".") : " (" + backup + ")."));
        con_.err << "Settings saved to " << backup << '\n';
        // The encoder restarts into its loader; an unanswered command is expected.
        link::sendCommand(hid_handle, link::ENTER_BSL);
        hid_exit_safely(hid_handle);
        hid_handle = nullptr;

        std::uint32_t waited = 0;
        while (!ourLoaderThere() && waited < kLoaderWaitMs) {
            platform::sleepMs(kLoaderPollMs);
            waited += kLoaderPollMs;
        }
        if (!ourLoaderThere())
            return fail(kExitUpgradeFailed, "The encoder did not appear as a loader after ENTER_BSL; the "
                                            "settings are in " + backup + ".");
    }

    if (!sequence.run(image)) {
        progress.finish();
        return fail(kExitUpgradeFailed, "The firmware upgrade failed; the encoder waits in its loader. Run "
                                        "the upgrade again.");
    }
    progress.finish();

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
    if (!firmware::writeBackSettings(hid_handle, values)) {
        const int r = link::lastExchangeResult();
        con_.err << "(" << exchangeReason(r)
                 << ")\nThe firmware was upgraded, but the settings were not all written back.\n";
        return exitForExchange(r);
    }
    return kExitOk;
}

} // namespace vardo::cli
