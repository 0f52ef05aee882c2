// The configuration file: first start, save, import, export and the reset of
// the encoder from the stored settings, against the virtual encoder.
#include "config/config_test_env.h"
#include "config/inifile.h"
#include "config/upgrade_backups.h"
#include "config/utility_config.h"
#include "link/encoder_commands.h"
#include "sim/virtual_encoder.h"

#include <gmock/gmock.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <sys/inotify.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

using namespace vardo;
using namespace vardo::config;
using testenv::readFile;
using testenv::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class UtilityConfig : public testenv::Environment {
protected:
    Report report = [this](const std::string& text) { reported.push_back(text); };
    std::vector<std::string> reported;

    void setUpFile()
    {
        ASSERT_TRUE(setUpConfigFile(report));
        ASSERT_EQ(FileName, configPath());
    }

    // Opens the virtual encoder's command interface.
    void openEncoder()
    {
        opened = device::Encoder::openFirst();
        ASSERT_NE(opened, nullptr);
    }
    std::unique_ptr<device::Encoder> opened;

    static std::vector<std::uint8_t> codes(const sim::VirtualEncoder& e)
    {
        std::vector<std::uint8_t> out;
        for (const auto& c : e.receivedCommands())
            out.push_back(c.code);
        return out;
    }
};

// ---- first start --------------------------------------------------------------

