#include "cli/cli_values.h"

#include "config/utility_config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace vardo::cli {

namespace {

// 'text' in single quotes, for error messages.
std::string quoted(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    out += text;
    out += '\'';
    return out;
}

std::string lowerWithoutBlanks(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '-' || c == '_')
            continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

SettingValue same(int value)
{
    return {static_cast<std::uint8_t>(value), value};
}

using codetable::usageName;

// Edits from a to b: a letter changed, added, dropped, or two neighbours swapped.
std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string nearestWord(std::string_view word, const std::vector<std::string>& known)
{
    const std::string wanted = lowerWithoutBlanks(word);
    const std::size_t allowed = std::max<std::size_t>(1, wanted.size() / 4);
    std::string best;
    std::size_t bestDistance = allowed + 1;
    for (const auto& k : known) {
        const std::size_t distance = editDistance(wanted, lowerWithoutBlanks(k));
        if (distance < bestDistance && distance < wanted.size()) {
            best = k;
            bestDistance = distance;
        }
    }
    return best;
}

std::string didYouMean(std::string_view word, const std::vector<std::string>& known)
{
    const std::string nearest = nearestWord(word, known);
    return nearest.empty() ? std::string() : " (did you mean " + quoted(nearest) + "?)";
}

std::string layoutName(int layout)
{
    std::string name;
    for (char c : codetable::layoutItemText(layout))
        if (c != ' ' || (!name.empty() && name.back() != ' '))
            name += c;
    const std::string tail = " Table";
    if (name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
        name.erase(name.size() - tail.size());
    return name;
}

std::vector<std::string> usageNames()
{
    std::vector<std::string> names;
    for (int code = 0; code < codetable::kUsageCodeCount; ++code)
        names.emplace_back(usageName(static_cast<std::uint8_t>(code)));
    return names;
}

std::vector<std::string> modifierNames()
{
    std::vector<std::string> names;
    for (int index = 0; index < codetable::kModifierCount; ++index) {
        std::string name;
        for (char c : codetable::modifierItemText(index))
            if (c != ' ')
                name += c;
        names.push_back(name);
    }
    return names;
}

std::optional<int> parseNumber(std::string_view text, int max)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 0 || value > max)
        return std::nullopt;
    return value;
}

std::optional<SettingValue> parseBrightness(std::string_view text)
{
    if (auto v = parseNumber(text, 9))
        return same(*v);
    return std::nullopt;
}

std::optional<SettingValue> parseColour(std::string_view text)
{
    // White is the one colour the encoder offers.
    if (lowerWithoutBlanks(text) == "white")
        return same(0);
    if (auto v = parseNumber(text, 0))
        return same(*v);
    return std::nullopt;
}

std::optional<SettingValue> parseBuzzer(std::string_view text)
{
    const std::string word = lowerWithoutBlanks(text);
    if (word == "off" || word == "0")
        return same(0);
    if (word == "on" || word == "1")
        return same(1);
    return std::nullopt;
}

std::optional<SettingValue> parsePeriod(std::string_view text)
{
    // The period box sends its item index plus one.
    if (auto v = parseNumber(text, 9))
        return SettingValue{static_cast<std::uint8_t>(*v + 1), *v};
    return std::nullopt;
}

std::optional<SettingValue> parseLayout(std::string_view text)
{
    if (auto v = parseNumber(text, codetable::kLayoutCount - 1))
        return same(*v);
    // The help lists the layouts without the item texts' closing "Table".
    const std::string wanted = lowerWithoutBlanks(text);
    for (int i = 0; i < codetable::kLayoutCount; ++i) {
        const std::string item = lowerWithoutBlanks(codetable::layoutItemText(i));
        if (!wanted.empty() && (item == wanted || item == wanted + "table"))
            return same(i);
    }
    return std::nullopt;
}

const std::vector<SettingInfo>& settingTable()
{
    static const std::vector<SettingInfo> table = {
        {"brightness", parseBrightness, device::Setting::LedBrightness, "0-9"},
        {"colour", parseColour, device::Setting::LedColour, "0 or white"},
        {"buzzer", parseBuzzer, device::Setting::Buzzer, "off, on, 0 or 1"},
        {"period", parsePeriod, device::Setting::BuzzerPeriod, "0-9"},
        {"layout", parseLayout, device::Setting::KeypadType, "0-8 or a layout's name"},
    };
    return table;
}

const SettingInfo* findSetting(std::string_view name)
{
    if (name == "color")
        name = "colour";
    for (const auto& s : settingTable())
        if (name == s.name)
            return &s;
    return nullptr;
}

std::vector<std::string> settingWords(const SettingInfo& setting)
{
    switch (setting.setting) {
    case device::Setting::LedColour:
        return {"white"};
    case device::Setting::Buzzer:
        return {"off", "on"};
    case device::Setting::KeypadType: {
        std::vector<std::string> names;
        for (int i = 0; i < codetable::kLayoutCount; ++i)
            names.push_back(layoutName(i));
        return names;
    }
    case device::Setting::LedBrightness:
    case device::Setting::BuzzerPeriod:
        break;
    }
    return {};
}

