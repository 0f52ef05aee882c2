#include "codetable/usage_codes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vardo::codetable;

TEST(UsageCodes, ItemTextsAreCodeFourSpacesAndName)
{
    EXPECT_EQ(usageItemText(0x00), "0x00    Reserved");
    EXPECT_EQ(usageItemText(0x03), "0x03    ErrorUndefined");
    EXPECT_EQ(usageItemText(0x04), "0x04    a");
    EXPECT_EQ(usageItemText(0x1E), "0x1E    1");
    EXPECT_EQ(usageItemText(0x27), "0x27    0");
    EXPECT_EQ(usageItemText(0x28), "0x28    Enter");
    EXPECT_EQ(usageItemText(0x4C), "0x4C    DeleteForward");
    EXPECT_EQ(usageItemText(0x53), "0x53    KeypadNumlock");
    EXPECT_EQ(usageItemText(0x80), "0x80    VolumeUp");
    EXPECT_EQ(usageItemText(0x81), "0x81    VolumneDown");
    EXPECT_EQ(usageItemText(0x86), "0x86    AS400KeypadEqual");
    EXPECT_EQ(usageItemText(0x9F), "0x9F    Separator");
    EXPECT_EQ(usageItemText(0xA4), "0xA4    ExSel");
    EXPECT_EQ(usageItemText(0xE0), "0xE0    LeftControl");
    EXPECT_EQ(usageItemText(0xE3), "0xE3    LeftGUI");
    EXPECT_EQ(usageItemText(0xE7), "0xE7    RightGUI");
}

TEST(UsageCodes, OnlyGMAndWHaveThreeSpaces)
{
    EXPECT_EQ(usageItemText(0x0A), "0x0A   g");
    EXPECT_EQ(usageItemText(0x10), "0x10   m");
    EXPECT_EQ(usageItemText(0x1A), "0x1A   w");
    for (int code = 0; code < kUsageCodeCount; ++code) {
        const std::string text(usageItemText(static_cast<std::uint8_t>(code)));
        const bool narrow = code == 0x0A || code == 0x10 || code == 0x1A;
        const std::string gap = narrow ? "   " : "    ";
        ASSERT_EQ(text.substr(0, 4), hexCaption(static_cast<std::uint8_t>(code))) << code;
        ASSERT_EQ(text.substr(4, gap.size()), gap) << text;
        ASSERT_NE(text[4 + gap.size()], ' ') << text;
    }
}

TEST(UsageCodes, UndefinedRangesAndListShape)
{
    for (int code = 0xA5; code <= 0xDF; ++code)
        ASSERT_EQ(std::string(usageItemText(static_cast<std::uint8_t>(code))).substr(4), "    Undefine") << code;
    for (int code = 0xE8; code <= 0xFF; ++code)
        ASSERT_EQ(std::string(usageItemText(static_cast<std::uint8_t>(code))).substr(4), "    Undefine") << code;

    const auto& all = usageItemTexts();
    ASSERT_EQ(all.size(), 256u);
    EXPECT_EQ(all[0xE1], "0xE1    LeftShift");
    // Outside the Undefine ranges every name is different.
    std::set<std::string> names;
    for (int code = 0; code <= 0xA4; ++code)
        names.insert(std::string(all[code]).substr(4));
    EXPECT_EQ(names.size(), 0xA5u);
}

TEST(UsageCodes, HexCaptionIsTwoUpperCaseDigits)
{
    EXPECT_EQ(hexCaption(0x00), "0x00");
    EXPECT_EQ(hexCaption(0x0F), "0x0F");
    EXPECT_EQ(hexCaption(0x10), "0x10");
    EXPECT_EQ(hexCaption(0x28), "0x28");
    EXPECT_EQ(hexCaption(0xE0), "0xE0");
    EXPECT_EQ(hexCaption(0xFF), "0xFF");
}

TEST(Modifiers, ItemTextsKeepTheirSpacing)
{
    const char* expected[] = {" None", "Left  Ctrl", "Left Shift", "Left    Alt", "Left   Gui",
                              "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui"};
    for (int i = 0; i < kModifierCount; ++i) {
        EXPECT_EQ(modifierItemText(i), expected[i]);
        EXPECT_EQ(modifierItemTexts()[i], expected[i]);
    }
    EXPECT_EQ(modifierItemText(-1), "");
    EXPECT_EQ(modifierItemText(9), "");
}

