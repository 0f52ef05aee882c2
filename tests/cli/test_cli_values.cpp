// What an operator types, turned into the bytes the encoder gets.
#include "cli/cli_values.h"

#include "cli/cli_commands.h"
#include "cli/json_value.h"

#include <gtest/gtest.h>

#include <regex>

using namespace vardo::cli;

namespace {

std::optional<int> payload(const std::optional<SettingValue>& v)
{
    return v ? std::optional<int>(v->payload) : std::nullopt;
}

} // namespace

TEST(CliSettingValues, AcceptEachBoxRangeAndRejectTheRest)
{
    EXPECT_EQ(payload(parseBrightness("0")), 0);
    EXPECT_EQ(payload(parseBrightness("9")), 9);
    EXPECT_EQ(payload(parseBrightness("0x6")), 6);
    for (const char* bad : {"10", "-1", "", "5x", " 5", "five", "0x"})
        EXPECT_FALSE(parseBrightness(bad)) << bad;

    EXPECT_EQ(payload(parseColour("0")), 0);
    EXPECT_EQ(payload(parseColour("White")), 0);
    EXPECT_FALSE(parseColour("1"));
    EXPECT_FALSE(parseColour("red"));

    EXPECT_EQ(payload(parseBuzzer("off")), 0);
    EXPECT_EQ(payload(parseBuzzer("ON")), 1);
    EXPECT_EQ(payload(parseBuzzer("1")), 1);
    EXPECT_FALSE(parseBuzzer("2"));
    EXPECT_FALSE(parseBuzzer("yes"));
}

TEST(CliSettingValues, PeriodSendsItsIndexPlusOneAsTheBoxDoes)
{
    const auto zero = parsePeriod("0");
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->payload, 1);
    EXPECT_EQ(zero->value, 0);
    EXPECT_EQ(payload(parsePeriod("4")), 5);
    EXPECT_EQ(payload(parsePeriod("9")), 10);
    EXPECT_FALSE(parsePeriod("10"));
}

TEST(CliSettingValues, LayoutByNumberOrByItsTextInAnySpacing)
{
    EXPECT_EQ(payload(parseLayout("8")), 8);
    EXPECT_EQ(payload(parseLayout("12W  Calculator Table")), 4);
    EXPECT_EQ(payload(parseLayout("12w calculator table")), 4);
    EXPECT_EQ(payload(parseLayout("4W    Function Key Table")), 0);
    EXPECT_FALSE(parseLayout("9"));
    EXPECT_EQ(payload(parseLayout("12W Calculator")), 4);
    EXPECT_FALSE(parseLayout("Table"));
    EXPECT_FALSE(parseLayout("Calculator"));
    EXPECT_FALSE(parseLayout(""));
}

TEST(CliCodes, UsageCodesByNumberOrByName)
{
    std::string error;
    EXPECT_EQ(parseUsageCode("0x1E", error), 0x1E);
    EXPECT_EQ(parseUsageCode("30", error), 0x1E);   // a plain number is a code
    EXPECT_EQ(parseUsageCode("255", error), 0xFF);
    EXPECT_EQ(parseUsageCode("a", error), 0x04);
    EXPECT_EQ(parseUsageCode("ENTER", error), 0x28);
    EXPECT_EQ(parseUsageCode("f12", error), 0x45);
    EXPECT_EQ(parseUsageCode("KeypadPlus", error), 0x57);
    EXPECT_EQ(parseUsageCode("LeftShift", error), 0xE1);

    EXPECT_FALSE(parseUsageCode("256", error));
    EXPECT_NE(error.find("0-255"), std::string::npos);
    EXPECT_FALSE(parseUsageCode("Undefine", error));   // dozens of codes carry that name
    EXPECT_NE(error.find("several"), std::string::npos);
    EXPECT_FALSE(parseUsageCode("NoSuchKey", error));
    EXPECT_FALSE(parseUsageCode("", error));
}

