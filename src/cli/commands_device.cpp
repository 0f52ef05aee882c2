// The subcommands on one encoder's settings and state: status, set, save,
// factory-reset, keys.
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "config/utility_config.h"
#include "platform/dialogs.h"

#include <optional>
#include <ostream>

namespace vardo::cli {

namespace {

// Short receive waits keep `keys` answering an interrupt at once.
constexpr std::int32_t kKeyPollMs = 200;


} // namespace

int Session::cmdStatus()
{
    link::DeviceStatus status;
    if (int c = openWithStatus(status, messages::kStatusFailed))
        return c;
    resultWritten_ = opt_.json;
    if (opt_.json)
        printStatusJson(con_.out, status, encoder_.device);
    else
        printStatusText(con_.out, status, encoder_.device);
    return kExitOk;
}

int Session::cmdSet()
{
    const std::string& what = opt_.words[1];
    const std::string& text = opt_.words[2];

    const SettingInfo* setting = findSetting(what);
    if (!setting) {
        std::vector<std::string> names;
        for (const auto& s : settingTable())
            names.emplace_back(s.name);
        return usage("unknown setting '" + what + "' (brightness, colour, buzzer, period or layout)"
                     + didYouMean(what, names));
    }
    const auto value = setting->parse(text);
    if (!value)
        return usage("bad value '" + text + "' for " + setting->name + " (" + setting->range + ")"
                     + didYouMean(text, settingWords(*setting)));

    if (int c = openDevice())
        return c;
    if (const auto r = encoder().set(setting->setting, value->payload); r != device::Result::Ok)
        return failExchange(device::settingFailureText(setting->setting), r);
    sent(sentText(setting->setting, value->payload));
    return kExitOk;
}

int Session::cmdSave()
{
    if (int c = useConfigFile(true))
        return c;
    if (int c = openDevice(true))
        return c;
    return saveAndRecord();
}

int Session::saveAndRecord()
{
    if (const auto r = encoder().saveDefaults(); r != device::Result::Ok)
        return failExchange(messages::kWriteDefaultFailed, r);
    sent("WRITE_DEFAULTS");
    link::DeviceStatus status;
    if (int c = readStatus(status, messages::kSaveConfigFailed))
        return c;
    switch (config::saveSettings(status, configFile_, reporter())) {
    case config::SaveOutcome::Saved:
        return kExitOk;
    case config::SaveOutcome::Damaged:
        return fail(kExitBadInputFile, "The encoder keeps its settings, but the configuration file " + configFile_
                                           + " has a section line without ']' and was left as it was.");
    case config::SaveOutcome::NotWritten:
        break;
    }
    return fail(kExitFailed, "The encoder keeps its settings, but the configuration file " + configFile_
                                 + " was not fully written.");
}

int Session::cmdFactoryReset()
{
    if (int c = openDevice(true))
        return c;
    // Settings and customised tables are lost: asked on a terminal, --yes elsewhere.
    if (!platform::dialogs().question("Reset To Factory Default", messages::kFactoryResetQuestion))
        return fail(kExitFailed, "Not reset (confirm with --yes).");
    // The result is not examined: the encoder may restart before it answers.
    static_cast<void>(encoder().factoryReset());
    sent("FACTORY_RESET");
    closeDevice();
    // Back to the same encoder even when it comes back under another path.
    opt_.device = reselector(encoder_.device);
    link::DeviceStatus status;
    return openWithStatus(status, messages::kStatusFailed);
}

int Session::cmdKeys()
{
    if (int c = openDevice(true))
        return c;
    // Caught before self-test mode starts, so no signal can leave the encoder in it.
    if (con_.catchInterrupts)
        con_.catchInterrupts(true);
    if (const auto r = encoder().selfTest(true); r != device::Result::Ok) {
        if (con_.catchInterrupts)
            con_.catchInterrupts(false);
        return failExchange(messages::kSelfTestStartFailed, r);
    }
    resultWritten_ = true;
    if (con_.errIsTerminal)
        con_.err << "Press the keys of the keypad; Ctrl+C ends the test.\n";

    int result = kExitOk;
    while (!(con_.interrupted && con_.interrupted->load())) {
        std::optional<std::uint8_t> key;
        const auto r = encoder().awaitKey(key, kKeyPollMs);
        if (r == device::Result::Timeout)
            continue;
        if (r != device::Result::Ok) {
            result = failExchange("The key test stopped.", r);
            break;
        }
        if (!key)
            continue;
        if (*key == link::kNoKey) {
            con_.err << "The encoder ended the key test.\n";
            break;
        }
        if (opt_.json)
            con_.out << "{\"port\":" << jsonString(encoder_.device.port) << ",\"key\":" << (*key + 1) << '}'
                     << std::endl;
        else
            con_.out << (*key + 1) << std::endl;
        // The reader went away (EPIPE): the end of the test, as Ctrl+C is.
        if (!con_.out)
            break;
    }
    if (con_.catchInterrupts)
        con_.catchInterrupts(false);
    if (const auto r = encoder().selfTest(false); r != device::Result::Ok) {
        const int c = failExchange(messages::kSelfTestEndFailed, r);
        return result == kExitOk ? c : result;
    }
    return result;
}

} // namespace vardo::cli