TEST_F(UtilityConfig, FirstStartCreatesTheTenLineFileAndItsFolders)
{
    // A fresh account may lack the data home itself.
    platform::setUserDataFolderOverride(root + "/fresh/share");
    ASSERT_TRUE(setUpConfigFile(report));
    EXPECT_EQ(FileName, root + "/fresh/share/VardoInterface/USBUtilityCfg.ini");
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(UtilityConfig, AnExistingFileIsUsedAsItIs)
{
    std::filesystem::create_directories(dataHome + "/VardoInterface");
    const std::string odd = "[appSettings\r\nnot checked at start\r\n";
    writeFile(configPath(), odd);
    EXPECT_TRUE(setUpConfigFile(report));
    EXPECT_EQ(readFile(configPath()), odd);
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(UtilityConfig, AFolderInTheFilesPlaceIsNotAFile)
{
    std::filesystem::create_directories(configPath());
    setUpConfigFile(report);
    EXPECT_TRUE(std::filesystem::is_directory(configPath()));
    // Later saves then report per key rather than crash.
    saveSettings(vardo::link::DeviceStatus{}, FileName, report);
    EXPECT_EQ(reported, std::vector<std::string>(8, kMsgUpdateFailed));
}

// ---- save ----------------------------------------------------------------------

TEST_F(UtilityConfig, SaveOfACustomisedLayoutStoresAll32TableBytes)
{
    setUpFile();
    vardo::link::DeviceStatus s;
    s.keypadType = 8;
    s.ledBrightness = 6;
    s.ledColour = 0;
    s.buzzer = 1;
    s.buzzerPeriod = 4;
    s.optionsFitted = 7;
    saveSettings(s, FileName, report);
    EXPECT_EQ(readFile(FileName),
              testenv::savedConfig("7", testenv::zeroTableText(), "4", "1", "0", "6", "8"));
    EXPECT_THAT(reported, IsEmpty());

    s.keypadType = 5;
    for (std::size_t i = 0; i < 32; ++i)
        s.codeTable[i] = static_cast<std::uint8_t>(i * 8);
    saveSettings(s, FileName, report);
    EXPECT_EQ(GetSettings("CodeTableValues", FileName),
              "0,8,16,24,32,40,48,56,64,72,80,88,96,104,112,120,128,136,144,152,160,168,176,184,"
              "192,200,208,216,224,232,240,248,");
}

TEST_F(UtilityConfig, SaveOfAFixedLayoutStoresNoTableAndKeepsFirmwareFile)
{
    setUpFile();
    ASSERT_TRUE(SetSettings("FirmwareFile", "app [v2].txt", FileName, report));
    vardo::link::DeviceStatus s;
    s.keypadType = 3;
    s.ledBrightness = 9;
    s.buzzerPeriod = 10;
    s.optionsFitted = 3;
    s.codeTable.fill(0x55);
    saveSettings(s, FileName, report);
    EXPECT_EQ(readFile(FileName),
              testenv::savedConfig("3", "", "10", "0", "0", "9", "3", "app [v2].txt"));
}

// The save writes the file once, with the bytes that saving key by key (one
// replacement each) leaves: a run killed half way cannot leave a mix.
TEST_F(UtilityConfig, SaveIsOneReplacementWithTheBytesOfAKeyByKeySave)
{
    setUpFile();
    vardo::link::DeviceStatus custom;
    custom.keypadType = 8;
    custom.ledBrightness = 9;
    custom.buzzer = 1;
    custom.buzzerPeriod = 10;
    custom.optionsFitted = 7;
    custom.codeTable.fill(0xE1);
    vardo::link::DeviceStatus fixed;
    fixed.keypadType = 3;
    const std::string starts[] = {
        testenv::kFreshConfig,
        testenv::savedConfig("3", "", "2", "0", "0", "1", "0", "fw.txt"),
        "# mine\n[appSettings]\nFirstUp=No\n;KeypadLayout=4\n[other]\nOptions=1\n",   // LF, comments, other section
        " [other]\r\n x=1\r\n",                                                      // no appSettings yet
        "[appSettings]\nFirstUp=\n[appSettings]\nLedColour=5\nstray words\n",         // two headers, a bare line
        "",
    };
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Each replacement renames a temporary of its own name (equal events would merge).
    ASSERT_GE(::inotify_add_watch(fd, (dataHome + "/VardoInterface").c_str(), IN_MOVED_FROM), 0);
    for (const std::string& start : starts) {
        for (const auto* settings : {&custom, &fixed}) {
            writeFile(FileName, start);
            const std::array<std::pair<const char*, std::string>, 8> keys = {{
                {"FirstUp", "Yes"}, {"KeypadLayout", std::to_string(settings->keypadType)},
                {"LedBrightness", std::to_string(settings->ledBrightness)},
                {"LedColour", std::to_string(settings->ledColour)}, {"Buzzer", std::to_string(settings->buzzer)},
                {"BuzzerPeriod", std::to_string(settings->buzzerPeriod)},
                {"CodeTableValues", settings == &custom ? codeTableText(settings->codeTable) : ""},
                {"Options", std::to_string(settings->optionsFitted)}}};
            for (const auto& [key, value] : keys)
                ASSERT_TRUE(SetSettings(key, value, FileName, report));
            const std::string keyByKey = readFile(FileName);
            writeFile(FileName, start);
            char events[4096];
            while (::read(fd, events, sizeof events) > 0) {
            }
            EXPECT_EQ(saveSettings(*settings, FileName, report), SaveOutcome::Saved);
            EXPECT_EQ(readFile(FileName), keyByKey) << start;
            int renames = 0;
            for (ssize_t n; (n = ::read(fd, events, sizeof events)) > 0;)
                for (ssize_t at = 0; at < n;) {
                    const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                    renames += e->len && std::string(e->name).rfind(".USBUtilityCfg.ini.tmp-", 0) == 0;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                }
            EXPECT_EQ(renames, 1) << start;
        }
    }
    ::close(fd);
    EXPECT_THAT(reported, IsEmpty());
}

// Temporary files of runs killed before their rename go at the next change;
// those of a run still writing stay.
TEST_F(UtilityConfig, AChangeRemovesOnlyStaleTemporaries)
{
    setUpFile();
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string folder = dataHome + "/VardoInterface/";
    const std::string dead = ".USBUtilityCfg.ini.tmp-" + std::to_string(child) + "-0";
    const std::string deadButHeld = ".USBUtilityCfg.ini.tmp-" + std::to_string(child) + "-1";
    const std::string live = ".USBUtilityCfg.ini.tmp-" + std::to_string(::getpid()) + "-7";
    const std::string deadBackup = ".USBUtilityCfg-20260101-000000.ini.tmp-" + std::to_string(child) + "-0";
    const std::string otherFiles = ".notes.ini.tmp-" + std::to_string(child) + "-0";
    for (const auto& name : {dead, deadButHeld, live, deadBackup, otherFiles})
        writeFile(folder + name, "half");
    const int held = ::open((folder + deadButHeld).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);   // a writer in another PID namespace
    EXPECT_EQ(saveSettings(vardo::link::DeviceStatus{}, FileName, report), SaveOutcome::Saved);
    ::close(held);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(otherFiles, ".USBUtilityCfg.ini.lock", deadButHeld, live,
                                                       "USBUtilityCfg.ini"));
}

// The backup for a port or serial is the newest written that records either;
// files that record neither, that do not read or are not backups are passed over.
TEST_F(UtilityConfig, TheNewestBackupRecordingAPortOrSerialIsFound)
{
    const std::string folder = dataHome + "/VardoInterface/";
    std::filesystem::create_directories(folder);
    const auto write = [&](const std::string& name, const std::string& text, int age) {
        testenv::writeFile(folder + name, text);
        const timespec times[2] = {{1700000000 - age, 0}, {1700000000 - age, 0}};
        ::utimensat(AT_FDCWD, (folder + name).c_str(), times, 0);
    };
    write("USBUtilityCfg-1.ini", "[appSettings]\r\nEncoderPort=1-2\r\nEncoderSerial=A\r\n", 30);
    write("USBUtilityCfg-2.ini", "[appSettings]\r\nEncoderSerial=A\r\n", 20);
    write("USBUtilityCfg-before-import-3.ini", "[appSettings]\r\nFirstUp=Yes\r\n", 0);
    write("USBUtilityCfg-4.ini", "[appSettings\r\nEncoderPort=1-2\r\n", 0);
    write("USBUtilityCfg-5.txt", "[appSettings]\r\nEncoderPort=1-2\r\n", 0);
    const struct {
        const char* port;
        const char* serial;
        const char* found;
    } rows[] = {{"1-2", "", "USBUtilityCfg-1.ini"}, {"1-2", "A", "USBUtilityCfg-2.ini"},
                {"1-3", "A", "USBUtilityCfg-2.ini"}, {"1-3", "", ""}, {"", "", ""}};
    for (const auto& row : rows)
        EXPECT_EQ(config::newestBackupFor(configPath(), row.port, row.serial),
                  *row.found ? folder + row.found : std::string())
            << row.port << " " << row.serial;

    // Options, which a reset from the file does not send, is checked too.
    link::DeviceStatus read;
    testenv::writeFile(folder + "b.ini", testenv::savedConfig("300", "", "1", "1", "0", "4", "0"));
    EXPECT_EQ(config::readUpgradeBackup(folder + "b.ini", read),
              "USBUtilityCfg.ini file holds an invalid value for Options..");
}

TEST_F(UtilityConfig, SaveWithoutAFileReportsEveryKey)
{
    FileName = root + "/missing/USBUtilityCfg.ini";
    saveSettings(vardo::link::DeviceStatus{}, FileName, report);
    EXPECT_EQ(reported, std::vector<std::string>(8, kMsgUpdateFailed));
    EXPECT_FALSE(std::filesystem::exists(FileName));
}

TEST_F(UtilityConfig, ADamagedFileIsReportedOnceAndLeftAlone)
{
    setUpFile();
    const std::string damaged = " [appSettings\r\n FirstUp=Yes\r\n";
    writeFile(FileName, damaged);
    saveSettings(vardo::link::DeviceStatus{}, FileName, report);
    EXPECT_THAT(reported, ElementsAre(kMsgFileDamaged));
    EXPECT_EQ(readFile(FileName), damaged);
}

// ---- import ----------------------------------------------------------------------

TEST_F(UtilityConfig, ImportChecksTheExactName)
{
    setUpFile();
    const std::string chosen = root + "/usbutilitycfg.ini";
    writeFile(chosen, testenv::savedConfig("7", "", "1", "1", "0", "5", "0"));
    EXPECT_FALSE(importConfigFile(chosen, FileName, report));
    EXPECT_THAT(reported, ElementsAre(kMsgIncorrectFilename));
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
}

TEST_F(UtilityConfig, ImportRefusesAFileLackingAnyOneKeyOrTheSection)
{
    setUpFile();
    std::filesystem::create_directories(root + "/in");
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    for (const char* missing : kConfigKeys) {
        std::string text = " [appSettings]\r\n";
        for (const char* key : kConfigKeys)
            if (std::string(key) != missing)
                text += std::string(" ") + key + "=1\r\n";
        writeFile(chosen, text);
        reported.clear();
        EXPECT_FALSE(importConfigFile(chosen, FileName, report)) << missing;
        EXPECT_THAT(reported, ElementsAre(kMsgIncorrectFormat)) << missing;
    }
    std::string otherSection = " [settings]\r\n";
    for (const char* key : kConfigKeys)
        otherSection += std::string(" ") + key + "=\r\n";
    writeFile(chosen, otherSection);
    reported.clear();
    EXPECT_FALSE(importConfigFile(chosen, FileName, report));
    EXPECT_THAT(reported, ElementsAre(kMsgIncorrectFormat));
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
}

TEST_F(UtilityConfig, ImportCopiesAFileWithAllNineKeysEvenWhenEmpty)
{
    setUpFile();
    std::filesystem::create_directories(root + "/in");
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    // Another order and LF line ends: the copy is byte for byte, not rewritten.
    std::string text = "[appSettings]\n";
    for (auto it = kConfigKeys.rbegin(); it != kConfigKeys.rend(); ++it)
        text += std::string(*it) + "=\n";
    writeFile(chosen, text);
    EXPECT_TRUE(importConfigFile(chosen, FileName, report));
    EXPECT_THAT(reported, IsEmpty());
    EXPECT_EQ(readFile(FileName), text);
    // No temporary file is left beside the configuration file and its lock.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dataHome + "/VardoInterface"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_THAT(names, ElementsAre(".USBUtilityCfg.ini.lock", "USBUtilityCfg.ini"));
}

TEST_F(UtilityConfig, ImportOfAMalformedFileIsCaught)
{
    setUpFile();
    const std::string chosen = root + "/USBUtilityCfg.ini";
    writeFile(chosen, " [appSettings\r\n FirstUp=Yes\r\n");
    EXPECT_FALSE(importConfigFile(chosen, FileName, report));
    EXPECT_THAT(reported, ElementsAre(kMsgImportException));
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
    // The command line names the line instead.
    writeFile(chosen, " [appSettings]\r\n FirstUp=Yes\r\n\r\n [other\r\n");
    reported.clear();
    ImportDetails details;
    details.nameDamagedLine = true;
    EXPECT_FALSE(importConfigFile(chosen, FileName, report, &details));
    EXPECT_THAT(reported, ElementsAre("Not imported: line 4 is a section line without ']'."));
    EXPECT_FALSE(details.copyFailed);
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
}

// A value the reset would refuse is refused at the import, so the good file
// is not replaced by one that cannot be sent.
TEST_F(UtilityConfig, ImportRefusesWhatTheResetWouldRefuseNamingTheKey)
{
    setUpFile();
    const std::string zeros = testenv::zeroTableText();
    const std::string current = testenv::savedConfig("7", zeros, "3", "1", "0", "5", "8");
    writeFile(FileName, current);
    std::filesystem::create_directories(root + "/in");
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    const std::pair<std::string, std::string> refused[] = {
        {testenv::savedConfig("7", "", "3", "1", "0", "99", "1"),
         "LedBrightness holds \"99\", not a whole number from 0 to 9"},
        {testenv::savedConfig("7", "", "3", "1", "0", "5", "4294967304"),
         "KeypadLayout holds \"4294967304\", not a whole number from 0 to 8"},
        {testenv::savedConfig("7", "", "11", "1", "0", "5", "1"),
         "BuzzerPeriod holds \"11\", not a whole number from 0 to 10"},
        {testenv::savedConfig("7", zeros.substr(2), "3", "1", "0", "5", "5"),
         "CodeTableValues holds 31 numbers instead of 32"},
        {testenv::savedConfig("7", "1,2,x\x01,", "3", "1", "0", "5", "2"),
         "CodeTableValues holds 'x?', which is not a number"},
        // Each number a code the table editor offers, and exactly 32 of them.
        {testenv::savedConfig("7", "0,999," + zeros.substr(4), "3", "1", "0", "5", "2"),
         "CodeTableValues holds 999, which is no code (0-255)"},
        {testenv::savedConfig("7", zeros + zeros, "3", "1", "0", "5", "2"),
         "CodeTableValues holds 64 numbers instead of 32"},
        {testenv::savedConfig("7", "5,4," + zeros.substr(4), "3", "1", "0", "5", "2"),
         "CodeTableValues holds a table in which key 1's modifier is 5, not 0 or 224-231"},
        {testenv::savedConfig("7", "", "3", "1", "3", "5", "1"),
         "LedColour holds \"3\", not a whole number from 0 to 2"},
        {testenv::savedConfig("7", "", "3", "1", "0", "5", "1") + std::string(1u << 20, '#'),
         "the file is too large (1048730 bytes, at most 1048576)"},
        {testenv::savedConfig("7", "", "3", "1", std::string("0\0", 2), "5", "1"),
         "line 7 (LedColour) holds a NUL byte"},
        {std::string("#\0\r\n", 4) + testenv::kFreshConfig, "line 1 holds a NUL byte"},
    };
    for (const auto& [text, why] : refused) {
        writeFile(chosen, text);
        reported.clear();
        EXPECT_FALSE(importConfigFile(chosen, FileName, report)) << why;
        EXPECT_THAT(reported, ElementsAre("Not imported: " + why + "."));
        EXPECT_EQ(readFile(FileName), current);
    }
    // The highest values are taken, and a file never saved into is not examined.
    for (const std::string& text : {testenv::savedConfig("255", zeros, "10", "1", "2", "9", "8"),
                                    testenv::kFreshConfig + " Junk=\x01\r\n"}) {
        writeFile(chosen, text);
        reported.clear();
        EXPECT_TRUE(importConfigFile(chosen, FileName, report));
        EXPECT_THAT(reported, IsEmpty());
        EXPECT_EQ(readFile(FileName), text);
    }
}

TEST_F(UtilityConfig, AnAcceptedImportKeepsTheReplacedSettingsBesideTheFile)
{
    setUpFile();
    std::filesystem::create_directories(root + "/in");
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    const std::string first = testenv::savedConfig("7", "", "3", "1", "0", "5", "1");
    const std::string second = testenv::savedConfig("7", "", "4", "0", "0", "2", "3");
    struct Step {
        const std::string& imported;
        const std::string* kept;   // what the backup holds; null: no backup
    };
    // The first start's file holds nothing to keep; importing the same bytes again neither.
    const Step steps[] = {{first, nullptr}, {second, &first}, {second, nullptr}, {first, &second}};
    std::vector<std::string> backups;
    for (const Step& step : steps) {
        writeFile(chosen, step.imported);
        ImportDetails details;
        ASSERT_TRUE(importConfigFile(chosen, FileName, report, &details));
        EXPECT_EQ(readFile(FileName), step.imported);
        EXPECT_EQ(details.backupPath.empty(), step.kept == nullptr) << details.backupPath;
        if (step.kept) {
            EXPECT_THAT(details.backupPath,
                        ::testing::MatchesRegex(dataHome + "/VardoInterface/USBUtilityCfg-before-import-"
                                                           "[0-9]{8}-[0-9]{6}(-2)?\\.ini"));
            EXPECT_EQ(readFile(details.backupPath), *step.kept);
            backups.push_back(details.backupPath);
        }
    }
    ASSERT_EQ(backups.size(), 2u);
    EXPECT_NE(backups[0], backups[1]);   // never one over another, even within a second
    EXPECT_EQ(readFile(backups[0]), first);
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(UtilityConfig, ImportOfAnUnreadableFileFailsAtTheCopy)
{
    setUpFile();
    EXPECT_FALSE(importConfigFile(root + "/nowhere/USBUtilityCfg.ini", FileName, report));
    EXPECT_THAT(reported, ElementsAre(kMsgImportCopyFailed));
    EXPECT_EQ(readFile(FileName), testenv::kFreshConfig);
}

TEST_F(UtilityConfig, ImportWithoutAConfigurationPathFailsAtTheCopy)
{
    const std::string chosen = root + "/USBUtilityCfg.ini";
    writeFile(chosen, testenv::kFreshConfig);
    EXPECT_FALSE(importConfigFile(chosen, FileName, report));
    EXPECT_THAT(reported, ElementsAre(kMsgImportCopyFailed));
}

// ---- export ----------------------------------------------------------------------

TEST_F(UtilityConfig, ExportCopiesAndAsksBeforeOverwriting)
{
    setUpFile();
    SetSettings("FirstUp", "Yes", FileName, report);
    const std::string saved = readFile(FileName);
    const std::string folder = root + "/out";
    std::filesystem::create_directories(folder);
    const std::string target = folder + "/USBUtilityCfg.ini";

    int asked = 0;
    EXPECT_TRUE(exportConfigFile(folder, FileName, [&] { ++asked; return true; }, report));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(readFile(target), saved);

    writeFile(target, "theirs");
    EXPECT_FALSE(exportConfigFile(folder + "/", FileName, [&] { ++asked; return false; }, report));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(readFile(target), "theirs");

    EXPECT_TRUE(exportConfigFile(folder, FileName, [&] { ++asked; return true; }, report));
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(readFile(target), saved);
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(UtilityConfig, ExportIntoAMissingFolderFails)
{
    setUpFile();
    EXPECT_FALSE(exportConfigFile(root + "/absent", FileName, [] { return true; }, report));
    EXPECT_THAT(reported, ElementsAre(kMsgExportCopyFailed));
}

TEST_F(UtilityConfig, ExportKeepsTheModeAndOwnerOfAReplacedFile)
{
    setUpFile();
    const std::string target = root + "/USBUtilityCfg.ini";
    writeFile(target, "old");
    ::chmod(target.c_str(), 0640);
    const bool asRoot = ::geteuid() == 0 && ::chown(target.c_str(), 65534, 65534) == 0;
    EXPECT_TRUE(exportConfigFile(root, FileName, [] { return true; }, report));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    if (asRoot) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(readFile(target), testenv::kFreshConfig);
}

TEST_F(UtilityConfig, ExportIntoASharedFolderNeverWritesThroughAPlantedLink)
{
    setUpFile();
    const std::string shared = root + "/shared";
    const std::string victim = root + "/victim";
    std::filesystem::create_directories(shared);
    ::chmod(shared.c_str(), 01777);
    writeFile(victim, "precious");
    std::filesystem::create_symlink(victim, shared + "/USBUtilityCfg.ini");
    EXPECT_TRUE(exportConfigFile(shared, FileName, [] { return true; }, report));
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(std::filesystem::is_symlink(shared + "/USBUtilityCfg.ini"));
    EXPECT_EQ(readFile(shared + "/USBUtilityCfg.ini"), testenv::kFreshConfig);
}

TEST_F(UtilityConfig, AConfigurationFileThatIsAPipeIsRefusedAtOnce)
{
    setUpFile();
    std::filesystem::remove(FileName);
    ASSERT_EQ(::mkfifo(FileName.c_str(), 0600), 0);
    // Nothing may wait for a writer that never comes.
    EXPECT_FALSE(exportConfigFile(root, FileName, [] { return true; }, report));
    EXPECT_EQ(saveSettings(vardo::link::DeviceStatus{}, FileName, report), SaveOutcome::NotWritten);
    EXPECT_EQ(reported.front(), kMsgExportCopyFailed);
    EXPECT_EQ(reported.size(), 9u);
    EXPECT_TRUE(std::filesystem::is_fifo(FileName));
}

// A change in several steps by another program holds the lock: each operation
// waits for it and then works on what that program left, never on an older read.
TEST_F(UtilityConfig, ChangesWaitForTheLockOfAChangeInProgress)
{
    setUpFile();
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    std::filesystem::create_directories(root + "/in");
    writeFile(chosen, testenv::savedConfig("7", "", "3", "1", "0", "5", "1"));
    vardo::link::DeviceStatus settings;
    settings.keypadType = 4;
    const std::string theirs = "# theirs\r\n" + testenv::kFreshConfig;
    const struct {
        const char* name;
        std::function<void()> run;
        std::string expected;
    } cases[] = {
        {"save", [&] { saveSettings(settings, FileName, report); },
         "# theirs\r\n" + testenv::savedConfig("0", "", "0", "0", "0", "0", "4")},
        {"import", [&] { importConfigFile(chosen, FileName, report); }, readFile(chosen)},
        {"firmware file", [&] { recordFirmwareFile("new.txt", FileName); },
         [&] {
             std::string text = theirs;
             return text.replace(text.find("FirmwareFile=") + 13, 0, "new.txt");
         }()},
    };
    for (const auto& c : cases) {
        writeFile(FileName, testenv::kFreshConfig);
        std::mutex m;
        std::condition_variable cv;
        bool waiting = false, done = false;
        platform::setLockWaitObserver([&] { std::lock_guard l(m); waiting = true; cv.notify_all(); });
        auto held = std::make_optional<ConfigFileLock>(FileName);
        std::thread worker([&] {
            c.run();
            std::lock_guard l(m);
            done = true;
            cv.notify_all();
        });
        {
            std::unique_lock l(m);
            cv.wait(l, [&] { return waiting || done; });
        }
        EXPECT_FALSE(done) << c.name << " did not wait for the lock";
        EXPECT_EQ(readFile(FileName), testenv::kFreshConfig) << c.name;
        writeFile(FileName, theirs);   // the other program's change, made whole
        held.reset();
        worker.join();
        platform::setLockWaitObserver({});
        EXPECT_EQ(readFile(FileName), c.expected) << c.name;
    }
}

// A lock file that is not a plain file is refused with a message by every
// operation that takes the lock: none waits on it, follows it or goes on unlocked.
TEST_F(UtilityConfig, OddLockFilesAreRefusedWithAMessage)
{
    setUpFile();
    const std::string saved = testenv::savedConfig("7", "", "3", "1", "0", "5", "1");
    writeFile(FileName, saved);
    std::filesystem::create_directories(root + "/in");
    std::filesystem::create_directories(root + "/out");
    const std::string chosen = root + "/in/USBUtilityCfg.ini";
    writeFile(chosen, testenv::savedConfig("7", "", "1", "1", "0", "1", "1"));
    const std::string lock = dataHome + "/VardoInterface/.USBUtilityCfg.ini.lock";
    const std::string target = root + "/target";
    const std::pair<std::function<bool()>, std::string> odd[] = {
        {[&] { return std::filesystem::create_directory(lock); }, "is a folder, not a lock file"},
        {[&] { writeFile(target, "");
               return ::symlink(target.c_str(), lock.c_str()) == 0; },
         "is a symbolic link, which a lock never follows"},
        {[&] { std::filesystem::remove(target);
               return ::symlink(target.c_str(), lock.c_str()) == 0; },
         "is a symbolic link, which a lock never follows"},
        // Opening it for reading would wait for a writer for ever.
        {[&] { return ::mkfifo(lock.c_str(), 0400) == 0; }, "is a pipe, socket or device, not a lock file"},
        {[&] { return ::geteuid() != 0 || ::mknod(lock.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; },
         "is a pipe, socket or device, not a lock file"},
    };
    for (const auto& [make, what] : odd) {
        std::filesystem::remove_all(lock);
        ASSERT_TRUE(make()) << what;
        if (!std::filesystem::is_symlink(lock) && !std::filesystem::exists(lock))
            continue;   // a device node needs root
        reported.clear();
        ResetPlan plan;
        EXPECT_EQ(saveSettings(vardo::link::DeviceStatus{}, FileName, report), SaveOutcome::NotWritten);
        EXPECT_FALSE(importConfigFile(chosen, FileName, report));
        EXPECT_EQ(readResetPlan(FileName, plan, report), ResetOutcome::NotSent);
        EXPECT_FALSE(exportConfigFile(root + "/out", FileName, [] { return true; }, report));
        EXPECT_EQ(reported, std::vector<std::string>(
                                4, "Cannot lock USBUtilityCfg.ini: " + lock + " " + what + ". Remove it and try again."));
        EXPECT_EQ(readFile(FileName), saved) << what;
        EXPECT_FALSE(std::filesystem::exists(target) && readFile(target) != "") << what;
    }
}

// A lock file that root left behind: one the user may read still locks (flock
// needs no write access); one the user may not open is refused with the reason.
TEST_F(UtilityConfig, ALockFileLeftByRootLocksWhenReadableOrSaysWhy)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    setUpFile();
    for (const std::string& folder : {root, dataHome, dataHome + "/VardoInterface"})
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    const std::string lock = dataHome + "/VardoInterface/.USBUtilityCfg.ini.lock";
    for (const mode_t mode : {0644, 0600}) {
        ASSERT_EQ(::chmod(lock.c_str(), mode), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            const ConfigFileLock held(FileName);
            // Held: another open of the file cannot take the lock now.
            const int other = ::open(lock.c_str(), O_RDONLY);
            const bool locked = other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            const std::string refusal = "Cannot lock USBUtilityCfg.ini: " + lock
                + " may not be opened by this user (left by another user, such as a run with sudo)."
                  " Remove it and try again.";
            ::_exit(held.problem().empty() ? (locked ? 0 : 4) : held.problem() == refusal ? 1 : 2);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), mode == 0644 ? 0 : 1) << std::oct << mode;
    }
}

// A run as root with a user's HOME (sudo -E) leaves that user everything it
// made there, so the user's own runs can change and lock it afterwards.
TEST_F(UtilityConfig, AsRootInAUsersHomeEverythingMadeBelongsToThatUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string home = root + "/home";
    std::filesystem::create_directories(home);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65533), 0);
    platform::setUserDataFolderOverride(home + "/.local/share");
    ASSERT_TRUE(setUpConfigFile(report));
    vardo::link::DeviceStatus s;
    s.keypadType = 1;
    EXPECT_EQ(saveSettings(s, FileName, report), SaveOutcome::Saved);
    std::string backup;
    EXPECT_TRUE(writeUpgradeBackup(s, FileName, "VE710-000001", "1-1", backup));
    writeFile(root + "/USBUtilityCfg.ini", testenv::savedConfig("7", "", "1", "1", "0", "1", "3"));
    ImportDetails details;
    EXPECT_TRUE(importConfigFile(root + "/USBUtilityCfg.ini", FileName, report, &details));
    EXPECT_FALSE(details.backupPath.empty());
    int entries = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home)) {
        struct stat st {};
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << e.path();
        EXPECT_EQ(st.st_gid, 65533u) << e.path();
        ++entries;
    }
    EXPECT_EQ(entries, 7);   // .local, share, VardoInterface, the file, its lock, the two backups
    EXPECT_THAT(reported, IsEmpty());

    // A folder given to the user alone keeps root's group: the user's own group goes with the file.
    const std::string given = root + "/given";
    std::filesystem::create_directories(given);
    ASSERT_EQ(::chown(given.c_str(), 65534, 0), 0);
    EXPECT_TRUE(exportConfigFile(given, FileName, [] { return true; }, report));
    struct stat st {};
    ASSERT_EQ(::stat((given + "/USBUtilityCfg.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u) << "nobody's own group, not root's";
}

// ---- stored numbers ------------------------------------------------------------------

TEST(StoredByte, TakesDecimalIntegersAsTheirLow8Bits)
{
    struct Case {
        const char* text;
        bool ok;
        int byte;
    };
    for (const Case& c : {Case{"0", true, 0}, Case{"7", true, 7}, Case{" 9\t", true, 9},
                          Case{"+3", true, 3}, Case{"256", true, 0}, Case{"-1", true, 255},
                          Case{"2147483647", true, 255}, Case{"-2147483648", true, 0},
                          Case{"2147483648", false, 0}, Case{"", false, 0}, Case{" ", false, 0},
                          Case{"-", false, 0}, Case{"0x05", false, 0}, Case{"5a", false, 0},
                          Case{"1 2", false, 0}, Case{"٣", false, 0}}) {
        std::uint8_t b = 0xAA;
        EXPECT_EQ(parseStoredByte(c.text, b), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(b, c.byte) << c.text;
        }
    }
}

// ---- reset from the configuration ------------------------------------------------------

class ResetFromFile : public UtilityConfig {
protected:
    void SetUp() override
    {
        UtilityConfig::SetUp();
        setUpFile();
        encoder = std::make_unique<sim::VirtualEncoder>();
        openEncoder();
        encoder->clearReceivedCommands();
    }
    void TearDown() override
    {
        UtilityConfig::TearDown();
        encoder.reset();
    }

    void store(const std::string& layout, const std::string& table, const std::string& period = "0")
    {
        writeFile(FileName, testenv::savedConfig("7", table, period, "0", "0", "3", layout));
    }

    std::unique_ptr<sim::VirtualEncoder> encoder;
};

TEST_F(ResetFromFile, NothingHappensBeforeTheFirstSave)
{
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::NotSaved);
    EXPECT_THAT(reported, IsEmpty());
    EXPECT_THAT(codes(*encoder), IsEmpty());
}

TEST_F(ResetFromFile, CustomisedLayoutSendsTheTableInItsPlace)
{
    // Each key a modifier and a code: bytes 2k-2 and 2k-1.
    const auto byteAt = [](int i) { return i % 2 ? i * 8 + 7 : 0xE0 + i / 2 % 8; };
    std::string table;
    for (int i = 0; i < 32; ++i)
        table += std::to_string(byteAt(i)) + ",";
    store("8", table, "0");
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::Sent);
    using namespace link;
    EXPECT_THAT(codes(*encoder), ElementsAre(SET_KEYPAD_TYPE, LOAD_CODE_TABLE, SET_LED_BRIGHTNESS,
                                             SET_LED_COLOUR, SET_BUZZER, SET_BUZZER_PERIOD));
    const auto cmds = encoder->receivedCommands();
    EXPECT_THAT(cmds[0].payload, ElementsAre(8));
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < 32; ++i)
        expected.push_back(static_cast<std::uint8_t>(byteAt(i)));
    EXPECT_EQ(cmds[1].payload, expected);
    EXPECT_THAT(cmds[2].payload, ElementsAre(3));
    // A stored period goes back unchanged: 0 stays 0.
    EXPECT_THAT(cmds[5].payload, ElementsAre(0));
    EXPECT_THAT(reported, IsEmpty());
    EXPECT_EQ(encoder->keypadType(), 8);
}

