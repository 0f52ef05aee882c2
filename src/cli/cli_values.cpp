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

// The name part of a usage item text ("0x04    a" -> "a").
std::string_view usageName(std::uint8_t code)
{
    std::string_view item = codetable::usageItemText(code);
    const auto gap = item.find_first_not_of(' ', 4);
    return gap == std::string_view::npos ? std::string_view{} : item.substr(gap);
}

} // namespace

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
        error = quoted(text) + " is not a usage code or the name of one";
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
            error = quoted(modifierText) + " is not a modifier";
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
