// Each subcommand run in-process against the virtual encoder: the exact
// commands that reach the encoder, what is printed where, and the exit status.
#include "cli/exit_codes.h"
#include "cli_test_env.h"
#include "sim/virtual_loader.h"

#include <functional>
#include <sys/stat.h>

using namespace vardo;
using namespace vardo::clitest;
using cli::ExitCode;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<std::uint8_t> out;
    for (int b : list)
        out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

std::vector<std::uint8_t> tableBytes(const sim::EncoderTable& t)
{
    return {t.begin(), t.end()};
}

} // namespace

// ---- status -----------------------------------------------------------------

TEST_F(CliTest, StatusPrintsTheEncoderAndItsCodeTable)
{
    const auto r = run({"status"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find("Code table:\n") + 12),
              "Device:       Vardo 710i Encoder\n"
              "Firmware:     01.05A\n"
              "Port:         1-1\n"
              "Serial:       VE710-000001\n"
              "Path:         sim:1-1:1.1\n"
              "Options:      7 (LED colour, LED brightness, buzzer)\n"
              "Layout:       8 (16W  Customised Table)\n"
              "Brightness:   4\n"
              "Colour:       0 (White)\n"
              "Buzzer:       1 (On)\n"
              "Period:       3\n"
              "Code table:\n");
    EXPECT_TRUE(contains(r.out, "Key  1:  None         0x04    a\n"));
    EXPECT_TRUE(contains(r.out, "Key  2:  Left Shift   0x05    b\n"));
    EXPECT_TRUE(contains(r.out, "Key 16:  None         0x13    p\n"));
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}}));
}

TEST_F(CliTest, StatusOfATwelveKeyLayoutListsTwelveKeysAndTheModel710)
{
    auto s = testSettings();
    s.keypadType = 3;
    s.optionsFitted = 6;
    encoder->setSettings(s);
    const auto r = run({"status"});
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "Device:       Vardo 710 Encoder\n"));
    EXPECT_TRUE(contains(r.out, "Options:      6 (LED brightness, buzzer)\n"));
    EXPECT_TRUE(contains(r.out, "Layout:       3 (12W  Telephone Table)\n"));
    EXPECT_TRUE(contains(r.out, "Key 12:"));
    EXPECT_FALSE(contains(r.out, "Key 13:"));
    EXPECT_TRUE(contains(r.out, "Firmware:     01.05A\n"));   // read after the 24 table bytes
}

TEST_F(CliTest, StatusJsonIsOneObjectWithEveryField)
{
    const auto r = run({"status", "--json"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("{\"port\":\"1-1\",\"serial\":\"VE710-000001\",\"path\":\"sim:1-1:1.1\",\"model\":"
                          "\"Vardo 710i Encoder\",\"firmware\":\"01.05A\",\"options\":7,\"layout\":8,\"layoutText\":"
                          "\"16W  Customised Table\",\"brightness\":4,\"colour\":0,\"buzzer\":1,\"buzzerPeriod\":3,"
                          "\"period\":2,\"codeTable\":[{\"key\":1,\"modifier\":0,\"usage\":4,",
                          0),
              0u)
        << r.out;
    EXPECT_TRUE(contains(r.out, "{\"key\":2,\"modifier\":225,\"usage\":5,\"modifierText\":\"Left Shift\","
                                "\"usageText\":\"0x05    b\"}"));
    EXPECT_TRUE(contains(r.out, "{\"key\":16,"));
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "}]}\n");
}

TEST_F(CliTest, JsonEscapesWhatTheDeviceReports)
{
    encoder->setFirmwareVersion("1\"\\\x01\xE9Z");   // six characters
    const auto r = run({"status", "--json"});
    ASSERT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "\"firmware\":\"1\\\"\\\\\\u0001\\u00E9Z\"")) << r.out;
    const auto text = run({"status"});
    EXPECT_TRUE(contains(text.out, "Firmware:     1\"\\?\xE9Z\n"));
}