TEST_F(ResetFromFile, FixedLayoutSendsNoTable)
{
    // 10 is the highest period the encoder takes.
    for (const int period : {7, 0, 10}) {
        store("4", "", std::to_string(period));
        encoder->clearReceivedCommands();
        EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::Sent) << period;
        using namespace link;
        EXPECT_THAT(codes(*encoder), ElementsAre(SET_KEYPAD_TYPE, SET_LED_BRIGHTNESS, SET_LED_COLOUR,
                                                 SET_BUZZER, SET_BUZZER_PERIOD));
        EXPECT_EQ(encoder->buzzerPeriod(), period);
    }
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(ResetFromFile, StopsAtTheFirstRefusedCommandWithItsMessage)
{
    using namespace link;
    struct Case {
        std::uint8_t refused;
        const char* message;
        ResetOutcome outcome;
        std::size_t sent;   // commands that reached the encoder, the refused one included
    };
    for (const Case& c : {Case{SET_KEYPAD_TYPE, kMsgResetKeypad, ResetOutcome::KeypadRefused, 1},
                          Case{LOAD_CODE_TABLE, kMsgResetTable, ResetOutcome::TableRefused, 2},
                          Case{SET_LED_BRIGHTNESS, kMsgResetBrightness, ResetOutcome::SettingRefused, 3},
                          Case{SET_LED_COLOUR, kMsgResetColour, ResetOutcome::SettingRefused, 4},
                          Case{SET_BUZZER, kMsgResetBuzzer, ResetOutcome::SettingRefused, 5},
                          Case{SET_BUZZER_PERIOD, kMsgResetPeriod, ResetOutcome::SettingRefused, 6}}) {
        store("2", testenv::zeroTableText());
        encoder->clearReceivedCommands();
        encoder->clearFaults();
        encoder->injectFault({sim::EncoderFault::Refuse, false, c.refused});
        reported.clear();
        EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), c.outcome) << c.message;
        EXPECT_THAT(reported, ElementsAre(c.message));
        const auto sent = codes(*encoder);
        ASSERT_EQ(sent.size(), c.sent) << c.message;
        EXPECT_EQ(sent.back(), c.refused);
    }
}