TEST(Modifiers, ByteAndIndexConvertBothWays)
{
    EXPECT_EQ(modifierIndexFromByte(0x00), 0);
    EXPECT_EQ(modifierItemText(modifierIndexFromByte(0x00)), " None");
    EXPECT_EQ(modifierIndexFromByte(0xE0), 1);
    EXPECT_EQ(modifierItemText(modifierIndexFromByte(0xE0)), "Left  Ctrl");
    EXPECT_EQ(modifierIndexFromByte(0xE7), 8);
    EXPECT_EQ(modifierItemText(modifierIndexFromByte(0xE7)), "Right   Gui");
    EXPECT_EQ(modifierByteFromIndex(6), 0xE5);
    EXPECT_EQ(modifierIndexFromByte(0xE5), 6);
    for (int i = 0; i < kModifierCount; ++i)
        EXPECT_EQ(modifierIndexFromByte(modifierByteFromIndex(i)), i);

    // Bytes the encoder should never report: taken as they are (below 0xE0) or
    // byte - 223, both outside 0..8 and flagged by isModifierByte.
    EXPECT_EQ(modifierIndexFromByte(0x05), 5);
    EXPECT_EQ(modifierIndexFromByte(0x42), 0x42);
    EXPECT_EQ(modifierIndexFromByte(0xDF), 0xDF);
    EXPECT_EQ(modifierIndexFromByte(0xE8), 9);
    EXPECT_EQ(modifierIndexFromByte(0xFF), 32);
    EXPECT_EQ(modifierByteFromIndex(-1), 0);
    EXPECT_EQ(modifierByteFromIndex(9), 0);
}

TEST(Modifiers, OnlyNoneAndTheEightModifierKeysAreModifierBytes)
{
    int count = 0;
    for (int b = 0; b < 256; ++b)
        if (isModifierByte(static_cast<std::uint8_t>(b)))
            ++count;
    EXPECT_EQ(count, 9);
    EXPECT_TRUE(isModifierByte(0x00));
    EXPECT_TRUE(isModifierByte(0xE0));
    EXPECT_TRUE(isModifierByte(0xE7));
    EXPECT_FALSE(isModifierByte(0x01));
    EXPECT_FALSE(isModifierByte(0xDF));
    EXPECT_FALSE(isModifierByte(0xE8));
}

TEST(Layouts, TextsKeysTableBytesAndCustomised)
{
    struct Expected { const char* text; int keys; int bytes; bool custom; };
    const Expected expected[] = {
        {"4W    Function Key Table", 4, 8, false}, {"4W    Arrow Key Table", 4, 8, false},
        {"4W    Customised Table", 4, 8, true},    {"12W  Telephone Table", 12, 24, false},
        {"12W  Calculator Table", 12, 24, false},  {"12W  Customised Table", 12, 24, true},
        {"16W  Telephone Table", 16, 32, false},   {"16W  Calculator Table", 16, 32, false},
        {"16W  Customised Table", 16, 32, true},
    };
    for (int i = 0; i < kLayoutCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(layoutItemText(i), expected[i].text);
        EXPECT_EQ(layoutItemTexts()[i], expected[i].text);
        EXPECT_EQ(layoutKeyCount(i), expected[i].keys);
        EXPECT_EQ(layoutTableBytes(i), expected[i].bytes);
        EXPECT_EQ(isCustomisedLayout(i), expected[i].custom);
    }
}

TEST(Layouts, IndexOutsideTheListIsAPlainSixteenKeyLayout)
{
    for (int index : {-1, 9, 0xFF}) {
        const LayoutInfo info = layoutInfo(index);
        EXPECT_EQ(info.itemText, "");
        EXPECT_EQ(info.keyCount, 16);
        EXPECT_EQ(info.tableBytes, 32);
        EXPECT_FALSE(info.customised);
    }
}

TEST(CodeTableEntries, KeyKIsBytesTwoKMinusTwoAndNext)
{
    CodeTable table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(codeTableEntry(table, 1), (CodeEntry{0, 1}));
    EXPECT_EQ(codeTableEntry(table, 4), (CodeEntry{6, 7}));
    EXPECT_EQ(codeTableEntry(table, 16), (CodeEntry{30, 31}));
    EXPECT_EQ(codeTableEntry(table, 0), (CodeEntry{}));
    EXPECT_EQ(codeTableEntry(table, 17), (CodeEntry{}));
}

TEST(CodeTableEntries, StoringTouchesOnlyThatEntry)
{
    CodeTable table{};
    // A modifier key as usage code with no modifier is an ordinary entry.
    EXPECT_TRUE(setCodeTableEntry(table, 3, {0x00, 0xE1}));
    EXPECT_TRUE(setCodeTableEntry(table, 16, {0xE7, 0xFF}));
    CodeTable expected{};
    expected[4] = 0x00;
    expected[5] = 0xE1;
    expected[30] = 0xE7;
    expected[31] = 0xFF;
    EXPECT_EQ(table, expected);

    EXPECT_FALSE(setCodeTableEntry(table, 0, {1, 1}));
    EXPECT_FALSE(setCodeTableEntry(table, 17, {1, 1}));
    EXPECT_EQ(table, expected);
}
