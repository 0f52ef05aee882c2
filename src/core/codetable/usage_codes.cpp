#include "codetable/usage_codes.h"

#include <cstdio>

namespace vardo::codetable {
namespace {

// Names of the codes 0x00..0xA4; 0xA5..0xDF and 0xE8..0xFF are "Undefine".
constexpr std::array<const char*, 0xA5> kLowNames = {
    "Reserved", "ErrorRollOver", "POSTFail", "ErrorUndefined", "a", "b", "c", "d",
    "e", "f", "g", "h", "i", "j", "k", "l",
    "m", "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "1", "2",
    "3", "4", "5", "6", "7", "8", "9", "0",
    "Enter", "Escape", "Backspace", "Tab", "Spacebar", "Minus", "Equal", "LeftBracket",
    "RightBracket", "Backslash", "VerticalBar", "Semicolon", "Apostrophe", "Tilde", "Comma", "Period",
    "Slash", "CapsLock", "F1", "F2", "F3", "F4", "F5", "F6",
    "F7", "F8", "F9", "F10", "F11", "F12", "PrintScreen", "ScrollLock",
    "Pause", "Insert", "Home", "PageUp", "DeleteForward", "End", "PageDown", "RightArrow",
    "LeftArrow", "DownArrow", "UpArrow", "KeypadNumlock", "KeypadSlash", "KeypadAsterisk", "KeypadMinus", "KeypadPlus",
    "KeypadEnter", "Keypad1", "Keypad2", "Keypad3", "Keypad4", "Keypad5", "Keypad6", "Keypad7",
    "Keypad8", "Keypad9", "Keypad0", "KeypadPeriod", "NonUsBackslash", "WindowsKey", "Power", "KeypadEqual",
    "F13", "F14", "F15", "F16", "F17", "F18", "F19", "F20",
    "F21", "F22", "F23", "F24", "Execute", "Help", "Menu", "Select",
    "Stop", "Again", "Undo", "Cut", "Copy", "Paste", "Find", "Mute",
    "VolumeUp", "VolumneDown", "LockingCapsLock", "LockingNumLock",
    "LockingScrollLock", "KeypadComma", "AS400KeypadEqual", "International1",
    "International2", "International3", "International4", "International5",
    "International6", "International7", "International8", "International9",
    "Lang1", "Lang2", "Lang3", "Lang4", "Lang5", "Lang6", "Lang7", "Lang8",
    "Lang9", "AlternateErase", "SysReq", "Cancel", "Clear", "Prior", "Return", "Separator",
    "Out", "Oper", "ClearAgain", "CrSelProps", "ExSel",
};

// A miscounted row would shift every later name; pin a few landmarks.
static_assert(std::string_view(kLowNames[0x28]) == "Enter");
static_assert(std::string_view(kLowNames[0x50]) == "LeftArrow");
static_assert(std::string_view(kLowNames[0x80]) == "VolumeUp");
static_assert(std::string_view(kLowNames[0xA4]) == "ExSel");

constexpr std::array<const char*, 8> kModifierKeyNames = {
    "LeftControl", "LeftShift", "LeftAlt", "LeftGUI",
    "RightControl", "RightShift", "RightAlt", "RightGUI",
};

const char* nameOf(int code)
{
    if (code < static_cast<int>(kLowNames.size()))
        return kLowNames[code];
    if (code >= 0xE0 && code <= 0xE7)
        return kModifierKeyNames[code - 0xE0];
    return "Undefine";
}

struct UsageTexts {
    std::array<std::string, kUsageCodeCount> storage;
    std::array<std::string_view, kUsageCodeCount> views;