TEST_F(CliTest, StatusFailuresHaveTheirOwnExitStatusAndPrintNothingOnStdout)
{
    encoder->injectFault({sim::EncoderFault::Refuse, false, GET_STATUS});
    auto r = run({"status"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to Get Device Status Message. (the encoder refused the command or its reply was "
                     "invalid)\n");

    encoder->injectFault({sim::EncoderFault::ShortStatus, false, GET_STATUS});
    r = run({"status"});
    EXPECT_EQ(r.code, cli::kExitRefused);

    encoder->injectFault({sim::EncoderFault::Silence, false, GET_STATUS});
    r = run({"status"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to Get Device Status Message. (no reply from the encoder within 5000 ms)\n");
}

TEST_F(CliTest, NoEncoderOnTheBus)
{
    removeEncoders();
    for (const char* command : {"status", "save", "keys", "factory-reset"}) {
        const auto r = run({command});
        EXPECT_EQ(r.code, cli::kExitNoEncoder) << command;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Vardo 710 Encoder not connected..\n");
    }
}

TEST_F(CliTest, AnEncoderWeMayNotOpenNamesTheUdevRule)
{
    removeEncoders();
    addEncoder(1, false);
    const auto r = run({"set", "brightness", "3"});
    EXPECT_EQ(r.code, cli::kExitPermission);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Vardo 710 Encoder not connected..\nAn encoder is attached at sim:1-1:1.1 but this "
                          "user may not open it (permission denied).\nThe udev rule "
                          "/usr/lib/udev/rules.d/70-vardo-encoder.rules gives",
                          0),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("copy 70-vardo-encoder.rules into /etc/udev/rules.d)"), std::string::npos) << r.err;
}

TEST_F(CliTest, AnEncoderThatGoesAwayMidCommandCountsAsNoEncoder)
{
    // The encoder leaves the bus the moment it gets its command.
    encoder->addListener([this] {
        if (!encoder->receivedCommands().empty() && encoder->plugged())
            sim::Bus::instance().schedule(0, [this] { encoder->unplug(); });
    });
    const auto r = run({"set", "buzzer", "off"});
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_TRUE(contains(r.err, "Unable to set Buzzer On/Off.. (the encoder is not connected or stopped answering)"))
        << r.err;
}

// ---- set ----------------------------------------------------------------------

TEST_F(CliTest, SetSendsTheBoxPayloads)
{
    struct Case {
        std::vector<std::string> args;
        Sent expected;
    };
    const Case cases[] = {
        {{"set", "brightness", "6"}, {SET_LED_BRIGHTNESS, bytes({6})}},
        {{"set", "brightness", "0"}, {SET_LED_BRIGHTNESS, bytes({0})}},
        {{"set", "colour", "white"}, {SET_LED_COLOUR, bytes({0})}},
        {{"set", "buzzer", "off"}, {SET_BUZZER, bytes({0})}},
        {{"set", "buzzer", "1"}, {SET_BUZZER, bytes({1})}},
        {{"set", "period", "0"}, {SET_BUZZER_PERIOD, bytes({1})}},
        {{"set", "period", "4"}, {SET_BUZZER_PERIOD, bytes({5})}},
        {{"set", "period", "9"}, {SET_BUZZER_PERIOD, bytes({10})}},
        {{"set", "layout", "12W  Calculator Table"}, {SET_KEYPAD_TYPE, bytes({4})}},
        {{"set", "layout", "2"}, {SET_KEYPAD_TYPE, bytes({2})}},
    };
    for (const auto& c : cases) {
        encoder->clearReceivedCommands();
        const auto r = run(c.args);
        EXPECT_EQ(r.code, 0) << c.args[1] << " " << c.args[2] << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(sent(*encoder), std::vector<Sent>{c.expected}) << c.args[1] << " " << c.args[2];
    }
    EXPECT_EQ(encoder->keypadType(), 2);
    EXPECT_EQ(encoder->buzzerPeriod(), 10);
}

TEST_F(CliTest, SetRejectsBadValuesWithoutTouchingTheEncoder)
{
    const std::vector<std::vector<std::string>> bad = {
        {"set", "brightness", "10"}, {"set", "brightness", "-1"}, {"set", "colour", "1"},
        {"set", "buzzer", "2"},      {"set", "period", "10"},     {"set", "layout", "9"},
        {"set", "layout", "Custom"}, {"set", "volume", "3"},      {"set", "brightness"},
        {"set", "brightness", "3", "4"}, {"set", "brightness", "10", "--json"},
    };
    for (const auto& args : bad) {
        const auto r = run(args);
        EXPECT_EQ(r.code, cli::kExitUsage) << args[1];
        // Asked for JSON, the failure is JSON too.
        EXPECT_EQ(r.out, args.back() != "--json" ? ""
                                                 : "{\"error\":\"bad value '10' for brightness (0-9)\",\"exit\":2,"
                                                   "\"port\":null,\"did_you_mean\":null}\n");
        EXPECT_TRUE(contains(r.err, "Try 'vardo-encoder --help'.")) << r.err;
    }
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, SetReportsTheBoxMessageWhenRefusedOrUnanswered)
{
    encoder->injectFault({sim::EncoderFault::Refuse, false});
    auto r = run({"set", "brightness", "6"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_EQ(r.err, "Unable to set the LED Brightness.. (the encoder refused the command or its reply was "
                     "invalid)\n");
    EXPECT_EQ(encoder->ledBrightness(), 4);

    encoder->injectFault({sim::EncoderFault::Silence, false});
    r = run({"set", "layout", "5"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.err, "Unable to set Keypad Type.. (no reply from the encoder within 5000 ms)\n");

    encoder->injectFault({sim::EncoderFault::BadChecksum, false});
    r = run({"set", "colour", "0"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_TRUE(contains(r.err, "Unable to set LED colour.."));
}

// ---- table --------------------------------------------------------------------

TEST_F(CliTest, TableShowListsTheLayoutsKeys)
{
    auto r = run({"table", "show"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.substr(0, 98), "Layout: 8 (16W  Customised Table)\n"
                                   "Key  1:  None         0x04    a\n"
                                   "Key  2:  Left Shift   0x05    b\n");
    r = run({"table", "show", "--json"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("{\"layout\":8,\"layoutText\":\"16W  Customised Table\",\"keys\":[{\"key\":1,", 0), 0u);
}

TEST_F(CliTest, TableLoadStartsFromTheEncodersTableAndChangesTheNamedKeys)
{
    const auto r = run({"table", "load", "1=0x1E", "2=0x04+LeftShift", "16=Enter+RightCtrl"});
    ASSERT_EQ(r.code, 0) << r.err;
    auto expected = sim::EncoderSettings::factory().customTables[2];
    expected[0] = 0x00, expected[1] = 0x1E;
    expected[2] = 0xE1, expected[3] = 0x04;
    expected[30] = 0xE4, expected[31] = 0x28;
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}, {LOAD_CODE_TABLE, tableBytes(expected)}}));
    EXPECT_EQ(encoder->activeCodeTable(), expected);
}

TEST_F(CliTest, TableLoadOnATwelveKeyLayoutSendsZerosPastItsKeys)
{
    auto s = testSettings();
    s.keypadType = 5;
    s.customTables[1][25] = 0x77;   // a stray byte past key 12 is not carried over
    encoder->setSettings(s);
    const auto r = run({"table", "load", "12=b"});
    ASSERT_EQ(r.code, 0) << r.err;
    sim::EncoderTable expected{};
    for (int k = 0; k < 11; ++k)
        expected[2 * k + 1] = static_cast<std::uint8_t>(0x04 + k);
    expected[23] = 0x05;
    ASSERT_EQ(sent(*encoder).size(), 2u);
    EXPECT_EQ(sent(*encoder)[1], (Sent{LOAD_CODE_TABLE, tableBytes(expected)}));
}

TEST_F(CliTest, TableLoadRefusesKeysBeyondTheLayoutAndPredefinedLayouts)
{
    auto s = testSettings();
    s.keypadType = 2;
    encoder->setSettings(s);
    auto r = run({"table", "load", "5=a"});
    EXPECT_EQ(r.code, cli::kExitUsage);
    EXPECT_TRUE(contains(r.err, "key 5 is beyond the 4 keys")) << r.err;
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}}));

    encoder->clearReceivedCommands();
    s.keypadType = 7;
    encoder->setSettings(s);
    r = run({"table", "load", "1=a"});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err.rfind("Please select a customise table..", 0), 0u);
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}}));

    encoder->clearReceivedCommands();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"table", "load"}, {"table", "load", "1=a", "--from", "x.ini"}, {"table", "load", "1:a"},
             {"table"}, {"table", "edit"}, {"table", "load", "1=a", "2=b", "1=b"}}) {
        r = run(args);
        EXPECT_EQ(r.code, cli::kExitUsage) << r.err;
    }
    EXPECT_EQ(r.err.rfind("vardo-encoder: key 1 is given twice ('1=a' and '1=b')\n", 0), 0u) << r.err;
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, TableLoadFailures)
{
    encoder->injectFault({sim::EncoderFault::Silence, false, GET_STATUS});
    auto r = run({"table", "load", "1=a"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.err, "Load Table-Unable to get device status.. (no reply from the encoder within 5000 ms)\n");

    encoder->clearReceivedCommands();
    encoder->injectFault({sim::EncoderFault::Refuse, false, LOAD_CODE_TABLE});
    r = run({"table", "load", "1=a"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_TRUE(contains(r.err, "Unable to Load Table.."));
}

TEST_F(CliTest, TableLoadFromAConfigurationFileSendsItsThirtyTwoBytes)
{
    sim::EncoderTable table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(i % 2 ? 0x20 + i : (i == 4 ? 0xE2 : 0));
    const std::string file = root + "/USBUtilityCfg.ini";
    writeFile(file, savedConfig(8, tableText(table), 1, 0, 1, 2));
    const auto r = run({"table", "load", "--from", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}, {LOAD_CODE_TABLE, tableBytes(table)}}));
}

TEST_F(CliTest, TableLoadFromABadFileSendsNothing)
{
    const std::string file = root + "/cfg.ini";
    const std::pair<std::string, std::string> files[] = {
        {" [appSettings]\r\n CodeTableValues=1,2,3,\r\n", "3 numbers instead of 32"},
        {" [appSettings]\r\n CodeTableValues=\r\n", "0 numbers instead of 32"},
        {" [other]\r\n CodeTableValues=1,\r\n", "has no CodeTableValues"},
        {" [appSettings\r\n", "section line without ']'"},
    };
    for (const auto& [content, why] : files) {
        writeFile(file, content);
        const auto r = run({"table", "load", "--from=" + file});
        EXPECT_EQ(r.code, cli::kExitBadInputFile) << content;
        EXPECT_TRUE(contains(r.err, why)) << r.err;
    }
    const auto r = run({"table", "load", "--from", root + "/missing.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Cannot read the file '" + root + "/missing.ini': it does not exist.\n");
    EXPECT_TRUE(sent(*encoder).empty());
}

// ---- save and factory reset -----------------------------------------------------

TEST_F(CliTest, SaveWritesDefaultsThenRecordsTheStatusInTheConfigurationFile)
{
    const auto r = run({"save"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{WRITE_DEFAULTS, {}}, {GET_STATUS, {}}}));
    EXPECT_EQ(readFile(configPath()), savedConfig(8, tableText(testSettings().customTables[2]), 4, 0, 1, 3));
    EXPECT_EQ(encoder->powerUpDefaults(), encoder->settings());
}

TEST_F(CliTest, SaveOfAPredefinedLayoutStoresNoTableAndOnlyTheReportedBytes)
{
    auto s = testSettings();
    s.keypadType = 1;
    encoder->setSettings(s);
    ASSERT_EQ(run({"save"}).code, 0);
    EXPECT_EQ(readFile(configPath()), savedConfig(1, "", 4, 0, 1, 3));
}

TEST_F(CliTest, SaveLeavesTheFileAloneWhenWriteDefaultsFails)
{
    ASSERT_EQ(run({"save"}).code, 0);
    const std::string before = readFile(configPath());
    encoder->setSettings([] {
        auto s = testSettings();
        s.ledBrightness = 9;
        return s;
    }());
    encoder->clearReceivedCommands();
    encoder->injectFault({sim::EncoderFault::Refuse, false, WRITE_DEFAULTS});
    const auto r = run({"save"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_EQ(r.err, "Unable to Write Default.. (the encoder refused the command or its reply was invalid)\n");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{WRITE_DEFAULTS, {}}}));
    EXPECT_EQ(readFile(configPath()), before);
}