std::string sentText(device::Setting setting, int payload)
{
    const char* name = "SET_KEYPAD_TYPE";
    switch (setting) {
    case device::Setting::LedBrightness:
        name = "SET_LED_BRIGHTNESS";
        break;
    case device::Setting::LedColour:
        name = "SET_LED_COLOUR";
        break;
    case device::Setting::Buzzer:
        name = "SET_BUZZER";
        break;
    case device::Setting::BuzzerPeriod:
        name = "SET_BUZZER_PERIOD";
        break;
    case device::Setting::KeypadType:
        break;
    }
    return std::string(name) + " " + std::to_string(payload);
}

std::optional<std::uint8_t> parseUsageCode(std::string_view text, std::string& error)
{
    // A signed number is a number too ("-1" must not become the name "1").
    const bool signedNumber = text.size() > 1 && (text[0] == '-' || text[0] == '+')
                              && std::isdigit(static_cast<unsigned char>(text[1]));
    if (signedNumber || (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))) {
        if (auto v = parseNumber(text, 255))
            return static_cast<std::uint8_t>(*v);
        error = quoted(text) + " is not a usage code 0-255";
        return std::nullopt;
    }
    const std::string wanted = lowerWithoutBlanks(text);
    std::optional<std::uint8_t> found;
    int matches = 0;
    for (int code = 0; code < codetable::kUsageCodeCount && !wanted.empty(); ++code) {
        if (lowerWithoutBlanks(usageName(static_cast<std::uint8_t>(code))) == wanted) {
            found = static_cast<std::uint8_t>(code);
            ++matches;
        }
    }
    if (matches == 1)
        return found;
    if (matches > 1)
        error = quoted(text) + " names several usage codes; give the code as a number";
    else
        error = quoted(text) + " is not a usage code or the name of one" + didYouMean(text, usageNames());
    return std::nullopt;
}

std::optional<std::uint8_t> parseModifier(std::string_view text)
{
    const std::string wanted = lowerWithoutBlanks(text);
    if (wanted.empty())
        return std::nullopt;
    if (std::isdigit(static_cast<unsigned char>(wanted[0]))) {
        auto v = parseNumber(wanted, 255);
        if (v && codetable::isModifierByte(static_cast<std::uint8_t>(*v)))
            return static_cast<std::uint8_t>(*v);
        return std::nullopt;
    }
    for (int index = 0; index < codetable::kModifierCount; ++index) {
        if (lowerWithoutBlanks(codetable::modifierItemText(index)) == wanted)
            return codetable::modifierByteFromIndex(index);
    }
    // The usage list's own names of the modifier keys (LeftControl, RightGUI, ...).
    for (int code = 0xE0; code <= 0xE7; ++code)
        if (lowerWithoutBlanks(usageName(static_cast<std::uint8_t>(code))) == wanted)
            return static_cast<std::uint8_t>(code);
    return std::nullopt;
}

std::optional<KeyAssignment> parseKeyAssignment(std::string_view text, std::string& error)
{
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        error = quoted(text) + " is not KEY=CODE[+MODIFIER]";
        return std::nullopt;
    }
    KeyAssignment a;
    const auto key = parseNumber(text.substr(0, eq), codetable::kMaxKeys);
    if (!key || *key < 1) {
        error = quoted(text.substr(0, eq)) + " is not a key number 1-16";
        return std::nullopt;
    }
    a.key = *key;
    std::string_view rest = text.substr(eq + 1);
    std::string_view modifierText;
    // No usage name holds a "+", so the first one after the code starts the modifier.
    if (const auto plus = rest.find('+', 1); plus != std::string_view::npos) {
        modifierText = rest.substr(plus + 1);
        rest = rest.substr(0, plus);
    }
    const auto usage = parseUsageCode(rest, error);
    if (!usage)
        return std::nullopt;
    a.entry.usage = *usage;
    if (modifierText.find('+') != std::string_view::npos) {
        error = quoted(modifierText) + " names more than one modifier; a key takes one";
        return std::nullopt;
    }
    if (!modifierText.empty()) {
        const auto modifier = parseModifier(modifierText);
        if (!modifier) {
            error = quoted(modifierText) + " is not a modifier" + didYouMean(modifierText, modifierNames());
            return std::nullopt;
        }
        a.entry.modifier = *modifier;
    } else if (rest.size() + eq + 1 < text.size()) {
        error = quoted(text) + " has an empty modifier";
        return std::nullopt;
    }
    return a;
}

std::optional<link::CodeTable> parseCodeTableValues(std::string_view text, std::string& error)
{
    // As the configuration reset reads it.
    link::CodeTable table{};
    if (config::parseStoredTable(text, table, error))
        return table;
    error = "CodeTableValues " + error;
    return std::nullopt;
}

} // namespace vardo::cli