    UsageTexts()
    {
        for (int code = 0; code < kUsageCodeCount; ++code) {
            // The list the operator knows has three spaces after g, m and w.
            const bool narrow = code == 0x0A || code == 0x10 || code == 0x1A;
            storage[code] = hexCaption(static_cast<std::uint8_t>(code)) + (narrow ? "   " : "    ")
                          + nameOf(code);
            views[code] = storage[code];
        }
    }
};

const UsageTexts& usageTexts()
{
    static const UsageTexts texts;
    return texts;
}

constexpr std::array<std::string_view, kModifierCount> kModifierTexts = {
    " None", "Left  Ctrl", "Left Shift", "Left    Alt", "Left   Gui",
    "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui",
};

constexpr std::array<LayoutInfo, kLayoutCount> kLayouts = {{
    {"4W    Function Key Table", 4, 8, false},
    {"4W    Arrow Key Table", 4, 8, false},
    {"4W    Customised Table", 4, 8, true},
    {"12W  Telephone Table", 12, 24, false},
    {"12W  Calculator Table", 12, 24, false},
    {"12W  Customised Table", 12, 24, true},
    {"16W  Telephone Table", 16, 32, false},
    {"16W  Calculator Table", 16, 32, false},
    {"16W  Customised Table", 16, 32, true},
}};

constexpr std::array<std::string_view, kLayoutCount> kLayoutTexts = [] {
    std::array<std::string_view, kLayoutCount> texts{};
    for (int i = 0; i < kLayoutCount; ++i)
        texts[i] = kLayouts[i].itemText;
    return texts;
}();

bool validKey(int key) { return key >= 1 && key <= kMaxKeys; }

} // namespace

std::string_view usageItemText(std::uint8_t code) { return usageTexts().views[code]; }

std::string_view usageName(std::uint8_t code) { return nameOf(code); }

bool isKeyCode(std::uint8_t code) { return code > 0x03; }

const std::array<std::string_view, kUsageCodeCount>& usageItemTexts() { return usageTexts().views; }

std::string hexCaption(std::uint8_t code)
{
    char text[5];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(code));
    return text;
}

std::string_view modifierItemText(int index)
{
    if (index < 0 || index >= kModifierCount)
        return {};
    return kModifierTexts[index];
}

const std::array<std::string_view, kModifierCount>& modifierItemTexts() { return kModifierTexts; }

int modifierIndexFromByte(std::uint8_t byte) { return byte >= 0xE0 ? byte - 223 : byte; }

std::uint8_t modifierByteFromIndex(int index)
{
    if (index < 1 || index > 8)
        return 0;
    return static_cast<std::uint8_t>(index + 223);
}

bool isModifierByte(std::uint8_t byte) { return byte == 0 || (byte >= 0xE0 && byte <= 0xE7); }

LayoutInfo layoutInfo(int index)
{
    if (index < 0 || index >= kLayoutCount)
        return {{}, 16, 32, false};
    return kLayouts[index];
}

std::string_view layoutItemText(int index) { return layoutInfo(index).itemText; }
int layoutKeyCount(int index) { return layoutInfo(index).keyCount; }
int layoutTableBytes(int index) { return layoutInfo(index).tableBytes; }
bool isCustomisedLayout(int index) { return layoutInfo(index).customised; }

const std::array<std::string_view, kLayoutCount>& layoutItemTexts() { return kLayoutTexts; }

CodeEntry codeTableEntry(const CodeTable& table, int key)
{
    if (!validKey(key))
        return {};
    const std::size_t at = 2 * static_cast<std::size_t>(key - 1);
    return {table[at], table[at + 1]};
}

bool setCodeTableEntry(CodeTable& table, int key, CodeEntry entry)
{
    if (!validKey(key))
        return false;
    const std::size_t at = 2 * static_cast<std::size_t>(key - 1);
    table[at] = entry.modifier;
    table[at + 1] = entry.usage;
    return true;
}

namespace {

struct SettingRow {
    Setting setting;
    const char* name;   // the configuration file's key
    int max;
};
constexpr SettingRow kSettings[] = {
    {Setting::LedBrightness, "LedBrightness", 9}, {Setting::LedColour, "LedColour", 2},
    {Setting::Buzzer, "Buzzer", 1},               {Setting::BuzzerPeriod, "BuzzerPeriod", 10},
    {Setting::KeypadLayout, "KeypadLayout", kLayoutCount - 1}, {Setting::Options, "Options", 7},
};

const SettingRow& rowOf(Setting setting) { return kSettings[static_cast<std::size_t>(setting)]; }

} // namespace

int settingMax(Setting setting) { return rowOf(setting).max; }

std::string settingProblem(Setting setting, long long value)
{
    const SettingRow& row = rowOf(setting);
    if (value >= 0 && value <= row.max)
        return {};
    return std::string(row.name) + " " + std::to_string(value) + " is not 0-" + std::to_string(row.max);
}

std::string codeTableProblem(const CodeTable& table)
{
    for (int key = 1; key <= kMaxKeys; ++key)
        if (const CodeEntry e = codeTableEntry(table, key); !isModifierByte(e.modifier))
            return "key " + std::to_string(key) + "'s modifier is " + std::to_string(e.modifier)
                   + ", not 0 or 224-231";
    return {};
}

} // namespace vardo::codetable