TEST_F(ResetFromFile, WithoutAnEncoderTheFirstCommandFails)
{
    opened.reset();
    store("0", "");
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::KeypadRefused);
    EXPECT_THAT(reported, ElementsAre(kMsgResetKeypad));
}

TEST_F(ResetFromFile, InvalidStoredValuesSendNothing)
{
    struct Case {
        std::string layout, table, period, brightness;
        const char* key;
    };
    const std::string t31 = testenv::zeroTableText().substr(2);   // 31 numbers
    for (const Case& c : {Case{"", "", "1", "3", "KeypadLayout"},
                          Case{"seven", "", "1", "3", "KeypadLayout"},
                          Case{"8", t31, "1", "3", "CodeTableValues"},
                          Case{"5", "", "1", "3", "CodeTableValues"},
                          Case{"2", "1,2,x,", "1", "3", "CodeTableValues"},
                          Case{"8", testenv::zeroTableText(), "1", "", "LedBrightness"},
                          Case{"0", "", "1.5", "3", "BuzzerPeriod"},
                          // Numbers the encoder would refuse after the layout and table went out.
                          Case{"9", "", "1", "3", "KeypadLayout"},
                          Case{"8", testenv::zeroTableText(), "1", "99", "LedBrightness"},
                          Case{"0", "", "11", "3", "BuzzerPeriod"}}) {
        writeFile(FileName, testenv::savedConfig("7", c.table, c.period, "0", "0", c.brightness, c.layout));
        reported.clear();
        EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::NotSent) << c.key;
        EXPECT_THAT(reported, ElementsAre(std::string(kMsgInvalidValuePrefix) + c.key + ".."));
        EXPECT_THAT(codes(*encoder), IsEmpty()) << c.key;
    }
}

