#pragma once
// What a keypad key sends: the usage code list, the modifier choices, the nine
// keypad layouts and the 32-byte code table. Pure data and conversions, no Qt.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/code_table.h"

namespace vardo::codetable {

// The table these codes fill is the link's: the payload it sends.
using link::CodeTable;
using link::kCodeTableBytes;

inline constexpr int kUsageCodeCount = 256;
inline constexpr int kModifierCount = 9;
inline constexpr int kLayoutCount = 9;
inline constexpr int kMaxKeys = 16;

// ---- Usage codes -----------------------------------------------------------

// The combo box text of usage code `code`, e.g. "0x04    a". Every byte has one.
std::string_view usageItemText(std::uint8_t code);

// All 256 texts in code order, for filling a list.
const std::array<std::string_view, kUsageCodeCount>& usageItemTexts();

// "0x" and two upper-case hex digits: the caption of a key button.
std::string hexCaption(std::uint8_t code);
// The name alone, e.g. "a" or "Undefine".
std::string_view usageName(std::uint8_t code);
// False for 0x00-0x03: no key but "no event" and the keyboard's error reports.
bool isKeyCode(std::uint8_t code);

// ---- Modifiers -------------------------------------------------------------

// Text of modifier index 0..8 (" None", "Left  Ctrl", ...); "" for any other index.
std::string_view modifierItemText(int index);

const std::array<std::string_view, kModifierCount>& modifierItemTexts();

// The encoder's modifier byte to a list index: bytes 0xE0 and up give byte - 223,
// smaller bytes are returned unchanged. A byte that is neither 0 nor 0xE0..0xE7
// therefore gives an index outside 0..8; check with isModifierByte first.
int modifierIndexFromByte(std::uint8_t byte);

// Index 1..8 gives 0xE0..0xE7; 0 and every index outside 1..8 give 0 (no modifier),
// so a bad index can never put a stray byte into a table.
std::uint8_t modifierByteFromIndex(int index);

// True for the bytes a code table may carry as modifier: 0 and 0xE0..0xE7.
bool isModifierByte(std::uint8_t byte);

// ---- Keypad layouts --------------------------------------------------------

struct LayoutInfo {
    std::string_view itemText;  // "" for an index outside 0..8
    int keyCount;               // 4, 12 or 16
    int tableBytes;             // code table bytes in the status message: 8, 24 or 32
    bool customised;            // editable by the operator (indexes 2, 5 and 8)
};

// Facts of layout `index`. An index outside 0..8 is taken as a 16-key layout
// (16 keys, 32 bytes) that is not customised and has no item text.
LayoutInfo layoutInfo(int index);

std::string_view layoutItemText(int index);
int layoutKeyCount(int index);
int layoutTableBytes(int index);
bool isCustomisedLayout(int index);

const std::array<std::string_view, kLayoutCount>& layoutItemTexts();

// ---- Code table ------------------------------------------------------------

struct CodeEntry {
    std::uint8_t modifier = 0;
    std::uint8_t usage = 0;
    bool operator==(const CodeEntry&) const = default;
};

// Entry of key 1..16; {0, 0} for any other key number.
CodeEntry codeTableEntry(const CodeTable& table, int key);

// Stores the entry of key 1..16 unchanged; false, with the table untouched, for
// any other key number.
bool setCodeTableEntry(CodeTable& table, int key, CodeEntry entry);

// ---- What the encoder takes --------------------------------------------------
// The one check of every value that is sent to an encoder or kept for it
// (a configuration file, an import, a table load, a backup written back, the
// demo's kept encoders): a value outside these ranges is refused whole rather
// than sent until the encoder refuses it half way.

enum class Setting { LedBrightness, LedColour, Buzzer, BuzzerPeriod, KeypadLayout, Options };

// The largest value the encoder takes (the smallest is 0).
int settingMax(Setting setting);
// Why value is none the encoder takes ("LedBrightness 99 is not 0-9"), or "".
std::string settingProblem(Setting setting, long long value);
// Why a table holds what the editor offers no key (a modifier byte other than
// 0 and 0xE0-0xE7: "key 3's modifier is 5, not 0 or 224-231"), or "".
std::string codeTableProblem(const CodeTable& table);

} // namespace vardo::codetable
