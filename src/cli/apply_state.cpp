#include "cli/apply_state.h"

#include "cli/cli_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vardo::cli {

namespace {

// A member's value as the text 'set' would take: 5, "white", true -> "on".
std::optional<std::string> valueText(const JsonValue& v)
{
    switch (v.kind) {
    case JsonValue::Kind::String:
        return v.text;
    case JsonValue::Kind::Number:
        if (v.number == std::floor(v.number) && std::fabs(v.number) < 1e6)
            return std::to_string(static_cast<long>(v.number));
        break;
    case JsonValue::Kind::Bool:
        return std::string(v.boolean ? "on" : "off");
    case JsonValue::Kind::Null:
    case JsonValue::Kind::Array:
    case JsonValue::Kind::Object:
        break;
    }
    return std::nullopt;
}

std::string entryText(codetable::CodeEntry e)
{
    char usage[8];
    std::snprintf(usage, sizeof usage, "0x%02X", static_cast<unsigned>(e.usage));
    if (e.modifier == 0)
        return usage;
    if (!codetable::isModifierByte(e.modifier)) {
        char modifier[8];
        std::snprintf(modifier, sizeof modifier, "0x%02X", static_cast<unsigned>(e.modifier));
        return std::string(usage) + "+" + modifier;
    }
    return std::string(usage) + "+" + modifierNames()[static_cast<std::size_t>(codetable::modifierIndexFromByte(e.modifier))];
}

// Each wanted member's name and its value in status, as JSON.
std::vector<std::pair<std::string, std::string>> values(const link::DeviceStatus& s, const DesiredState& w)
{
    std::vector<std::pair<std::string, std::string>> out;
    if (w.layout)
        out.emplace_back("layout", std::to_string(s.keypadType));
    if (!w.codeTable.empty()) {
        std::string table = "{";
        for (const auto& a : w.codeTable)
            table += (table.size() > 1 ? "," : "") + jsonString(std::to_string(a.key)) + ":"
                     + jsonString(entryText(codetable::codeTableEntry(s.codeTable, a.key)));
        out.emplace_back("code_table", table + "}");
    }
    if (w.brightness)
        out.emplace_back("brightness", std::to_string(s.ledBrightness));
    if (w.colour)
        out.emplace_back("colour", std::to_string(s.ledColour));
    if (w.buzzer)
        out.emplace_back("buzzer", s.buzzer == 1 ? "true" : s.buzzer == 0 ? "false" : std::to_string(s.buzzer));
    if (w.period)
        out.emplace_back("period", std::to_string(s.buzzerPeriod - 1));
    return out;
}

} // namespace

const std::vector<std::string>& desiredStateMembers()
{
    static const std::vector<std::string> members = {"layout", "code_table", "brightness", "colour",
                                                     "buzzer", "period",     "keep"};
    return members;
}

std::optional<DesiredState> readDesiredState(const JsonValue& state, std::string& error)
{
    if (state.kind != JsonValue::Kind::Object) {
        error = "the state is not a JSON object";
        return std::nullopt;
    }
    DesiredState wanted;
    for (const auto& [name, v] : state.members) {
        if (v.kind == JsonValue::Kind::Null)
            continue;   // left as it is
        if (name == "keep") {
            if (v.kind != JsonValue::Kind::Bool) {
                error = "keep is true or false";
                return std::nullopt;
            }
            wanted.keep = v.boolean;
        } else if (name == "code_table") {
            if (v.kind != JsonValue::Kind::Object) {
                error = "code_table is an object of key numbers and codes, e.g. {\"1\": \"0x1E\", \"2\": \"a+LeftShift\"}";
                return std::nullopt;
            }
            for (const auto& [key, code] : v.members) {
                const auto text = valueText(code);
                std::string why;
                const auto a = text ? parseKeyAssignment(key + "=" + *text, why) : std::nullopt;
                if (!a) {
                    error = "code_table: " + (text ? why : "key " + key + " needs a code");
                    return std::nullopt;
                }
                if (std::any_of(wanted.codeTable.begin(), wanted.codeTable.end(),
                                [&](const KeyAssignment& b) { return b.key == a->key; })) {
                    error = "code_table: key " + std::to_string(a->key) + " is given twice";
                    return std::nullopt;
                }
                wanted.codeTable.push_back(*a);
            }
            std::sort(wanted.codeTable.begin(), wanted.codeTable.end(),
                      [](const KeyAssignment& a, const KeyAssignment& b) { return a.key < b.key; });
        } else if (const SettingInfo* setting = findSetting(name)) {
            const auto text = valueText(v);
            const auto value = text ? setting->parse(*text) : std::nullopt;
            if (!value) {
                error = "bad value " + (text ? "'" + *text + "'" : std::string("of the wrong type")) + " for "
                        + setting->name + " (" + setting->range + ")" + (text ? didYouMean(*text, settingWords(*setting)) : "");
                return std::nullopt;
            }
            const std::string n = setting->name;
            (n == "layout" ? wanted.layout
             : n == "brightness" ? wanted.brightness
             : n == "colour" ? wanted.colour
             : n == "buzzer" ? wanted.buzzer
                             : wanted.period) = value;
        } else {
            error = "unknown setting '" + name + "' (" + [] {
                std::string known;
                for (const auto& m : desiredStateMembers())
                    known += (known.empty() ? "" : ", ") + m;
                return known;
            }() + ")" + didYouMean(name, desiredStateMembers());
            return std::nullopt;
        }
    }
    return wanted;
}

std::string stateJson(const link::DeviceStatus& status, const DesiredState& wanted)
{
    std::string out = "{";
    for (const auto& [name, value] : values(status, wanted))
        out += (out.size() > 1 ? "," : "") + jsonString(name) + ":" + value;
    return out + "}";
}

std::vector<std::string> stateLines(const link::DeviceStatus& status, const DesiredState& wanted)
{
    std::vector<std::string> lines;
    for (const auto& [name, value] : values(status, wanted))
        lines.push_back(name + ": " + value);
    return lines;
}

std::vector<std::string> differences(const link::DeviceStatus& s, const DesiredState& w)
{
    std::vector<std::string> names;
    if (w.layout && s.keypadType != w.layout->value)
        names.emplace_back("layout");
    if (std::any_of(w.codeTable.begin(), w.codeTable.end(), [&](const KeyAssignment& a) {
            return !(codetable::codeTableEntry(s.codeTable, a.key) == a.entry);
        }))
        names.emplace_back("code_table");
    if (w.brightness && s.ledBrightness != w.brightness->value)
        names.emplace_back("brightness");
    if (w.colour && s.ledColour != w.colour->value)
        names.emplace_back("colour");
    if (w.buzzer && s.buzzer != w.buzzer->value)
        names.emplace_back("buzzer");
    if (w.period && s.buzzerPeriod != w.period->payload)
        names.emplace_back("period");
    return names;
}

} // namespace vardo::cli