TEST_F(ResetFromFile, ExtraTablePiecesAreRefusedAndAFixedLayoutsTableIgnored)
{
    store("8", testenv::zeroTableText() + "99,junk");
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::NotSent);
    EXPECT_THAT(reported, ElementsAre(std::string(kMsgInvalidValuePrefix) + "CodeTableValues.."));
    reported.clear();
    store("1", "junk");
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::Sent);
    EXPECT_THAT(reported, IsEmpty());
}

TEST_F(ResetFromFile, ADamagedFileSendsNothing)
{
    writeFile(FileName, " FirstUp=Yes\r\n [appSettings\r\n");
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::NotSent);
    EXPECT_THAT(reported, ElementsAre(kMsgFileDamaged));
    EXPECT_THAT(codes(*encoder), IsEmpty());
}

} // namespace

// ---- backup before a firmware upgrade -------------------------------------------------

TEST_F(ResetFromFile, UpgradeBackupHoldsTheSettingsAndSendsThemBack)
{
    CIniFile::SetValue("FirmwareFile", "encoder[v2].txt", kSection, FileName);
    const std::string before = readFile(FileName);
    vardo::link::DeviceStatus s;
    s.keypadType = 5;
    s.ledBrightness = 4;
    s.buzzer = 1;
    s.buzzerPeriod = 9;
    s.optionsFitted = 7;
    for (std::size_t i = 0; i < 32; ++i)
        s.codeTable[i] = static_cast<std::uint8_t>(i % 2 ? 0x04 + i : 0xE0 + i / 2 % 8);

    std::string first, second;
    ASSERT_TRUE(writeUpgradeBackup(s, FileName, "VE710-000001", "1-1.3", first));
    ASSERT_TRUE(writeUpgradeBackup(s, FileName, "VE710-000001", "1-1.3", second));
    // Beside the configuration file, named by serial number, a new name each
    // time; the file itself untouched. Whose settings they are is in the file.
    EXPECT_EQ(first.substr(0, first.rfind('/')), FileName.substr(0, FileName.rfind('/')));
    EXPECT_THAT(first, ::testing::MatchesRegex(".*/USBUtilityCfg-VE710-000001-[0-9]{8}-[0-9]{6}\\.ini"));
    EXPECT_NE(first, second);
    EXPECT_EQ(readFile(FileName), before);
    EXPECT_EQ(CIniFile::GetValue("FirmwareFile", kSection, first), "encoder[v2].txt");
    EXPECT_EQ(CIniFile::GetValue(kBackupSerialKey, kSection, first), "VE710-000001");
    EXPECT_EQ(CIniFile::GetValue(kBackupPortKey, kSection, first), "1-1.3");

    // The import takes a backup as it is (the two keys pass).
    std::filesystem::create_directories(root + "/in");
    writeFile(root + "/in/USBUtilityCfg.ini", readFile(first));
    EXPECT_TRUE(importConfigFile(root + "/in/USBUtilityCfg.ini", FileName, report));
    EXPECT_EQ(readFile(FileName), readFile(first));

    // The reset sends a backup back exactly as it sends the configuration file.
    const std::string configFile = FileName;
    FileName = first;
    EXPECT_EQ(resetFromConfigFile(opened.get(), FileName, report), ResetOutcome::Sent);
    FileName = configFile;
    const auto cmds = encoder->receivedCommands();
    ASSERT_EQ(cmds.size(), 6u);
    EXPECT_THAT(cmds[0].payload, ElementsAre(5));
    EXPECT_EQ(cmds[1].payload, std::vector<std::uint8_t>(s.codeTable.begin(), s.codeTable.end()));
    EXPECT_THAT(cmds[5].payload, ElementsAre(9));
}

