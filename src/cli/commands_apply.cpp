// 'apply STATE.json': the encoder brought to a desired state, sending only
// what differs, in the order the window sends a configuration.
#include "cli/apply_state.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/exit_codes.h"
#include "config/utility_config.h"
#include "platform/atomic_file.h"

#include <ostream>

namespace vardo::cli {

namespace {

// The encoder's status once wanted is sent.
link::DeviceStatus expectedAfter(link::DeviceStatus s, const DesiredState& w)
{
    if (w.layout)
        s.keypadType = w.layout->payload;
    for (const auto& a : w.codeTable)
        codetable::setCodeTableEntry(s.codeTable, a.key, a.entry);
    if (w.brightness)
        s.ledBrightness = w.brightness->payload;
    if (w.colour)
        s.ledColour = w.colour->payload;
    if (w.buzzer)
        s.buzzer = w.buzzer->payload;
    if (w.period)
        s.buzzerPeriod = w.period->payload;
    return s;
}

// True when configFile records status as 'save' would have written it.
bool recorded(const std::string& configFile, const link::DeviceStatus& s)
{
    config::ResetPlan plan;
    if (config::readResetPlan(configFile, plan, [](const std::string&) {}) != config::ResetOutcome::Sent)
        return false;
    const auto byte = [](int v) { return static_cast<std::uint8_t>(v); };
    if (plan.keypadType != byte(s.keypadType) || plan.ledBrightness != byte(s.ledBrightness)
        || plan.ledColour != byte(s.ledColour) || plan.buzzer != byte(s.buzzer)
        || plan.buzzerPeriod != byte(s.buzzerPeriod))
        return false;
    const int bytes = codetable::layoutTableBytes(s.keypadType);
    return !plan.sendTable
           || std::equal(plan.codeTable.begin(), plan.codeTable.begin() + bytes, s.codeTable.begin());
}

} // namespace

int Session::cmdApply()
{
    const std::string& path = opt_.words[1];
    const std::string shown = path == "-" ? "standard input" : path;
    if (int c = requireReadable(path))
        return c;
    std::string bytes;
    if (!platform::readRegularFile(openedPath(path), bytes))
        return fail(kExitBadInputFile, "Cannot read the file '" + path + "'.");
    std::string error;
    const auto json = parseJson(bytes, error);
    const auto found = json ? readDesiredState(*json, error) : std::nullopt;
    if (!found)
        return fail(kExitBadInputFile, "Nothing sent: " + shown + " is not a state to apply: " + error + ".");
    const DesiredState& wanted = *found;
    if (wanted.keep && !opt_.check)
        if (int c = useConfigFile(true))
            return c;

    link::DeviceStatus before;
    if (int c = openWithStatus(before, messages::kStatusFailed, !opt_.check))
        return c;
    const int layout = wanted.layout ? wanted.layout->value : before.keypadType;
    if (!wanted.codeTable.empty()) {
        if (!codetable::isCustomisedLayout(layout))
            return fail(kExitFailed, std::string(messages::kNotCustomised) + " code_table needs layout 2, 5 or 8; "
                                         + "the encoder's would be " + std::to_string(layout) + ". Nothing sent.");
        const int keys = codetable::layoutKeyCount(layout);
        if (wanted.codeTable.back().key > keys)
            return fail(kExitBadInputFile, "Nothing sent: code_table names key "
                                               + std::to_string(wanted.codeTable.back().key) + ", beyond the "
                                               + std::to_string(keys) + " keys of layout " + std::to_string(layout)
                                               + ".");
    }

    // Each command as sent, or under --check only named.
    const auto step = [&](const std::string& name, auto&& send, const char* failure) {
        if (!opt_.check)
            if (const device::Result r = send(); r != device::Result::Ok)
                return failExchange(failure, r);
        sent(name);
        return int(kExitOk);
    };
    const auto setting = [&](device::Setting which, const std::optional<SettingValue>& want, int have) {
        if (!want || want->payload == have)
            return int(kExitOk);
        return step(sentText(which, want->payload), [&] { return encoder().set(which, want->payload); },
                    device::settingFailureText(which));
    };
    link::DeviceStatus now = before;
    const bool layoutChanges = wanted.layout && before.keypadType != layout;
    if (int c = setting(device::Setting::KeypadType, wanted.layout, before.keypadType))
        return c;
    // The new layout's codes are the encoder's to report.
    if (layoutChanges && !opt_.check && !wanted.codeTable.empty())
        if (int c = readStatus(now, messages::kTableStatusFailed))
            return c;
    DesiredState tableOnly;
    tableOnly.codeTable = wanted.codeTable;
    if (!wanted.codeTable.empty() && ((opt_.check && layoutChanges) || !differences(now, tableOnly).empty())) {
        // As 'table load': the layout's other keys keep their codes, the bytes past them are zero.
        link::CodeTable payload{};
        for (int key = 1; key <= codetable::layoutKeyCount(layout); ++key)
            codetable::setCodeTableEntry(payload, key, codetable::codeTableEntry(now.codeTable, key));
        for (const auto& a : wanted.codeTable)
            codetable::setCodeTableEntry(payload, a.key, a.entry);
        if (int c = step("LOAD_CODE_TABLE", [&] { return encoder().loadTable(payload); }, messages::kLoadTableFailed))
            return c;
    }
    if (int c = setting(device::Setting::LedBrightness, wanted.brightness, before.ledBrightness))
        return c;
    if (int c = setting(device::Setting::LedColour, wanted.colour, before.ledColour))
        return c;
    if (int c = setting(device::Setting::Buzzer, wanted.buzzer, before.buzzer))
        return c;
    if (int c = setting(device::Setting::BuzzerPeriod, wanted.period, before.buzzerPeriod))
        return c;
    // The power-up defaults cannot be read: kept when anything changed, or when
    // the configuration file does not record what the encoder has.
    const link::DeviceStatus expected = expectedAfter(before, wanted);
    if (wanted.keep && (!sent_.empty() || !recorded(configFile_, expected))) {
        if (opt_.check)
            sent("WRITE_DEFAULTS");
        else if (int c = saveAndRecord())
            return c;
    }

    link::DeviceStatus after = expected;
    if (!opt_.check) {
        if (int c = readStatus(after, messages::kStatusFailed))
            return c;
        if (const auto left = differences(after, wanted); !left.empty()) {
            std::string names;
            for (const auto& n : left)
                names += (names.empty() ? "" : ", ") + n;
            return fail(kExitRefused, "The encoder on " + encoder_.device.port
                                          + " still differs after apply: " + names + ".");
        }
    }

    resultWritten_ = true;
    if (opt_.json) {
        con_.out << "{\"port\":" << jsonString(encoder_.device.port) << ",\"changed\":"
                 << (sent_.empty() ? "false" : "true") << ",\"check\":" << (opt_.check ? "true" : "false")
                 << ",\"sent\":" << jsonStrings(sent_);
        if (opt_.diff)
            con_.out << ",\"before\":" << stateJson(before, wanted) << ",\"after\":" << stateJson(after, wanted);
        con_.out << "}\n";
        return kExitOk;
    }
    for (const auto& s : sent_)
        con_.out << (opt_.check ? "Would send " : "Sent ") << s << '\n';
    if (sent_.empty())
        con_.out << "Nothing to change.\n";
    if (opt_.diff) {
        const auto was = stateLines(before, wanted);
        const auto is = stateLines(after, wanted);
        for (std::size_t i = 0; i < was.size() && i < is.size(); ++i)
            if (was[i] != is[i])
                con_.out << was[i] << " -> " << is[i].substr(is[i].find(": ") + 2) << '\n';
    }
    return kExitOk;
}

} // namespace vardo::cli
