// The configuration file subcommands: config export, import and apply.
#include "cli/cli_session.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "config/utility_config.h"
#include "platform/dialogs.h"

#include <ostream>
#include <sys/stat.h>

namespace vardo::cli {

namespace {

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

int Session::cmdConfigExport()
{
    const std::string& path = opt_.words[2];
    if (int c = useConfigFile(true))
        return c;
    if (!isFolder(path))
        return usage("'" + path + "' is not a folder");
    bool asked = false;
    bool answer = false;
    const bool done = config::exportConfigFile(
        path, configFile_,
        [&] {
            asked = true;
            answer = platform::dialogs().question(config::kOverwriteCaption, config::kOverwriteQuestion);
            return answer;
        },
        reporter());
    changed_ = done;
    if (done)
        return kExitOk;
    if (asked && !answer)
        return fail(kExitFailed, "Not exported: " + path + "/" + config::kConfigFileName
                                     + " exists (use --yes to overwrite it).");
    return kExitFailed;
}

int Session::cmdConfigImport()
{
    const std::string& path = opt_.words[2];
    if (int c = useConfigFile(true))
        return c;
    if (int c = requireReadable(path))
        return c;
    config::ImportDetails details;
    details.nameDamagedLine = true;
    // Its own backups (USBUtilityCfg-SERIAL-TIME.ini) and copies under any name import as well.
    details.anyName = true;
    if (!config::importConfigFile(openedPath(path), configFile_, reporter(), &details))
        return details.copyFailed ? kExitFailed : kExitBadInputFile;
    changed_ = true;
    if (!details.backupPath.empty())
        con_.err << "The replaced configuration file was kept as " << details.backupPath << '\n';
    if (!opt_.applyImport)
        return kExitOk;
    // What was imported is now the configuration file: sent as 'config apply' sends it.
    opt_.from.reset();
    return cmdConfigApply();
}

int Session::cmdConfigApply()
{
    // Only read here: a missing file is not made, it is reported.
    if (int c = opt_.from ? requireReadable(*opt_.from) : useConfigFile(false))
        return c;
    if (int c = openDevice(true))
        return c;

    // A backup stands in for the configuration file.
    const std::string configFile = opt_.from ? *opt_.from : configFile_;
    device::Result lastResult = device::Result::Ok;
    const auto outcome = config::resetFromConfigFile(&encoder(), openedPath(configFile), reporter(), &lastResult);

    switch (outcome) {
    case config::ResetOutcome::NotSaved:
        return fail(kExitBadInputFile, "Nothing sent: " + (configFile == "-" ? "standard input" : configFile)
                                           + " holds no saved settings (FirstUp is not \"Yes\").");
    case config::ResetOutcome::NotSent:
        return kExitBadInputFile;
    case config::ResetOutcome::KeypadRefused:
    case config::ResetOutcome::TableRefused:
    case config::ResetOutcome::SettingRefused:
        return fail(exitForExchange(lastResult), "(" + device::reasonText(lastResult) + ")");
    case config::ResetOutcome::Sent:
        break;
    }
    // What went out: the plan read again, now that it was sent whole.
    if (config::ResetPlan plan; config::readResetPlan(openedPath(configFile), plan, [](const std::string&) {})
                                == config::ResetOutcome::Sent) {
        sent(sentText(device::Setting::KeypadType, plan.keypadType));
        if (plan.sendTable)
            sent("LOAD_CODE_TABLE");
        sent(sentText(device::Setting::LedBrightness, plan.ledBrightness));
        sent(sentText(device::Setting::LedColour, plan.ledColour));
        sent(sentText(device::Setting::Buzzer, plan.buzzer));
        sent(sentText(device::Setting::BuzzerPeriod, plan.buzzerPeriod));
    }
    link::DeviceStatus status;
    return readStatus(status, messages::kStatusFailed);
}

} // namespace vardo::cli