TEST_F(UtilityConfig, UpgradeBackupWithoutAConfigurationFileStillHoldsTheSettings)
{
    setUpFile();
    std::filesystem::remove(FileName);
    vardo::link::DeviceStatus s;
    s.keypadType = 1;
    std::string path;
    ASSERT_TRUE(writeUpgradeBackup(s, FileName, "", "", path));
    EXPECT_EQ(CIniFile::GetValue("FirstUp", kSection, path), "Yes");
    EXPECT_EQ(CIniFile::GetValue("KeypadLayout", kSection, path), "1");
    EXPECT_TRUE(CIniFile::RecordExists("FirmwareFile", kSection, path));

    FileName.clear();
    EXPECT_FALSE(writeUpgradeBackup(s, FileName, "", "", path));
}

// Runs started in the same second each get a file of their own, and of one
// serial number's backups the newest ten stay; other serials, backups without
// one and other files are not touched.
TEST_F(UtilityConfig, BackupsAreNeverSharedAndTheNewestTenPerSerialAreKept)
{
    setUpFile();
    const std::string folder = dataHome + "/VardoInterface/";
    // Nine old ones of serial "S/1" (named S_1), in an order only their numbers give.
    std::vector<std::string> old;
    for (const char* stamp : {"20200101-000000", "20200101-000000-2", "20200101-000000-10", "20200102-000000",
                              "20200103-000000", "20200104-000000", "20200105-000000", "20200106-000000",
                              "20200107-000000"})
        old.push_back(folder + "USBUtilityCfg-S_1-" + stamp + ".ini");
    const std::vector<std::string> others = {folder + "USBUtilityCfg-S_2-20190101-000000.ini",
                                             folder + "USBUtilityCfg-20190101-000000.ini",
                                             folder + "USBUtilityCfg-S_1-notes.ini"};
    for (const auto& p : old)
        writeFile(p, "old");
    for (const auto& p : others)
        writeFile(p, "other");

    vardo::link::DeviceStatus s;
    std::array<std::string, 3> paths;
    std::array<bool, 3> written{};
    {
        std::vector<std::thread> runs;
        for (std::size_t i = 0; i < 3; ++i)
            runs.emplace_back([&, i] { written[i] = writeUpgradeBackup(s, FileName, "S/1", "1-" + std::to_string(i), paths[i]); });
        for (auto& t : runs)
            t.join();
    }
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(written[i]);
        EXPECT_EQ(CIniFile::GetValue(kBackupPortKey, kSection, paths[i]), "1-" + std::to_string(i)) << paths[i];
    }
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 3u);

    // Twelve of S/1: the two oldest went.
    std::set<std::string> expected(old.begin() + 2, old.end());
    expected.insert(paths.begin(), paths.end());
    expected.insert(others.begin(), others.end());
    expected.insert(FileName);
    std::set<std::string> present;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().filename().string()[0] != '.')
            present.insert(e.path().string());
    EXPECT_EQ(present, expected);
}