TEST_F(CliTest, SaveReportsAStatusFailureAndAnUnwritableFile)
{
    encoder->injectFault({sim::EncoderFault::Silence, false, GET_STATUS});
    auto r = run({"save"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.err, "Unable to Save Config file. (no reply from the encoder within 5000 ms)\n");

    // A read-only file: every key fails; the message is shown once.
    ::chmod(configPath().c_str(), 0444);
    r = run({"save"});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "Failed to update USBUtilityCfg.ini file.\nThe encoder keeps its settings, but the "
                     "configuration file " + configPath() + " was not fully written.\n");

    // An incorrect file is a bad input file; nothing is written.
    ::chmod(configPath().c_str(), 0644);
    writeFile(configPath(), " [appSettings\r\n");
    r = run({"save"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(readFile(configPath()), " [appSettings\r\n");

    // A folder where the file should be is refused before anything is sent.
    std::filesystem::remove(configPath());
    std::filesystem::create_directories(configPath());
    encoder->clearReceivedCommands();
    r = run({"save"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "The configuration file " + configPath() + " is a folder, not a file.\n");
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, FactoryResetWaitsReopensAndReadsTheStatus)
{
    const std::uint64_t slept = clock.totalSleptMs();
    const auto r = run({"factory-reset", "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_GE(clock.totalSleptMs() - slept, 3000u);
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{FACTORY_RESET, {}}, {GET_STATUS, {}}}));
    EXPECT_EQ(encoder->settings(), sim::EncoderSettings::factory());
}

// Not on a terminal, the reset needs --yes: without it nothing is sent.
TEST_F(CliTest, FactoryResetWithoutYesSendsNothing)
{
    const auto r = run({"factory-reset"});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "Not reset (confirm with --yes).\n");
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, FactoryResetWithAnEncoderThatDoesNotComeBack)
{
    encoder->setReenumerateDelayMs(10000);
    const auto r = run({"factory-reset", "--yes"});
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_EQ(r.err, "Vardo 710 Encoder not connected..\n");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{FACTORY_RESET, {}}}));
}

TEST_F(CliTest, FactoryResetRescansEvenWhenTheResetWasRefused)
{
    encoder->injectFault({sim::EncoderFault::Refuse, false, FACTORY_RESET});
    const auto r = run({"factory-reset", "--yes"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{FACTORY_RESET, {}}, {GET_STATUS, {}}}));
}

