// The subcommands on one encoder's settings and state: status, set, save,
// factory-reset, keys.
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_values.h"
#include "cli/exit_codes.h"
#include "config/utility_config.h"
#include "link/hid_transport.h"
#include "platform/clock.h"

#include <array>
#include <optional>
#include <ostream>

namespace vardo::cli {

namespace {

constexpr std::uint32_t kFactoryResetWaitMs = 3000;
// Short receive waits keep `keys` answering an interrupt at once.
constexpr std::int32_t kKeyPollMs = 200;

// Texts of the windows that the same failures show.
constexpr const char* kMsgWriteDefaults = "Unable to Write Default..";
constexpr const char* kMsgSaveConfig = "Unable to Save Config file.";
constexpr const char* kMsgStartSelfTest = "Unable to START Self test..";
constexpr const char* kMsgEndSelfTest = "Unable to END Self test..";

} // namespace

int Session::cmdStatus()
{
    if (int c = checkLine({"device", "json"}, 1, "'status' takes no arguments"))
        return c;
    link::DeviceStatus status;
    codetable::CodeTable table{};
    if (int c = openWithStatus(status, table, kMsgStatusFailed))
        return c;
    if (opt_.json)
        printStatusJson(con_.out, status, table, encoder_.device);
    else
        printStatusText(con_.out, status, table, encoder_.device);
    return kExitOk;
}

int Session::cmdSet()
{
    if (int c = allowOnly({"device"}))
        return c;
    if (opt_.words.size() != 3)
        return usage("'set' needs a setting and a value, e.g. 'set brightness 6'");
    const std::string& what = opt_.words[1];
    const std::string& text = opt_.words[2];

    struct Setting {
        const char* name;
        std::optional<SettingValue> (*parse)(std::string_view);
        link::EncoderCommand command;
        const char* failure;   // the matching box's message
        const char* range;
    };
    static const Setting kSettings[] = {
        {"brightness", parseBrightness, link::SET_LED_BRIGHTNESS, "Unable to set the LED Brightness..", "0-9"},
        {"colour", parseColour, link::SET_LED_COLOUR, "Unable to set LED colour..", "0 or white"},
        {"color", parseColour, link::SET_LED_COLOUR, "Unable to set LED colour..", "0 or white"},
        {"buzzer", parseBuzzer, link::SET_BUZZER, "Unable to set Buzzer On/Off..", "off, on, 0 or 1"},
        {"period", parsePeriod, link::SET_BUZZER_PERIOD, "Unable to set Buzzer Period..", "0-9"},
        {"layout", parseLayout, link::SET_KEYPAD_TYPE, "Unable to set Keypad Type..",
         "0-8 or a layout's name"},
    };
    const Setting* setting = nullptr;
    for (const auto& s : kSettings)
        if (what == s.name)
            setting = &s;
    if (!setting)
        return usage("unknown setting '" + what + "' (brightness, colour, buzzer, period or layout)");
    const auto value = setting->parse(text);
    if (!value)
        return usage("bad value '" + text + "' for " + setting->name + " (" + setting->range + ")");

    if (int c = openDevice())
        return c;
    if (int r = link::sendByteCommand(hid_handle, setting->command, value->payload))
        return failExchange(setting->failure, r);
    return kExitOk;
}

int Session::cmdSave()
{
    if (int c = checkLine({"device"}, 1, "'save' takes no arguments"))
        return c;
    if (int c = useConfigFile(true))
        return c;
    if (int c = openDevice())
        return c;
    if (int r = link::sendCommand(hid_handle, link::WRITE_DEFAULTS))
        return failExchange(kMsgWriteDefaults, r);
    link::DeviceStatus status;
    codetable::CodeTable table{};
    if (int c = readStatus(status, table, kMsgSaveConfig))
        return c;
    const config::StoredSettings stored = config::storedSettingsFrom(status, table);
    switch (config::saveSettings(stored, reporter())) {
    case config::SaveOutcome::Saved:
        return kExitOk;
    case config::SaveOutcome::Damaged:
        return fail(kExitBadInputFile, "The encoder keeps its settings, but the configuration file " + FileName
                                           + " has a section line without ']' and was left as it was.");
    case config::SaveOutcome::NotWritten:
        break;
    }
    return fail(kExitFailed, "The encoder keeps its settings, but the configuration file " + FileName
                                 + " was not fully written.");
}

int Session::cmdFactoryReset()
{
    if (int c = checkLine({"device"}, 1, "'factory-reset' takes no arguments"))
        return c;
    if (int c = openDevice())
        return c;
    // The result is not examined: the encoder may restart before it answers.
    link::sendCommand(hid_handle, link::FACTORY_RESET);
    platform::sleepMs(kFactoryResetWaitMs);
    hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    // Back to the same encoder even when it comes back under another path.
    opt_.device = reselector(encoder_.device);
    link::DeviceStatus status;
    codetable::CodeTable table{};
    return openWithStatus(status, table, kMsgStatusFailed);
}

int Session::cmdKeys()
{
    if (int c = checkLine({"device"}, 1, "'keys' takes no arguments"))
        return c;
    if (int c = openDevice())
        return c;
    // Caught before self-test mode starts, so no signal can leave the encoder in it.
    if (con_.catchInterrupts)
        con_.catchInterrupts(true);
    if (int r = link::sendByteCommand(hid_handle, link::SELF_TEST, link::kSelfTestStart)) {
        if (con_.catchInterrupts)
            con_.catchInterrupts(false);
        return failExchange(kMsgStartSelfTest, r);
    }
    if (con_.errIsTerminal)
        con_.err << "Press the keys of the keypad; Ctrl+C ends the test.\n";

    int result = kExitOk;
    while (!(con_.interrupted && con_.interrupted->load())) {
        std::array<std::uint8_t, link::kReportSize> reply{};
        std::uint32_t length = 0;
        const int r = USBEncoderReceive_a(hid_handle, link::SELF_TEST, reply.data(),
                                          static_cast<std::int32_t>(reply.size()), &length, kKeyPollMs);
        if (r == link::kErrTimeout)
            continue;
        if (r != link::kOk) {
            result = failExchange("The key test stopped.", r);
            break;
        }
        if (length == 0)
            continue;
        if (reply[0] == link::kNoKey) {
            con_.err << "The encoder ended the key test.\n";
            break;
        }
        con_.out << (reply[0] + 1) << std::endl;
        // The reader went away (EPIPE): the end of the test, as Ctrl+C is.
        if (!con_.out)
            break;
    }
    if (con_.catchInterrupts)
        con_.catchInterrupts(false);
    if (int r = link::sendByteCommand(hid_handle, link::SELF_TEST, link::kSelfTestEnd)) {
        const int c = failExchange(kMsgEndSelfTest, r);
        return result == kExitOk ? c : result;
    }
    return result;
}

} // namespace vardo::cli