TEST(CliCodes, ModifiersByNameOrByte)
{
    EXPECT_EQ(parseModifier("None"), 0);
    EXPECT_EQ(parseModifier("LeftCtrl"), 0xE0);
    EXPECT_EQ(parseModifier("Left Shift"), 0xE1);
    EXPECT_EQ(parseModifier("leftshift"), 0xE1);
    EXPECT_EQ(parseModifier("LeftControl"), 0xE0);
    EXPECT_EQ(parseModifier("RightGUI"), 0xE7);
    EXPECT_EQ(parseModifier("0xE5"), 0xE5);
    EXPECT_EQ(parseModifier("0"), 0);
    // Only 0 and 0xE0-0xE7 are modifier bytes.
    EXPECT_FALSE(parseModifier("0xE8"));
    EXPECT_FALSE(parseModifier("0x04"));
    EXPECT_FALSE(parseModifier("Shift"));
    EXPECT_FALSE(parseModifier(""));
}

TEST(CliCodes, KeyAssignments)
{
    std::string error;
    auto a = parseKeyAssignment("1=0x1E", error);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->key, 1);
    EXPECT_EQ(a->entry, (vardo::codetable::CodeEntry{0, 0x1E}));

    a = parseKeyAssignment("16=0x04+LeftShift", error);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->key, 16);
    EXPECT_EQ(a->entry, (vardo::codetable::CodeEntry{0xE1, 0x04}));

    a = parseKeyAssignment("2=KeypadPlus+RightAlt", error);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->entry, (vardo::codetable::CodeEntry{0xE6, 0x57}));

    for (const char* bad : {"0=0x04", "17=0x04", "x=0x04", "1", "1=", "1=0x04+", "1=0x04+Hyper",
                            "1=+LeftShift", "1=0x100", "1=+5"}) {
        error.clear();
        EXPECT_FALSE(parseKeyAssignment(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    // The part at fault is named: a negative number is no name, and a key takes one modifier.
    EXPECT_FALSE(parseKeyAssignment("1=-1", error));
    EXPECT_EQ(error, "'-1' is not a usage code 0-255");
    EXPECT_FALSE(parseKeyAssignment("1=0x04+LeftShift+LeftCtrl", error));
    EXPECT_EQ(error, "'LeftShift+LeftCtrl' names more than one modifier; a key takes one");
}

TEST(CliCodes, CodeTableValuesAreExactlyThirtyTwoCodesTheEditorOffers)
{
    // Key k: modifier byte 2k-2 (none, or LeftShift on the odd keys), code 2k-1.
    std::string text;
    for (int i = 0; i < 32; ++i)
        text += std::to_string(i % 2 ? i * 7 : i % 4 ? 0 : 0xE1) + ",";
    std::string error;
    auto table = parseCodeTableValues(text, error);
    ASSERT_TRUE(table) << error;
    EXPECT_EQ((*table)[0], 0xE1);
    EXPECT_EQ((*table)[31], 217);

    // Without the last comma the 32nd number still counts.
    table = parseCodeTableValues(text.substr(0, text.size() - 1), error);
    ASSERT_TRUE(table) << error;
    EXPECT_EQ((*table)[31], 217);

    const std::pair<std::string, const char*> refused[] = {
        {"", "0 numbers"},
        {"1,2,3,", "3 numbers"},
        {text + "99,100,", "34 numbers"},                     // never the first 32 of more
        {"0,300," + text.substr(text.find(',', 2) + 1), "holds 300, which is no code (0-255)"},
        {"0,-1," + text.substr(text.find(',', 2) + 1), "holds -1, which is no code"},
        {"5," + text.substr(text.find(',') + 1), "key 1's modifier is 5, not 0 or 224-231"},
        {"1,x," + text, "'x'"},
        {",," + text, "''"},
    };
    for (const auto& [values, why] : refused) {
        EXPECT_FALSE(parseCodeTableValues(values, error)) << values;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
}

// Each layout name as 'help set' prints it ("4 12W Calculator") is taken as given.
TEST(CliSettingValues, LayoutNamesOfTheHelpAreAccepted)
{
    std::string list = helpText("p", "set");
    list = std::regex_replace(list.substr(list.find("Layouts:") + 8), std::regex("\\s+"), " ");
    const std::regex entry(R"((\d) ([^,.]+))");
    int seen = 0;
    for (std::sregex_iterator it(list.begin(), list.end(), entry), end; it != end; ++it, ++seen)
        EXPECT_EQ(payload(parseLayout((*it)[2].str())), std::stoi((*it)[1].str())) << (*it)[2].str();
    EXPECT_EQ(seen, 9);
}

// The layout names of 'help --json' and of the suggestions are the ones 'set layout' takes.
TEST(CliSettingValues, LayoutNamesAreTakenBack)
{
    for (int layout = 0; layout < vardo::codetable::kLayoutCount; ++layout)
        EXPECT_EQ(payload(parseLayout(layoutName(layout))), layout) << layoutName(layout);
}

TEST(CliNearestWord, OneSlipPerFourLettersAndNoGuessBeyond)
{
    const std::vector<std::string> commands = {"status", "set", "table", "save", "list"};
    EXPECT_EQ(nearestWord("stauts", commands), "status");   // two letters swapped
    EXPECT_EQ(nearestWord("STATUS", commands), "status");   // letter case aside
    EXPECT_EQ(nearestWord("tabl", commands), "table");      // one missing
    EXPECT_EQ(nearestWord("sett", commands), "set");        // one extra
    EXPECT_EQ(nearestWord("stat", commands), "");           // two edits in four letters
    EXPECT_EQ(nearestWord("x", {"a"}), "");                 // never all of a word
    EXPECT_EQ(nearestWord("16w_customized", {"16W Customised"}), "16W Customised");
    EXPECT_EQ(didYouMean("lsit", commands), " (did you mean 'list'?)");
    EXPECT_EQ(didYouMean("frobnicate", commands), "");
}

TEST(CliJson, ReadsWhatAStateFileHolds)
{
    std::string error;
    const auto v = parseJson(R"( {"a": [1, -2.5e1, true, false, null], "b": {"c": "x\"\\\/\n\u0041\u00e9"}} )", error);
    ASSERT_TRUE(v) << error;
    const JsonValue* a = v->member("a");
    ASSERT_TRUE(a && a->kind == JsonValue::Kind::Array && a->items.size() == 5);
    EXPECT_EQ(a->items[1].number, -25);
    EXPECT_TRUE(a->items[2].boolean);
    EXPECT_EQ(a->items[4].kind, JsonValue::Kind::Null);
    EXPECT_EQ(v->member("b")->member("c")->text, "x\"\\/\nA\xC3\xA9");
    EXPECT_EQ(v->member("z"), nullptr);
}

TEST(CliJson, RefusesWhatIsNotJsonAndSaysWhere)
{
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "unexpected end at byte 1"},
        {"{\"a\" 1}", "expected ':' at byte 6"},
        {"[1 2]", "expected ',' or ']' at byte 4"},
        {"{\"a\": 1} x", "unexpected text at byte 10"},
        {"\"open", "a string without its closing quote at byte 6"},
        {"\"a\tb\"", "a control character in a string at byte 3"},
        {"tru", "unexpected text at byte 1"},
        {"1.2.3", "not a JSON value at byte 6"},
        // Nesting past any state file's is refused, not followed down the stack.
        {std::string(100000, '['), "nested too deeply at byte 34"},
    };
    for (const auto& [text, why] : bad) {
        std::string error;
        EXPECT_FALSE(parseJson(text, error)) << text.substr(0, 20);
        EXPECT_EQ(error, why) << text.substr(0, 20);
    }
}