TEST_F(CliTest, FactoryResetComesBackToTheChosenEncoder)
{
    auto* second = addEncoder(2);
    const auto r = run({"--device", "VE710-000002", "factory-reset", "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(sent(*encoder).empty());
    EXPECT_EQ(sent(*second), (std::vector<Sent>{{FACTORY_RESET, {}}, {GET_STATUS, {}}}));
}

// ---- configuration file -------------------------------------------------------

TEST_F(CliTest, ConfigExportCopiesIntoAFolderAndAsksBeforeOverwriting)
{
    ASSERT_EQ(run({"save"}).code, 0);
    const std::string folder = root + "/out";
    std::filesystem::create_directories(folder);
    auto r = run({"config", "export", folder});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFile(folder + "/USBUtilityCfg.ini"), readFile(configPath()));

    writeFile(folder + "/USBUtilityCfg.ini", "mine");
    r = run({"config", "export", folder});
    EXPECT_EQ(r.code, cli::kExitFailed);
    EXPECT_EQ(r.err, "Not exported: " + folder + "/USBUtilityCfg.ini exists (use --yes to overwrite it).\n");
    EXPECT_EQ(readFile(folder + "/USBUtilityCfg.ini"), "mine");

    r = run({"config", "export", folder, "--yes"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFile(folder + "/USBUtilityCfg.ini"), readFile(configPath()));

    r = run({"config", "export", root + "/nowhere"});
    EXPECT_EQ(r.code, cli::kExitUsage);
    EXPECT_TRUE(sent(*encoder) == (std::vector<Sent>{{WRITE_DEFAULTS, {}}, {GET_STATUS, {}}}));
}

TEST_F(CliTest, ConfigExportAsksOnATerminal)
{
    const std::string folder = root + "/out";
    std::filesystem::create_directories(folder);
    writeFile(folder + "/USBUtilityCfg.ini", "mine");
    for (const auto& [answer, code, kept] :
         {std::tuple{"n\n", int(cli::kExitFailed), true}, std::tuple{"y\n", 0, false}}) {
        std::istringstream in(answer);
        std::ostringstream out, err;
        cli::Console console(out, err);
        console.in = &in;
        console.inIsTerminal = true;
        EXPECT_EQ(cli::runCli({"config", "export", folder}, console), code);
        EXPECT_TRUE(contains(err.str(), "USBUtilityCfg.ini file already exists. Do you want to overwrite it? "
                                        "[y/N] "));
        EXPECT_EQ(readFile(folder + "/USBUtilityCfg.ini") == "mine", kept);
    }
}

TEST_F(CliTest, ConfigImportChecksTheFileAsTheWindowDoes)
{
    const std::string folder = root + "/in";
    std::filesystem::create_directories(folder);
    const std::string good = savedConfig(4, "", 2, 0, 0, 7);
    writeFile(folder + "/USBUtilityCfg.ini", good);
    auto r = run({"config", "import", folder + "/USBUtilityCfg.ini"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFile(configPath()), good);
    EXPECT_TRUE(sent(*encoder).empty());   // the encoder hears of it only through apply

    // Any name will do (the window's rule is its own): a backup written before an upgrade, say.
    const std::string backup = savedConfig(3, "", 3, 0, 1, 2) + "EncoderSerial=VE710-000001\r\nEncoderPort=1-1\r\n";
    writeFile(folder + "/USBUtilityCfg-VE710-000001-20260101-120000.ini", backup);
    r = run({"config", "import", folder + "/USBUtilityCfg-VE710-000001-20260101-120000.ini"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(readFile(configPath()), backup);
    writeFile(folder + "/usbutilitycfg.ini", good);
    r = run({"config", "import", folder + "/usbutilitycfg.ini"});
    EXPECT_EQ(r.code, 0) << r.err;

    std::string lacking = good;
    lacking.erase(lacking.find(" Options=7\r\n"), 12);
    writeFile(folder + "/USBUtilityCfg.ini", lacking);
    r = run({"config", "import", folder + "/USBUtilityCfg.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "File is incorrect format.\n");

    writeFile(folder + "/USBUtilityCfg.ini", " [appSettings\r\n");
    r = run({"config", "import", folder + "/USBUtilityCfg.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Not imported: line 1 is a section line without ']'.\n");

    // Values are checked as 'config apply' checks them; the current file stays.
    writeFile(folder + "/USBUtilityCfg.ini", savedConfig(4, "", 99, 0, 0, 7));
    r = run({"config", "import", folder + "/USBUtilityCfg.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Not imported: LedBrightness holds \"99\", not a whole number from 0 to 9.\n");
    EXPECT_EQ(readFile(configPath()), good);

    // The settings replaced are kept, and the run says where.
    const std::string other = savedConfig(1, "", 3, 0, 1, 2);
    writeFile(folder + "/USBUtilityCfg.ini", other);
    r = run({"config", "import", folder + "/USBUtilityCfg.ini"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string prefix = "The replaced configuration file was kept as ";
    ASSERT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
    EXPECT_EQ(readFile(r.err.substr(prefix.size(), r.err.size() - prefix.size() - 1)), good);
    EXPECT_EQ(readFile(configPath()), other);
    writeFile(folder + "/USBUtilityCfg.ini", good);
    ASSERT_EQ(run({"config", "import", folder + "/USBUtilityCfg.ini"}).code, 0);

    r = run({"config", "import", root + "/nothere/USBUtilityCfg.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(readFile(configPath()), good);

    // --apply sends what was imported, as 'config apply' would.
    writeFile(folder + "/USBUtilityCfg.ini", other);
    r = run({"config", "import", folder + "/USBUtilityCfg.ini", "--apply"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sent(*encoder).front(), (Sent{SET_KEYPAD_TYPE, bytes({1})}));
    EXPECT_EQ(sent(*encoder).back(), (Sent{GET_STATUS, {}}));

    // With --device, that encoder alone hears of it.
    auto* second = addEncoder(2);
    encoder->clearReceivedCommands();
    writeFile(folder + "/USBUtilityCfg.ini", savedConfig(1, "", 2, 0, 1, 2));
    r = run({"config", "import", folder + "/USBUtilityCfg.ini", "--apply", "--device", "1-2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(sent(*encoder).empty());
    EXPECT_EQ(sent(*second).front(), (Sent{SET_KEYPAD_TYPE, bytes({1})}));
    EXPECT_EQ(second->ledBrightness(), 2);
    second->clearReceivedCommands();

    // A code that fits no byte is refused, never sent cut to its low 8 bits; so
    // are more numbers than the table holds, and a file larger than any configuration.
    std::string table = "0,999,";
    std::string many;
    for (int i = 0; i < 2032; ++i)
        many += i < 30 ? "0," : "4,";
    table += many.substr(0, 60);
    const std::pair<std::string, std::string> refused[] = {
        {savedConfig(8, table, 3, 0, 1, 2), "CodeTableValues holds 999, which is no code (0-255)"},
        {savedConfig(8, many, 3, 0, 1, 2), "CodeTableValues holds 2032 numbers instead of 32"},
    };
    const std::string kept = readFile(configPath());
    for (const auto& [text, why] : refused) {
        writeFile(folder + "/USBUtilityCfg.ini", text);
        r = run({"config", "import", folder + "/USBUtilityCfg.ini", "--apply"});
        EXPECT_EQ(r.code, cli::kExitBadInputFile);
        EXPECT_EQ(r.err, "Not imported: " + why + ".\n");
    }
    r = run({"config", "import", "-", "--apply"}, std::string((4u << 20) + 1, '#'));
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Standard input ('-') is too large (more than 4194304 bytes).\n");
    EXPECT_TRUE(sent(*encoder).empty() && sent(*second).empty());
    EXPECT_EQ(readFile(configPath()), kept);
}

TEST_F(CliTest, ConfigApplySendsTheSavedSettingsInTheWindowsOrder)
{
    sim::EncoderTable table{};
    table[1] = 0x1E;
    table[2] = 0xE1;
    table[3] = 0x04;
    std::filesystem::create_directories(dataHome + "/VardoInterface");
    writeFile(configPath(), savedConfig(8, tableText(table), 7, 0, 0, 0));
    const auto r = run({"config", "apply"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{SET_KEYPAD_TYPE, bytes({8})},
                                                 {LOAD_CODE_TABLE, tableBytes(table)},
                                                 {SET_LED_BRIGHTNESS, bytes({7})},
                                                 {SET_LED_COLOUR, bytes({0})},
                                                 {SET_BUZZER, bytes({0})},
                                                 {SET_BUZZER_PERIOD, bytes({0})},   // stored period as it is
                                                 {GET_STATUS, {}}}));
}

TEST_F(CliTest, ConfigApplyOfAPredefinedLayoutSendsNoTable)
{
    std::filesystem::create_directories(dataHome + "/VardoInterface");
    writeFile(configPath(), savedConfig(4, "", 2, 0, 1, 5));
    ASSERT_EQ(run({"config", "apply"}).code, 0);
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{SET_KEYPAD_TYPE, bytes({4})},
                                                 {SET_LED_BRIGHTNESS, bytes({2})},
                                                 {SET_LED_COLOUR, bytes({0})},
                                                 {SET_BUZZER, bytes({1})},
                                                 {SET_BUZZER_PERIOD, bytes({5})},
                                                 {GET_STATUS, {}}}));
}

TEST_F(CliTest, ConfigApplyFromABackupLeavesTheConfigurationFileAlone)
{
    ASSERT_EQ(run({"save"}).code, 0);
    const std::string config = readFile(configPath());
    encoder->clearReceivedCommands();
    const std::string backup = root + "/USBUtilityCfg-20260101-120000.ini";
    writeFile(backup, savedConfig(3, "", 9, 0, 0, 4));
    const auto r = run({"config", "apply", "--from", backup});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sent(*encoder).front(), (Sent{SET_KEYPAD_TYPE, bytes({3})}));
    EXPECT_EQ(sent(*encoder)[1], (Sent{SET_LED_BRIGHTNESS, bytes({9})}));
    EXPECT_EQ(encoder->keypadType(), 3);
    EXPECT_EQ(readFile(configPath()), config);
    EXPECT_TRUE(FileName.empty());   // the windows' global is not the tool's
}

TEST_F(CliTest, ConfigApplyWithNothingSavedOrABadValueSendsNothing)
{
    // What is wrong with the file itself is said, and nothing is made in its place.
    const std::string folder = dataHome + "/VardoInterface";
    const std::pair<std::function<void()>, std::string> unusable[] = {
        {[] {}, "does not exist"},
        {[&] { std::filesystem::create_directories(configPath()); }, "is a folder, not a file"},
        {[&] { ::mkfifo(configPath().c_str(), 0600); }, "is not a regular file (a pipe, socket or device)"},
        {[&] { std::filesystem::create_symlink(root + "/gone.ini", configPath()); },
         "is a symbolic link to a file that does not exist"},
    };
    for (const auto& [make, why] : unusable) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        make();
        const auto r = run({"config", "apply"});
        EXPECT_EQ(r.code, cli::kExitBadInputFile);
        EXPECT_EQ(r.err, "The configuration file " + configPath() + " " + why + ".\n");
    }
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    writeFile(configPath(), testenv::kFreshConfig);
    auto r = run({"config", "apply"});   // the first start's empty file
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "Nothing sent: " + configPath() + " holds no saved settings (FirstUp is not \"Yes\").\n");

    // Every value is checked before the first command goes out.
    writeFile(configPath(), savedConfig(8, testenv::zeroTableText(), 99, 0, 1, 3));
    r = run({"config", "apply"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_EQ(r.err, "USBUtilityCfg.ini file holds an invalid value for LedBrightness..\n");

    writeFile(configPath(), savedConfig(8, "1,2,", 4, 0, 1, 3));
    r = run({"config", "apply"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_TRUE(contains(r.err, "CodeTableValues")) << r.err;

    writeFile(configPath(), savedConfig(1, "", 4, 0, 1, 3).replace(
                                std::string(" [appSettings]\r\n Options=7\r\n FirmwareFile=\r\n"
                                            " CodeTableValues=\r\n BuzzerPeriod=").size(),
                                1, "x"));
    r = run({"config", "apply"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_TRUE(contains(r.err, "BuzzerPeriod")) << r.err;

    r = run({"config", "apply", "--from", root + "/missing.ini"});
    EXPECT_EQ(r.code, cli::kExitBadInputFile);
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, ConfigApplyStopsAtTheFirstFailureWithItsKind)
{
    std::filesystem::create_directories(dataHome + "/VardoInterface");
    writeFile(configPath(), savedConfig(4, "", 2, 0, 1, 5));
    encoder->injectFault({sim::EncoderFault::Refuse, false, SET_LED_COLOUR});
    auto r = run({"config", "apply"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_EQ(r.err, "Unable to set LED Color..\n(the encoder refused the command or its reply was invalid)\n");
    EXPECT_EQ(sent(*encoder).size(), 3u);

    encoder->clearReceivedCommands();
    encoder->injectFault({sim::EncoderFault::Silence, false, SET_KEYPAD_TYPE});
    r = run({"config", "apply"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.err, "Unable to set Keypad Type..\n(no reply from the encoder within 5000 ms)\n");
    EXPECT_EQ(sent(*encoder).size(), 1u);
}

// ---- keys ----------------------------------------------------------------------

TEST_F(CliTest, KeysPrintsEachKeyUntilInterruptedAndEndsSelfTest)
{
    auto started = std::make_shared<bool>(false);
    encoder->addListener([this, started] {
        if (encoder->selfTestMode() && !*started) {
            *started = true;
            const auto now = clock.nowMs();
            auto& bus = sim::Bus::instance();
            bus.schedule(now + 100, [this] { encoder->pressKey(0); });
            bus.schedule(now + 200, [this] { encoder->pressKey(4); });
            bus.schedule(now + 300, [this] { encoder->pressKey(15); });
            bus.schedule(now + 2000, [this] { interrupted = true; });
        }
    });
    const auto r = run({"keys"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "1\n5\n16\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{SELF_TEST, bytes({1})}, {SELF_TEST, bytes({2})}}));
    EXPECT_FALSE(encoder->selfTestMode());
}

// Takes one line, then fails as a pipe whose reader has gone (`keys | head -1`).
struct PipeClosedAfterOneLine : std::streambuf {
    std::string taken;
    int overflow(int c) override
    {
        if (!taken.empty() && taken.back() == '\n')
            return traits_type::eof();
        taken.push_back(static_cast<char>(c));
        return c;
    }
};

TEST_F(CliTest, KeysEndsWhenTheReaderGoesAwayAndStillEndsSelfTest)
{
    std::uint64_t startedAt = 0, endedAt = 0;
    encoder->addListener([&] {
        if (encoder->selfTestMode() && startedAt == 0) {
            startedAt = clock.nowMs();
            sim::Bus::instance().schedule(startedAt + 100, [this] { encoder->pressKey(0); });
            sim::Bus::instance().schedule(startedAt + 200, [this] { encoder->pressKey(4); });
            sim::Bus::instance().schedule(startedAt + 3000, [this] { interrupted = true; });
        } else if (!encoder->selfTestMode() && startedAt != 0 && endedAt == 0) {
            endedAt = clock.nowMs();
        }
    });
    PipeClosedAfterOneLine pipe;
    std::ostream out(&pipe);
    std::ostringstream err;
    cli::Console console(out, err);
    console.interrupted = &interrupted;
    EXPECT_EQ(cli::runCli({"keys"}, console), 0);
    EXPECT_EQ(pipe.taken, "1\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{SELF_TEST, bytes({1})}, {SELF_TEST, bytes({2})}}));
    EXPECT_LT(endedAt - startedAt, 1000u) << "self test went on after the reader left";
}

TEST_F(CliTest, KeysEndsWhenTheEncoderEndsTheKeyTest)
{
    encoder->setKeyTestQuietMs(7000);
    const auto r = run({"keys"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "The encoder ended the key test.\n");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{SELF_TEST, bytes({1})}, {SELF_TEST, bytes({2})}}));
}

TEST_F(CliTest, KeysFailures)
{
    encoder->injectFault({sim::EncoderFault::Refuse, false, SELF_TEST});
    auto r = run({"keys"});
    EXPECT_EQ(r.code, cli::kExitRefused);
    EXPECT_EQ(r.err, "Unable to START Self test.. (the encoder refused the command or its reply was invalid)\n");
    EXPECT_EQ(sent(*encoder).size(), 1u);

    // Unplugged during the test: the end command fails too, the first failure decides.
    encoder->clearReceivedCommands();
    encoder->addListener([this] {
        if (encoder->selfTestMode() && encoder->plugged())
            sim::Bus::instance().schedule(clock.nowMs() + 500, [this] { encoder->unplug(); });
    });
    r = run({"keys"});
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_TRUE(contains(r.err, "The key test stopped. (the encoder is not connected"));
    EXPECT_TRUE(contains(r.err, "Unable to END Self test.."));
}

// ---- list and device selection ----------------------------------------------------

TEST_F(CliTest, ListShowsEveryEncoderAndLoaderByPort)
{
    addEncoder(2)->injectFault({sim::EncoderFault::Silence, true});
    sim::VirtualLoaderConfig loaderConfig;
    loaderConfig.path = "sim:1-3:bsl";
    loaderConfig.plugIn = true;
    sim::VirtualLoader loader(loaderConfig);
    // A loader beside its encoder is one mid-upgrade; alone on its port, one stuck there.
    loaderConfig.path = "sim:1-1:bsl";
    sim::VirtualLoader upgrading(loaderConfig);
    auto r = run({"list"});
    ASSERT_EQ(r.code, 0);
    // The silent encoder is listed all the same, with why it told nothing.
    EXPECT_EQ(r.out, "PORT  KIND     MODEL                    FIRMWARE  SERIAL        PATH         PROBLEM\n"
                     "1-1   encoder  Vardo 710i Encoder       01.05A    VE710-000001  sim:1-1:1.1  -\n"
                     "1-2   encoder  -                        -         VE710-000002  sim:1-2:1.1  no reply from the "
                     "encoder within 5000 ms\n"
                     "1-1   loader   -                        -         -             sim:1-1:bsl  -\n"
                     "1-3   loader   (waiting in its loader)  -         -             sim:1-3:bsl  -\n"
                     "The encoder on 1-3 waits in its loader: recover it with 'vardo-encoder upgrade --device 1-3 "
                     "IMAGE.txt'.\n");
    r = run({"list", "--json"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("[{\"kind\":\"encoder\",\"port\":\"1-1\",\"path\":\"sim:1-1:1.1\",\"serial\":"
                          "\"VE710-000001\",\"model\":\"Vardo 710i Encoder\",\"firmware\":\"01.05A\",", 0), 0u)
        << r.out;
    EXPECT_TRUE(contains(r.out, "{\"kind\":\"loader\",\"port\":\"1-3\",\"path\":\"sim:1-3:bsl\",\"serial\":\"\""));
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}, {GET_STATUS, {}}}));  // one a list

    removeEncoders();
    loader.unplug();
    upgrading.unplug();
    r = run({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No encoder or loader found.\n");
}

TEST_F(CliTest, DeviceSelectsOneOfTwoEncodersByPathOrSerial)
{
    auto* second = addEncoder(2);
    ASSERT_EQ(run({"set", "brightness", "1"}).code, 0);   // default: the first
    EXPECT_EQ(encoder->ledBrightness(), 1);
    EXPECT_EQ(second->ledBrightness(), 4);

    ASSERT_EQ(run({"--device", "VE710-000002", "set", "brightness", "2"}).code, 0);
    EXPECT_EQ(second->ledBrightness(), 2);
    ASSERT_EQ(run({"set", "brightness", "3", "-d", "sim:1-2:1.1"}).code, 0);
    EXPECT_EQ(second->ledBrightness(), 3);
    EXPECT_EQ(encoder->ledBrightness(), 1);

    const auto r = run({"status", "--device=VE710-000009"});
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_EQ(r.err, "Vardo 710 Encoder not connected..\nNo encoder has the path, serial number or port "
                     "'VE710-000009' (see 'vardo-encoder list').\n");
    // The keyboard interface of an encoder is no command interface.
    EXPECT_EQ(run({"status", "--device", "sim:1-2:1.0"}).code, cli::kExitNoEncoder);

    // An encoder behind a hub, picked by its port.
    sim::VirtualEncoderConfig config;
    config.port = "sim:1-1.3";
    config.serial = L"VE710-000002";  // a batch may repeat serial numbers; ports never repeat
    sim::VirtualEncoder behindHub(config);
    ASSERT_EQ(run({"set", "brightness", "7", "--device", "1-1.3"}).code, 0);
    EXPECT_EQ(behindHub.ledBrightness(), 7);
    EXPECT_EQ(second->ledBrightness(), 3);
    EXPECT_EQ(encoder->ledBrightness(), 1);
}

// One command on every encoder of the bench, one after the other; a silent
// one fails alone and its failure is the exit status.
TEST_F(CliTest, AllRunsTheCommandOnEveryEncoderAndExitsWithTheWorst)
{
    auto* second = addEncoder(2);
    auto* third = addEncoder(3);
    third->injectFault({sim::EncoderFault::Silence, true});
    auto r = run({"set", "brightness", "6", "--all"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(encoder->ledBrightness(), 6);
    EXPECT_EQ(second->ledBrightness(), 6);
    EXPECT_EQ(r.out, "PORT  SERIAL        OUTCOME\n"
                     "1-1   VE710-000001  ok\n"
                     "1-2   VE710-000002  ok\n"
                     "1-3   VE710-000003  failed (exit 6)\n");
    EXPECT_EQ(r.err, "1-3: Unable to set the LED Brightness.. (no reply from the encoder within 5000 ms)\n");

    r = run({"status", "--all", "--json"});
    EXPECT_EQ(r.code, cli::kExitTimeout);
    EXPECT_EQ(r.out.rfind("[{\"port\":\"1-1\",\"path\":\"sim:1-1:1.1\",\"serial\":\"VE710-000001\",\"outcome\":"
                          "\"ok\",\"exit\":0,\"output\":{\"port\":\"1-1\",", 0), 0u) << r.out;
    // The port's own failure object stands as its output; nothing follows the summary.
    EXPECT_TRUE(contains(r.out, "{\"port\":\"1-3\",\"path\":\"sim:1-3:1.1\",\"serial\":\"VE710-000003\","
                                "\"outcome\":\"failed (exit 6)\",\"exit\":6,\"output\":{\"error\":\"Failed to Get "
                                "Device Status Message. (no reply from the encoder within 5000 ms)\",\"exit\":6,"
                                "\"port\":\"1-3\",\"did_you_mean\":null},\"messages\":[\"Failed to Get Device Status Message. (no reply "
                                "from the encoder within 5000 ms)\"]}]\n"))
        << r.out;

    // A wrong line is said once, and nothing is sent.
    encoder->clearReceivedCommands();
    r = run({"set", "brightness", "10", "--all"});
    EXPECT_EQ(r.code, cli::kExitUsage);
    EXPECT_EQ(r.err.find("bad value"), r.err.rfind("bad value"));
    EXPECT_TRUE(sent(*encoder).empty());
    EXPECT_EQ(run({"list", "--all"}).code, cli::kExitUsage);
    EXPECT_EQ(run({"table", "show", "--all"}).code, cli::kExitUsage);
}

TEST_F(CliTest, AllNamesAPortWaitingInItsLoaderAndFailsWithIt)
{
    addEncoder(3);
    sim::VirtualLoaderConfig loaderConfig;
    loaderConfig.path = "sim:1-2:bsl";
    loaderConfig.plugIn = true;
    sim::VirtualLoader loader(loaderConfig);
    auto r = run({"--all", "set", "brightness", "6"});
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_EQ(r.out, "PORT  SERIAL        OUTCOME\n"
                     "1-1   VE710-000001  ok\n"
                     "1-3   VE710-000003  ok\n"
                     "1-2   -             in its loader (exit 3)\n");
    EXPECT_EQ(r.err, "1-2: No encoder answers on 1-2: it waits in its bootstrap loader (its firmware does not run). "
                     "Nothing was sent.\n"
                     "1-2: Recover with: vardo-encoder upgrade --device 1-2 IMAGE.txt\n");
    // Worse off than a port that timed out: the loader's status is the run's.
    encoder->injectFault({sim::EncoderFault::Silence, true});
    r = run({"--all", "--json", "apply", "-"}, R"({"brightness": 6})");
    EXPECT_EQ(r.code, cli::kExitNoEncoder);
    EXPECT_TRUE(contains(r.out, "{\"port\":\"1-3\",\"changed\":false,\"check\":false,\"sent\":[]}")) << r.out;
    EXPECT_TRUE(contains(r.out, "\"outcome\":\"in its loader (exit 3)\",\"exit\":3,"
                                "\"recover\":\"vardo-encoder upgrade --device 1-2 IMAGE.txt\"")) << r.out;
}

// ---- apply ---------------------------------------------------------------------

TEST_F(CliTest, ApplySendsOnlyWhatDiffersInTheWindowsOrderChecksItAndThenSendsNothing)
{
    const std::string state = root + "/state.json";
    writeFile(state, R"({"layout": "16W Customised", "code_table": {"1": "0x1E", "2": "a+LeftShift"},
                         "brightness": 6, "colour": "white", "buzzer": false, "period": 2, "keep": true})");
    auto r = run({"apply", state, "--check"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Would send LOAD_CODE_TABLE\nWould send SET_LED_BRIGHTNESS 6\nWould send SET_BUZZER 0\n"
                     "Would send WRITE_DEFAULTS\n");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}}));
    EXPECT_FALSE(std::filesystem::exists(configPath()));

    encoder->clearReceivedCommands();
    r = run({"apply", state, "--json", "--diff"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"check\":false,\"sent\":[\"LOAD_CODE_TABLE\","
                     "\"SET_LED_BRIGHTNESS 6\",\"SET_BUZZER 0\",\"WRITE_DEFAULTS\"],"
                     "\"before\":{\"layout\":8,\"code_table\":{\"1\":\"0x04\",\"2\":\"0x05+LeftShift\"},"
                     "\"brightness\":4,\"colour\":0,\"buzzer\":true,\"period\":2},"
                     "\"after\":{\"layout\":8,\"code_table\":{\"1\":\"0x1E\",\"2\":\"0x04+LeftShift\"},"
                     "\"brightness\":6,\"colour\":0,\"buzzer\":false,\"period\":2}}\n");
    std::vector<std::uint8_t> codes;
    for (const auto& c : sent(*encoder))
        codes.push_back(c.code);
    // Read, send, keep and record, read back.
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{GET_STATUS, LOAD_CODE_TABLE, SET_LED_BRIGHTNESS, SET_BUZZER,
                                                WRITE_DEFAULTS, GET_STATUS, GET_STATUS}));
    EXPECT_EQ(encoder->powerUpDefaults().ledBrightness, 6);
    EXPECT_TRUE(contains(readFile(configPath()), "LedBrightness=6"));

    encoder->clearReceivedCommands();
    r = run({"apply", state});
    EXPECT_EQ(r.out, "Nothing to change.\n");
    EXPECT_EQ(sent(*encoder), (std::vector<Sent>{{GET_STATUS, {}}, {GET_STATUS, {}}}));

    // A new layout's codes are read before the table is compared.
    writeFile(state, R"({"layout": 5, "code_table": {"12": "Enter"}})");
    encoder->clearReceivedCommands();
    r = run({"apply", state});
    EXPECT_EQ(r.out, "Sent SET_KEYPAD_TYPE 5\nSent LOAD_CODE_TABLE\n");
    EXPECT_EQ(encoder->settings().keypadType, 5);
}

TEST_F(CliTest, ApplyOfABadStateSendsNothing)
{
    const std::string state = root + "/state.json";
    const std::vector<std::tuple<std::string, int, std::string>> bad = {
        {"{", cli::kExitBadInputFile, "is not a state to apply: expected a member name in quotes at byte 2"},
        {"[1]", cli::kExitBadInputFile, "the state is not a JSON object"},
        {R"({"brightness": 12})", cli::kExitBadInputFile, "bad value '12' for brightness (0-9)"},
        {R"({"brigthness": 3})", cli::kExitBadInputFile, "(did you mean 'brightness'?)"},
        {R"({"layout": "12W Calculater"})", cli::kExitBadInputFile, "(did you mean '12W Calculator'?)"},
        {R"({"buzzer": [1]})", cli::kExitBadInputFile, "bad value of the wrong type for buzzer"},
        {R"({"code_table": {"1": "Entr"}})", cli::kExitBadInputFile, "(did you mean 'Enter'?)"},
        {R"({"code_table": {"13": "a"}, "layout": "4W Customised"})", cli::kExitBadInputFile,
         "code_table names key 13, beyond the 4 keys of layout 2"},
        {R"({"code_table": {"1": "a"}, "layout": 0})", cli::kExitFailed, "needs layout 2, 5 or 8"},
    };
    for (const auto& [text, code, why] : bad) {
        writeFile(state, text);
        encoder->clearReceivedCommands();
        const auto r = run({"apply", state});
        EXPECT_EQ(r.code, code) << text;
        EXPECT_TRUE(contains(r.err, why)) << r.err;
        for (const auto& c : sent(*encoder))
            EXPECT_EQ(c.code, GET_STATUS) << text;
    }
}

// ---- usage and help ------------------------------------------------------------

TEST_F(CliTest, UsageErrors)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"status", "--verbose"}, {"status", "extra"}, {"--device"},
             {"status", "--device="}, {"list", "--device", "x"}, {"save", "--yes"},
             {"config"}, {"config", "export"}, {"config", "wipe"}, {"help", "nothing"},
             {"status", "--json=1"}}) {
        const auto r = run(args);
        EXPECT_EQ(r.code, cli::kExitUsage) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, ATypingSlipIsAnsweredWithTheNearestKnownWord)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> slips = {
        {{"stauts"}, "status"},
        {{"tabel", "show"}, "table"},
        {{"table", "shwo"}, "show"},
        {{"--devcie", "1-1", "status"}, "--device"},
        {{"set", "brigthness", "4"}, "brightness"},
        {{"set", "layout", "12W Calculater"}, "12W Calculator"},
        {{"set", "buzzer", "of"}, "off"},
        {{"table", "load", "1=Entr"}, "Enter"},
        {{"table", "load", "1=a+LeftShfit"}, "LeftShift"},
    };
    for (const auto& [args, nearest] : slips) {
        auto line = args;
        auto r = run(line);
        EXPECT_EQ(r.code, cli::kExitUsage) << args[0];
        EXPECT_TRUE(contains(r.err, "(did you mean '" + nearest + "'?)")) << r.err;
        line.push_back("--json");
        r = run(line);
        EXPECT_TRUE(contains(r.out, ",\"did_you_mean\":\"" + nearest + "\"}")) << r.out;
    }
    // Nothing near enough: no guess.
    EXPECT_FALSE(contains(run({"frobnicate"}).err, "did you mean"));
    EXPECT_TRUE(sent(*encoder).empty());
}

TEST_F(CliTest, EveryCommandThatChangesSomethingSaysInJsonWhatItSent)
{
    auto r = run({"set", "brightness", "6", "--json"});
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"sent\":[\"SET_LED_BRIGHTNESS 6\"]}\n");
    r = run({"set", "period", "2", "--json"});
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"sent\":[\"SET_BUZZER_PERIOD 3\"]}\n");
    r = run({"table", "load", "1=Enter", "--json"});
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"sent\":[\"LOAD_CODE_TABLE\"]}\n");
    r = run({"save", "--json"});
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"sent\":[\"WRITE_DEFAULTS\"]}\n");
    r = run({"config", "apply", "--json"});
    EXPECT_EQ(r.out, "{\"port\":\"1-1\",\"changed\":true,\"sent\":[\"SET_KEYPAD_TYPE 8\",\"LOAD_CODE_TABLE\","
                     "\"SET_LED_BRIGHTNESS 6\",\"SET_LED_COLOUR 0\",\"SET_BUZZER 1\",\"SET_BUZZER_PERIOD 3\"]}\n");
}

TEST_F(CliTest, HelpJsonDescribesCommandsSettingsKeysAndExitStatuses)
{
    const auto r = run({"help", "--json"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("{\"program\":\"vardo-encoder\",", 0), 0u);
    for (const char* part :
         {"{\"words\":\"table load\",\"usage\":[\"table load KEY=CODE[+MOD]...\",\"table load --from FILE\"],",
          "\"arguments\":[{\"name\":\"KEY=CODE[+MOD]\",\"optional\":false,\"repeated\":true}]",
          "{\"name\":\"device\",\"short\":\"d\",\"value\":\"PATH|SERIAL|PORT\",",
          "{\"value\":8,\"name\":\"16W Customised\",\"window\":\"16W  Customised Table\",\"keys\":16,"
          "\"customised\":true}",
          "{\"name\":\"buzzer\",\"range\":\"off, on, 0 or 1\",\"values\":[{\"value\":0,\"name\":\"off\"},",
          "{\"code\":40,\"name\":\"Enter\",\"key\":true}", "{\"byte\":225,\"name\":\"LeftShift\"}",
          "{\"code\":9,\"meaning\":\"another process is using the encoder (save, ",
          "{\"code\":\"128+N\","})
        EXPECT_TRUE(contains(r.out, part)) << part;
    // The help of a command and the version stay text: no change object after them.
    EXPECT_EQ(run({"help", "set", "--json"}).out, run({"help", "set"}).out);
    EXPECT_EQ(run({"--version", "--json"}).out, run({"--version"}).out);
}

TEST_F(CliTest, HelpForEveryCommandGoesToStdout)
{
    auto r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "Exit status:\n  0  success\n"));
    EXPECT_TRUE(contains(r.out, "  4  an encoder is attached but may not be opened"));
    EXPECT_TRUE(contains(r.out, "  8  the firmware upgrade failed\n"));
    for (const char* command : {"status", "set", "table", "save", "factory-reset", "config", "apply", "upgrade",
                                "keys", "list", "help"}) {
        r = run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("Usage: vardo-encoder ") + command, 0), 0u) << r.out;
        EXPECT_EQ(run({"help", command}).out, r.out);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(sent(*encoder).empty());
}
