// The editor model alone: what a choice changes, what Reset restores and the
// payload Apply builds, including modifier bytes that name no modifier key.
#include "codetable/code_table_editor_model.h"

#include <gtest/gtest.h>

using namespace vardo::codetable;

namespace {

CodeTable tableOf(std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> entries)
{
    CodeTable t{};
    int key = 1;
    for (auto [modifier, usage] : entries)
        setCodeTableEntry(t, key++, {modifier, usage});
    return t;
}

CodeTableEditorModel loaded(int keys, const CodeTable& table)
{
    CodeTableEditorModel m(keys);
    m.open(table);
    m.load(0xFFF0F0F0u);
    return m;
}

} // namespace

TEST(CodeTableEditorModel, OpeningAndLoadShowTheTableAsRead)
{
    const CodeTable t = tableOf({{0x00, 0x0F}, {0xE1, 0x04}, {0xE7, 0xFF}, {0xE0, 0x00}});
    CodeTableEditorModel m = loaded(4, t);
    EXPECT_EQ(m.keyCaption(1), "0x0F");
    EXPECT_EQ(m.keyCaption(3), "0xFF");
    EXPECT_EQ(m.modifierCaption(1), " None");
    EXPECT_EQ(m.modifierCaption(2), "Left Shift");
    EXPECT_EQ(m.modifierCaption(3), "Right   Gui");
    EXPECT_EQ(m.modifierCaption(4), "Left  Ctrl");
    EXPECT_EQ(m.currentMCode[1], 2);
    EXPECT_EQ(m.originalKCode[0], 0x0F);
    EXPECT_EQ(m.keyText[2], "0xFF");
    EXPECT_EQ(m.modifierText[1], "Left Shift");
    EXPECT_EQ(m.currentMBColour, 0xFFF0F0F0u);
    EXPECT_FALSE(m.codeListVisible());
    EXPECT_FALSE(m.modifierListVisible());
    EXPECT_EQ(m.payload(), t);
}

TEST(CodeTableEditorModel, KeyClickedTwiceTurnsRedButKeepsItsNewCode)
{
    CodeTableEditorModel m = loaded(4, tableOf({{0, 0x04}}));
    m.keyClicked(1);
    m.codeChosen(0x28);
    EXPECT_EQ(m.keyColour(1), KeyColour::Green);
    m.keyClicked(1);
    EXPECT_EQ(m.keyColour(1), KeyColour::Orange);
    m.keyClicked(1);
    EXPECT_EQ(m.keyColour(1), KeyColour::Red);
    EXPECT_EQ(m.keyCaption(1), "0x28");
    EXPECT_EQ(m.currentKCode[0], 0x28);
    EXPECT_EQ(m.keySelected, 0u);
}

TEST(CodeTableEditorModel, KeysBeyondTheLayoutAndBadChoicesAreIgnored)
{
    CodeTableEditorModel m = loaded(4, tableOf({{0, 0x04}, {0, 0x05}, {0, 0x06}, {0, 0x07}}));
    m.keyClicked(5);
    m.keyClicked(0);
    m.modifierClicked(16);
    EXPECT_EQ(m.keySelected, 0u);
    EXPECT_EQ(m.modSelected, 0u);
    m.keyClicked(2);
    m.codeChosen(256);
    EXPECT_EQ(m.currentKCode[1], 0x05);
    m.modifierClicked(2);
    m.modifierChosen(9);
    EXPECT_EQ(m.currentMCode[1], 0);
    // Bytes past the four keys stay zero whatever the model holds.
    CodeTable expected = tableOf({{0, 0x04}, {0, 0x05}, {0, 0x06}, {0, 0x07}});
    EXPECT_EQ(m.payload(), expected);
}

TEST(CodeTableEditorModel, SixteenKeySelectionMasksUseBitNMinusOne)
{
    CodeTableEditorModel m = loaded(16, CodeTable{});
    m.keyClicked(16);
    m.keyClicked(1);
    EXPECT_EQ(m.keySelected, 0x8001u);
    m.modifierClicked(9);
    EXPECT_EQ(m.modSelected, 0x0100u);
    m.modifierChosen(6);
    m.codeChosen(0x1E);
    const CodeTable p = m.payload();
    EXPECT_EQ(p[16], 0xE5);   // key 9 modifier
    EXPECT_EQ(p[1], 0x1E);
    EXPECT_EQ(p[31], 0x1E);
}

// A modifier byte naming no modifier key is shown raw and sent back unchanged;
// read as an index, 0x05 would have become "Right  Ctrl" and 0xE4.
TEST(CodeTableEditorModel, UnknownModifierByteIsKeptAsRead)
{
    const CodeTable t = tableOf({{0x05, 0x04}, {0xDF, 0x05}, {0xE8, 0x06}, {0x00, 0x07}});
    CodeTableEditorModel m = loaded(4, t);
    EXPECT_EQ(m.modifierCaption(1), "0x05");
    EXPECT_EQ(m.modifierCaption(2), "0xDF");
    EXPECT_EQ(m.modifierCaption(3), "0xE8");
    EXPECT_EQ(m.currentMCode[0], kRawModifier);
    EXPECT_EQ(m.payload(), t);

    // Changing the key's code alone keeps the raw modifier.
    m.keyClicked(1);
    m.codeChosen(0x29);
    EXPECT_EQ(m.payload()[0], 0x05);
    EXPECT_EQ(m.payload()[1], 0x29);

    // Picking a modifier replaces it; Reset brings the raw byte back.
    m.modifierClicked(1);
    m.modifierChosen(0);
    EXPECT_EQ(m.modifierCaption(1), " None");
    EXPECT_EQ(m.payload()[0], 0x00);
    m.reset();
    EXPECT_EQ(m.modifierCaption(1), "0x05");
    EXPECT_EQ(m.payload(), t);
}
