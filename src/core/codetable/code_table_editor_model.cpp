#include "codetable/code_table_editor_model.h"

#include <algorithm>

namespace vardo::codetable {

namespace {
const std::string kEmpty;
}

CodeTableEditorModel::CodeTableEditorModel(int keyCount)
    : keyCount_(std::clamp(keyCount, 1, kMaxKeys))
{
    keyColour_.fill(KeyColour::Red);
    for (int key = 1; key <= kMaxKeys; ++key) {
        keyCaption_[static_cast<std::size_t>(key - 1)] = "Key " + std::to_string(key);
        modifierCaption_[static_cast<std::size_t>(key - 1)] = "None";
    }
}

std::string CodeTableEditorModel::modifierCaptionFor(int key, int index) const
{
    if (index == kRawModifier)
        return hexCaption(readModifierByte_[static_cast<std::size_t>(key - 1)]);
    return std::string(modifierItemText(index));
}

void CodeTableEditorModel::open(const CodeTable& table)
{
    for (int key = 1; key <= keyCount_; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        const CodeEntry entry = codeTableEntry(table, key);
        readModifierByte_[i] = entry.modifier;
        // A byte that names no modifier key is kept as it is rather than read
        // as a list index, which would silently change the key's data.
        currentMCode[i] = isModifierByte(entry.modifier) ? modifierIndexFromByte(entry.modifier)
                                                         : kRawModifier;
        currentKCode[i] = entry.usage;
        keyCaption_[i] = hexCaption(entry.usage);
    }
}

void CodeTableEditorModel::load(std::uint32_t modifierButtonColour)
{
    codeListVisible_ = false;
    modifierListVisible_ = false;
    for (int key = 1; key <= keyCount_; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        originalMCode[i] = currentMCode[i];
        originalKCode[i] = currentKCode[i];
        keyText[i] = keyCaption_[i];
        modifierCaption_[i] = modifierCaptionFor(key, currentMCode[i]);
        modifierText[i] = modifierCaption_[i];
    }
    currentMBColour = modifierButtonColour;
    keySelected = 0;
    modSelected = 0;
}

void CodeTableEditorModel::keyClicked(int key)
{
    if (!valid(key))
        return;
    const auto i = static_cast<std::size_t>(key - 1);
    if ((keySelected & bit(key)) == 0) {
        keyColour_[i] = KeyColour::Orange;
        codeListVisible_ = true;
        modifierListVisible_ = false;
    } else {
        keyColour_[i] = KeyColour::Red;
    }
    keySelected ^= bit(key);
}

void CodeTableEditorModel::modifierClicked(int key)
{
    if (!valid(key))
        return;
    if ((modSelected & bit(key)) == 0) {
        modifierListVisible_ = true;
        codeListVisible_ = false;
    }
    modSelected ^= bit(key);
}

void CodeTableEditorModel::codeChosen(int code)
{
    codeListVisible_ = false;
    if (code < 0 || code >= kUsageCodeCount)
        return;
    const std::string caption = hexCaption(static_cast<std::uint8_t>(code));
    for (int key = 1; key <= keyCount_; ++key) {
        if ((keySelected & bit(key)) == 0)
            continue;
        const auto i = static_cast<std::size_t>(key - 1);
        keyCaption_[i] = caption;
        currentKCode[i] = code;
        keyColour_[i] = KeyColour::Green;
    }
    keySelected = 0;
}

void CodeTableEditorModel::modifierChosen(int index)
{
    modifierListVisible_ = false;
    if (index < 0 || index >= kModifierCount)
        return;
    for (int key = 1; key <= keyCount_; ++key) {
        if ((modSelected & bit(key)) == 0)
            continue;
        const auto i = static_cast<std::size_t>(key - 1);
        modifierCaption_[i] = std::string(modifierItemText(index));
        currentMCode[i] = index;
    }
    modSelected = 0;
}

void CodeTableEditorModel::reset()
{
    for (int key = 1; key <= keyCount_; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        keyColour_[i] = KeyColour::Red;
        keyCaption_[i] = keyText[i];
        currentKCode[i] = originalKCode[i];
        currentMCode[i] = originalMCode[i];
        modifierCaption_[i] = modifierText[i];
    }
    modSelected = 0;
    keySelected = 0;
}

CodeTable CodeTableEditorModel::payload() const
{
    CodeTable table{};
    for (int key = 1; key <= keyCount_; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        const std::uint8_t modifier = currentMCode[i] == kRawModifier
                                          ? readModifierByte_[i]
                                          : modifierByteFromIndex(currentMCode[i]);
        setCodeTableEntry(table, key, {modifier, static_cast<std::uint8_t>(currentKCode[i])});
    }
    return table;
}

std::vector<int> CodeTableEditorModel::changedKeys() const
{
    std::vector<int> keys;
    for (int key = 1; key <= keyCount_; ++key) {
        const auto i = static_cast<std::size_t>(key - 1);
        if (currentKCode[i] != originalKCode[i] || currentMCode[i] != originalMCode[i])
            keys.push_back(key);
    }
    return keys;
}

int CodeTableEditorModel::codeListStart() const
{
    for (int key = 1; key <= keyCount_; ++key)
        if (keySelected & bit(key))
            return currentKCode[static_cast<std::size_t>(key - 1)];
    return -1;
}

const std::string& CodeTableEditorModel::keyCaption(int key) const
{
    return valid(key) ? keyCaption_[static_cast<std::size_t>(key - 1)] : kEmpty;
}

const std::string& CodeTableEditorModel::modifierCaption(int key) const
{
    return valid(key) ? modifierCaption_[static_cast<std::size_t>(key - 1)] : kEmpty;
}

KeyColour CodeTableEditorModel::keyColour(int key) const
{
    return valid(key) ? keyColour_[static_cast<std::size_t>(key - 1)] : KeyColour::Red;
}

bool CodeTableEditorModel::modifierSelected(int key) const
{
    return valid(key) && (modSelected & bit(key)) != 0;
}

} // namespace vardo::codetable
