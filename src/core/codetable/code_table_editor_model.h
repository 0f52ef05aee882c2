#pragma once
// The state of one keypad code table editor, without any window: per-key usage
// codes and modifiers (current and as loaded), button captions and colours, the
// selection masks, which list is shown, and the LOAD_CODE_TABLE payload.
// The window forwards its events here and shows the result.
#include "codetable/usage_codes.h"
#include "link/messages.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vardo::codetable {

enum class KeyColour { Red, Orange, Green };

// Modifier index of a key whose modifier byte from the encoder is neither 0 nor
// 0xE0..0xE7: the byte is kept as read and shown raw.
inline constexpr int kRawModifier = -1;

class CodeTableEditorModel {
public:
    // keyCount is 4, 12 or 16 (clamped to 1..16).
    explicit CodeTableEditorModel(int keyCount);

    int keyCount() const { return keyCount_; }

    // Opening step: key n takes entry n of table as its current usage code and
    // modifier, and the hex caption of its code.
    void open(const CodeTable& table);
    // Load step: remembers codes, modifiers and captions as at load, takes
    // modifierButtonColour as the modifiers' normal colour, clears the
    // selections and hides both lists.
    void load(std::uint32_t modifierButtonColour);

    // Events; key numbers are 1..keyCount(), others are ignored.
    void keyClicked(int key);
    void modifierClicked(int key);
    // A usage code 0..255 committed in the code list.
    void codeChosen(int code);
    // A modifier index 0..8 committed in the modifier list.
    void modifierChosen(int index);
    void reset();

    // The 32-byte LOAD_CODE_TABLE payload: entry n from key n, the rest zero.
    CodeTable payload() const;
    // Keys whose code or modifier differs from the load step's, in key order:
    // edits that closing the window would lose.
    std::vector<int> changedKeys() const;
    // The usage code the code list opens at: the code of the first selected
    // key, or -1 with none selected.
    int codeListStart() const;

    // What the window shows.
    const std::string& keyCaption(int key) const;
    const std::string& modifierCaption(int key) const;
    KeyColour keyColour(int key) const;
    // True while modifier button `key` is selected (Orange); otherwise it shows
    // currentMBColour.
    bool modifierSelected(int key) const;
    bool codeListVisible() const { return codeListVisible_; }
    bool modifierListVisible() const { return modifierListVisible_; }

    // The editor's fields. Arrays hold key n at index n-1: currentKCode[0] is
    // currentK1Code, currentMCode[15] is currentM16Code, keyText[0] is key1Text.
    std::array<int, kMaxKeys> currentKCode{};    // usage code 0..255, what Apply sends
    std::array<int, kMaxKeys> originalKCode{};   // usage code at load
    std::array<int, kMaxKeys> currentMCode{};    // modifier index 0..8, or kRawModifier
    std::array<int, kMaxKeys> originalMCode{};   // modifier index at load
    std::array<std::string, kMaxKeys> keyText;       // key captions at load
    std::array<std::string, kMaxKeys> modifierText;  // modifier captions at load
    std::uint32_t keySelected = 0;   // bit n-1: key n selected for the next code
    std::uint32_t modSelected = 0;   // bit n-1: modifier n selected for the next modifier
    std::uint32_t currentMBColour = 0;  // normal modifier button colour (0xAARRGGBB)

private:
    bool valid(int key) const { return key >= 1 && key <= keyCount_; }
    static std::uint32_t bit(int key) { return 1u << (key - 1); }
    std::string modifierCaptionFor(int key, int index) const;

    int keyCount_;
    std::array<std::string, kMaxKeys> keyCaption_;
    std::array<std::string, kMaxKeys> modifierCaption_;
    std::array<KeyColour, kMaxKeys> keyColour_{};
    // The modifier byte of each key as the encoder reported it.
    std::array<std::uint8_t, kMaxKeys> readModifierByte_{};
    bool codeListVisible_ = false;
    bool modifierListVisible_ = false;
};

} // namespace vardo::codetable
