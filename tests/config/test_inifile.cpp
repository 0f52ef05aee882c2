#include "config/file_size_limit.h"
#include "config/inifile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using vardo::config::CIniFile;
using vardo::config::Record;
using vardo::config::Trim;
namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed with everything in it afterwards.
class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vardo-ini-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        file = folder + "/test.ini";
    }
    void TearDown() override
    {
        std::error_code ec;
        for (auto& entry : fs::recursive_directory_iterator(folder, ec))
            if (entry.is_directory())
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(folder, ec);
    }

    static void write(const std::string& path, const std::string& text)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> folderEntries() const
    {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<Record> load(const std::string& text)
    {
        write(file, text);
        std::vector<Record> records;
        EXPECT_TRUE(CIniFile::Load(file, records));
        return records;
    }

    std::string folder;
    std::string file;
};

Record header(const std::string& section, char mark = ' ', const std::string& comments = "")
{
    return Record{comments, mark, section, "", ""};
}

Record key(const std::string& section, const std::string& k, const std::string& v, char mark = ' ',
           const std::string& comments = "")
{
    return Record{comments, mark, section, k, v};
}

const char* const kHandEdited =
    "; settings of the encoder\n"
    "\n"
    "   [appSettings]   trailing words\r\n"
    "# the layout\n"
    "KeypadLayout = 8\n"
    "\tLedBrightness=5\t\r\n"
    "#Buzzer=1\n"
    "FirmwareFile=image [v2] (copy).txt\n"
    "Expr=a=b\n"
    ";[old]\n"
    "Left=over\n"
    "[empty]\n"
    "# trailing comment\n"
    "\n";

} // namespace

// ---- Reading ----------------------------------------------------------------

TEST_F(IniFileTest, LoadSplitsLinesIntoRecords)
{
    const std::vector<Record> expected = {
        header("appSettings", ' ', "; settings of the encoder\n"),
        key("appSettings", "KeypadLayout ", " 8", ' ', "# the layout\n"),
        key("appSettings", "LedBrightness", "5"),
        key("appSettings", "Buzzer", "1", '#'),
        key("appSettings", "FirmwareFile", "image [v2] (copy).txt"),
        key("appSettings", "Expr", "a=b"),
        header("old", ';'),
        key("old", "Left", "over"),
        header("empty"),
    };
    EXPECT_EQ(load(kHandEdited), expected);
}

TEST_F(IniFileTest, LfAndCrLfAndAMissingLastLineEndReadAlike)
{
    const auto lf = load("[s]\na=1\nb=2\n");
    EXPECT_EQ(load("[s]\r\na=1\r\nb=2\r\n"), lf);
    EXPECT_EQ(load("[s]\r\na=1\r\nb=2"), lf);
    EXPECT_EQ(CIniFile::GetValue("b", "s", file), "2");
}

TEST_F(IniFileTest, KeysBeforeAnyHeaderHaveNoSection)
{
    EXPECT_EQ(load("a=1\n[s]\nb=2\n"),
              (std::vector<Record>{key("", "a", "1"), header("s"), key("s", "b", "2")}));
}

TEST_F(IniFileTest, SectionLineWithoutBracketIsAFormatErrorAndNothingIsWritten)
{
    const std::string text = "[good]\na=1\n[broken\nb=2\n";
    write(file, text);
    std::vector<Record> records{header("kept")};
    EXPECT_THROW(CIniFile::Load(file, records), std::out_of_range);
    EXPECT_EQ(records, std::vector<Record>{header("kept")});
    EXPECT_THROW(CIniFile::SetValue("a", "2", "good", file), std::out_of_range);
    EXPECT_THROW(CIniFile::GetValue("a", "good", file), std::out_of_range);
    // A commented-out section line is still a section line.
    write(file, "#[broken\n");
    EXPECT_THROW(CIniFile::Load(file, records), std::out_of_range);
    write(file, text);
    EXPECT_EQ(read(file), text);
}

TEST_F(IniFileTest, BareWordsTravelWithTheNextRecord)
{
    // Neither a comment, a header nor a key: kept as it stood, above the next record.
    const auto records = load("[s]\njust words\n=no key\n#=still no key\na=1\ndangling\n");
    EXPECT_EQ(records, (std::vector<Record>{header("s"), key("s", "a", "1", ' ', "just words\n=no key\n#=still no key\n")}));
    ASSERT_TRUE(CIniFile::Save(file, records));
    EXPECT_EQ(read(file), " [s]\r\njust words\r\n=no key\r\n#=still no key\r\n a=1\r\n");
    std::vector<Record> again;
    ASSERT_TRUE(CIniFile::Load(file, again));
    EXPECT_EQ(again, records);
}

TEST_F(IniFileTest, SectionNameMayHoldAnEqualsSign)
{
    EXPECT_EQ(load("[a=b]\nk=v\n"), (std::vector<Record>{header("a=b"), key("a=b", "k", "v")}));
    EXPECT_EQ(CIniFile::GetValue("k", "a=b", file), "v");
    ASSERT_TRUE(CIniFile::SetValue("k", "w", "a=b", file));
    EXPECT_EQ(read(file), " [a=b]\r\n k=w\r\n");
}

TEST_F(IniFileTest, ArbitraryBytesGiveRecordsOrTheFormatError)
{
    std::vector<Record> records;
    // NUL and binary bytes are ordinary characters.
    std::string binary("[s\0x]\nk\0=\xff\x01\n", 12);
    EXPECT_EQ(load(binary), (std::vector<Record>{header(std::string("s\0x", 3)), key(std::string("s\0x", 3), std::string("k\0", 2), "\xff\x01")}));
    // A lone CR does not end a line: the whole text is one header line.
    EXPECT_EQ(load("[a]\rk=v\r[b]\r"), std::vector<Record>{header("a")});
    // One line of a megabyte.
    const std::string big(1 << 20, 'x');
    records = load("[s]\nk=" + big);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].Value, big);
    write(file, "[" + big);
    EXPECT_THROW(CIniFile::Load(file, records), std::out_of_range);
    // Empty file and blanks only.
    EXPECT_TRUE(load("").empty());
    EXPECT_TRUE(load(" \t\r\n\r\n").empty());
}

TEST_F(IniFileTest, OnlyRegularFilesAreRead)
{
    std::vector<Record> records{header("kept")};
    EXPECT_FALSE(CIniFile::Load(folder, records));
    EXPECT_FALSE(CIniFile::Load("/dev/null", records));
    EXPECT_FALSE(CIniFile::Load("", records));
    EXPECT_EQ(records, std::vector<Record>{header("kept")});
}

// ---- Writing ----------------------------------------------------------------

TEST_F(IniFileTest, SaveWritesOneSpaceMarkedCrLfLinePerRecord)
{
    const std::vector<Record> records = {
        header("s", ' ', "; one\n# two\n"),
        key("s", "a", "1"),
        key("s", "b", "", '#'),
        header("t", ';'),
        key("t", "c ", " 3", ' ', "#c\n"),
    };
    ASSERT_TRUE(CIniFile::Save(file, records));
    EXPECT_EQ(read(file), "; one\r\n# two\r\n [s]\r\n a=1\r\n#b=\r\n;[t]\r\n#c\r\n c = 3\r\n");
}

TEST_F(IniFileTest, SavedFileRoundTripsByteForByte)
{
    const auto records = load(kHandEdited);
    ASSERT_TRUE(CIniFile::Save(file, records));
    const std::string first = read(file);
    EXPECT_EQ(first,
              "; settings of the encoder\r\n [appSettings]\r\n# the layout\r\n KeypadLayout = 8\r\n"
              " LedBrightness=5\r\n#Buzzer=1\r\n FirmwareFile=image [v2] (copy).txt\r\n Expr=a=b\r\n"
              ";[old]\r\n Left=over\r\n [empty]\r\n");
    std::vector<Record> again;
    ASSERT_TRUE(CIniFile::Load(file, again));
    EXPECT_EQ(again, records);
    ASSERT_TRUE(CIniFile::Save(file, again));
    EXPECT_EQ(read(file), first);
}

TEST_F(IniFileTest, ContentIsTheFileTextWithoutActiveSpacesAndWithLf)
{
    ASSERT_TRUE(CIniFile::Save(file, load(kHandEdited)));
    std::string expected = read(file);
    // Drop the space that starts each active line and the CR of each line end.
    std::string stripped;
    std::istringstream lines(expected);
    for (std::string line; std::getline(lines, line);) {
        line.pop_back();  // CR
        if (!line.empty() && line[0] == ' ')
            line.erase(0, 1);
        stripped += line + "\n";
    }
    EXPECT_EQ(CIniFile::Content(file), stripped);
    EXPECT_EQ(CIniFile::Content(file).substr(0, 40), "; settings of the encoder\n[appSettings]\n");
    EXPECT_EQ(CIniFile::Content(folder + "/missing.ini"), "");
}

TEST_F(IniFileTest, CreateAddSectionAndSetValueBuildTheConfigurationFile)
{
    ASSERT_TRUE(CIniFile::Create(file));
    EXPECT_EQ(read(file), "");
    ASSERT_TRUE(CIniFile::AddSection("appSettings", file));
    for (const char* k : {"FirstUp", "KeypadLayout", "LedBrightness", "LedColour", "Buzzer", "BuzzerPeriod",
                          "CodeTableValues", "FirmwareFile", "Options"})
        ASSERT_TRUE(CIniFile::SetValue(k, "", "appSettings", file)) << k;
    EXPECT_EQ(read(file),
              " [appSettings]\r\n Options=\r\n FirmwareFile=\r\n CodeTableValues=\r\n BuzzerPeriod=\r\n"
              " Buzzer=\r\n LedColour=\r\n LedBrightness=\r\n KeypadLayout=\r\n FirstUp=\r\n");

    // Later values land in place.
    ASSERT_TRUE(CIniFile::SetValue("FirstUp", "Yes", "appSettings", file));
    ASSERT_TRUE(CIniFile::SetValue("CodeTableValues", "0,1,", "appSettings", file));
    EXPECT_EQ(read(file),
              " [appSettings]\r\n Options=\r\n FirmwareFile=\r\n CodeTableValues=0,1,\r\n BuzzerPeriod=\r\n"
              " Buzzer=\r\n LedColour=\r\n LedBrightness=\r\n KeypadLayout=\r\n FirstUp=Yes\r\n");
    // Create empties an existing file.
    ASSERT_TRUE(CIniFile::Create(file));
    EXPECT_EQ(read(file), "");
}

// ---- SetValue and the other changes -------------------------------------------

TEST_F(IniFileTest, SetValueInsertsBelowTheFirstRecordOrAppendsANewSection)
{
    write(file, "[a]\n[b]\nx=1\n");
    ASSERT_TRUE(CIniFile::SetValue("A", "1", "a", file));
    ASSERT_TRUE(CIniFile::SetValue("B", "2", "a", file));
    ASSERT_TRUE(CIniFile::SetValue("k", "v", "new", file));
    EXPECT_EQ(read(file), " [a]\r\n B=2\r\n A=1\r\n [b]\r\n x=1\r\n [new]\r\n k=v\r\n");
}

TEST_F(IniFileTest, SetValueChangesOnlyTheValueAndKeepsBlanksAroundEquals)
{
    write(file, "[s]\n  key = old value  \nnext=1\n");
    EXPECT_EQ(CIniFile::GetValue("key ", "s", file), " old value");
    EXPECT_EQ(CIniFile::GetValue("key", "s", file), "");
    ASSERT_TRUE(CIniFile::SetValue("key ", " new", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n key = new\r\n next=1\r\n");
}

TEST_F(IniFileTest, CommentedOutKeyTakesTheValueAndStaysCommented)
{
    write(file, "[s]\n; Buzzer = 1\n");
    EXPECT_EQ(CIniFile::GetValue("Buzzer ", "s", file), " 1");
    ASSERT_TRUE(CIniFile::SetValue("Buzzer ", "0", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n;Buzzer =0\r\n");
    EXPECT_EQ(CIniFile::GetValue("Buzzer ", "s", file), "0");
}

TEST_F(IniFileTest, DuplicatesUseTheFirstOccurrence)
{
    write(file, "[s]\nk=1\n[s]\nk=2\nk=3\n");
    EXPECT_EQ(CIniFile::GetValue("k", "s", file), "1");
    ASSERT_TRUE(CIniFile::SetValue("k", "9", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n k=9\r\n [s]\r\n k=2\r\n k=3\r\n");
    EXPECT_EQ(CIniFile::GetSectionNames(file), (std::vector<std::string>{"s", "s"}));
    EXPECT_EQ(CIniFile::GetSection("s", file).size(), 3u);
    ASSERT_TRUE(CIniFile::DeleteRecord("k", "s", file));
    EXPECT_EQ(CIniFile::GetValue("k", "s", file), "2");
}

TEST_F(IniFileTest, CommentsAboveAKeySurviveAChangeElsewhereButTrailingOnesDoNot)
{
    write(file, "[s]\n# about a\n; more\na=1\n\n\nb=2\n# at the end\n");
    ASSERT_TRUE(CIniFile::SetValue("b", "3", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n# about a\r\n; more\r\n a=1\r\n b=3\r\n");
}

TEST_F(IniFileTest, SetValueRefusesTextsThatCannotBeReadBack)
{
    write(file, "[s]\na=1\n");
    const std::string before = read(file);
    EXPECT_FALSE(CIniFile::SetValue("a", "x\n[evil]", "s", file));
    EXPECT_FALSE(CIniFile::SetValue("a", "x\ry", "s", file));
    EXPECT_FALSE(CIniFile::SetValue("k\n", "v", "s", file));
    EXPECT_FALSE(CIniFile::SetValue("k", "v", "s\r\n", file));
    EXPECT_FALSE(CIniFile::SetValue("", "v", "s", file));
    EXPECT_FALSE(CIniFile::AddSection("x\ny", file));
    EXPECT_FALSE(CIniFile::RenameSection("s", "x\ny", file));
    EXPECT_EQ(read(file), before);
}

TEST_F(IniFileTest, EveryOperationOnAMissingFile)
{
    const std::string missing = folder + "/missing.ini";
    EXPECT_TRUE(CIniFile::SectionExists("s", missing));
    EXPECT_TRUE(CIniFile::RecordExists("k", "s", missing));
    EXPECT_EQ(CIniFile::GetValue("k", "s", missing), "");
    EXPECT_TRUE(CIniFile::GetRecord("k", "s", missing).empty());
    EXPECT_TRUE(CIniFile::GetSection("s", missing).empty());
    EXPECT_TRUE(CIniFile::GetSections(missing).empty());
    EXPECT_TRUE(CIniFile::GetSectionNames(missing).empty());
    EXPECT_EQ(CIniFile::Content(missing), "");
    EXPECT_FALSE(CIniFile::SetValue("k", "v", "s", missing));
    EXPECT_FALSE(CIniFile::AddSection("s", missing));
    EXPECT_FALSE(CIniFile::RenameSection("s", "t", missing));
    EXPECT_FALSE(CIniFile::CommentRecord(CIniFile::Hash, "k", "s", missing));
    EXPECT_FALSE(CIniFile::UnCommentRecord("k", "s", missing));
    EXPECT_FALSE(CIniFile::CommentSection('#', "s", missing));
    EXPECT_FALSE(CIniFile::UnCommentSection("s", missing));
    EXPECT_FALSE(CIniFile::DeleteRecord("k", "s", missing));
    EXPECT_FALSE(CIniFile::DeleteSection("s", missing));
    EXPECT_FALSE(CIniFile::SetSectionComments("#c", "s", missing));
    EXPECT_FALSE(CIniFile::SetRecordComments("#c", "k", "s", missing));
    EXPECT_FALSE(CIniFile::Sort(missing, false));
    EXPECT_TRUE(folderEntries().empty());
    EXPECT_TRUE(CIniFile::Create(missing));
    EXPECT_EQ(read(missing), "");
}

TEST_F(IniFileTest, LookupsThatFindNothing)
{
    write(file, "[s]\nk=v\n");
    EXPECT_FALSE(CIniFile::SectionExists("S", file));
    EXPECT_FALSE(CIniFile::RecordExists("K", "s", file));
    EXPECT_TRUE(CIniFile::RecordExists("k", "s", file));
    EXPECT_EQ(CIniFile::GetRecord("k", "s", file), std::vector<Record>{key("s", "k", "v")});
    EXPECT_TRUE(CIniFile::GetRecord("k", "t", file).empty());
    EXPECT_FALSE(CIniFile::CommentRecord(CIniFile::Hash, "x", "s", file));
    EXPECT_FALSE(CIniFile::DeleteRecord("x", "s", file));
    EXPECT_FALSE(CIniFile::SetSectionComments("#c", "t", file));
    EXPECT_FALSE(CIniFile::SetRecordComments("#c", "x", "s", file));
    EXPECT_EQ(read(file), "[s]\nk=v\n");
}

TEST_F(IniFileTest, CommentingAndUncommenting)
{
    write(file, "[s]\na=1\nb=2\n[t]\nc=3\n");
    ASSERT_TRUE(CIniFile::CommentRecord(CIniFile::Semicolon, "b", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n a=1\r\n;b=2\r\n [t]\r\n c=3\r\n");
    ASSERT_TRUE(CIniFile::CommentSection('#', "s", file));
    EXPECT_EQ(read(file), "#[s]\r\n#a=1\r\n#b=2\r\n [t]\r\n c=3\r\n");
    EXPECT_EQ(CIniFile::GetValue("a", "s", file), "1");
    ASSERT_TRUE(CIniFile::UnCommentRecord("a", "s", file));
    EXPECT_EQ(read(file), "#[s]\r\n a=1\r\n#b=2\r\n [t]\r\n c=3\r\n");
    ASSERT_TRUE(CIniFile::UnCommentSection("s", file));
    EXPECT_EQ(read(file), " [s]\r\n a=1\r\n b=2\r\n [t]\r\n c=3\r\n");
    // A mark that would not read back as a comment is refused.
    const std::string before = read(file);
    EXPECT_FALSE(CIniFile::CommentSection('x', "s", file));
    EXPECT_FALSE(CIniFile::CommentRecord(static_cast<CIniFile::CommentChar>('!'), "a", "s", file));
    EXPECT_EQ(read(file), before);
}

TEST_F(IniFileTest, RenamingAndDeletingSections)
{
    write(file, "[s]\na=1\n;b=2\n[t]\nc=3\n[s]\nd=4\n");
    ASSERT_TRUE(CIniFile::RenameSection("s", "u", file));
    EXPECT_EQ(read(file), " [u]\r\n a=1\r\n;b=2\r\n [t]\r\n c=3\r\n [u]\r\n d=4\r\n");
    ASSERT_TRUE(CIniFile::DeleteSection("u", file));
    EXPECT_EQ(read(file), " [t]\r\n c=3\r\n");
    // Saved even when nothing matched.
    write(file, "[t]\nc=3\n");
    ASSERT_TRUE(CIniFile::DeleteSection("none", file));
    EXPECT_EQ(read(file), " [t]\r\n c=3\r\n");
}

TEST_F(IniFileTest, DeleteRecordTakesItsCommentsAlong)
{
    write(file, "[s]\n# about a\na=1\nb=2\n");
    ASSERT_TRUE(CIniFile::DeleteRecord("a", "s", file));
    EXPECT_EQ(read(file), " [s]\r\n b=2\r\n");
}

TEST_F(IniFileTest, SettingCommentsAddsAFinalLineFeed)
{
    write(file, "[s]\na=1\n");
    ASSERT_TRUE(CIniFile::SetSectionComments("# head", "s", file));
    ASSERT_TRUE(CIniFile::SetRecordComments("; one\n; two\n", "a", "s", file));
    EXPECT_EQ(read(file), "# head\r\n [s]\r\n; one\r\n; two\r\n a=1\r\n");
    EXPECT_EQ(CIniFile::GetSections(file), std::vector<Record>{header("s", ' ', "# head\n")});
    ASSERT_TRUE(CIniFile::SetRecordComments("", "a", "s", file));
    EXPECT_EQ(read(file), "# head\r\n [s]\r\n a=1\r\n");
}

TEST_F(IniFileTest, SortOrdersSectionsAndKeysWithTheirComments)
{
    write(file, "[b]\nz=1\n# about y\ny=2\n[a]\nk=3\n");
    ASSERT_TRUE(CIniFile::Sort(file, false));
    EXPECT_EQ(read(file), " [a]\r\n k=3\r\n [b]\r\n# about y\r\n y=2\r\n z=1\r\n");
    ASSERT_TRUE(CIniFile::Sort(file, true));
    EXPECT_EQ(read(file), " [b]\r\n z=1\r\n# about y\r\n y=2\r\n [a]\r\n k=3\r\n");

    write(file, "a=1\nb=2\n");
    EXPECT_FALSE(CIniFile::Sort(file, false));
    EXPECT_EQ(read(file), "a=1\nb=2\n");
}

TEST_F(IniFileTest, SortLosesNothingOfOddFiles)
{
    // Keys above the first header and a section with two headers.
    write(file, "top=1\nalso=2\n[s]\nb=1\n[a]\nx=1\n# second s\n[s]\na=2\n");
    ASSERT_TRUE(CIniFile::Sort(file, false));
    EXPECT_EQ(read(file), " also=2\r\n top=1\r\n [a]\r\n x=1\r\n [s]\r\n# second s\r\n [s]\r\n a=2\r\n b=1\r\n");
    EXPECT_EQ(CIniFile::GetValue("top", "", file), "1");
    EXPECT_EQ(CIniFile::GetSection("s", file).size(), 2u);
}

TEST(Trim, RemovesTheGivenCharactersFromTheChosenEnds)
{
    std::string s = " \t x y \r\n";
    Trim(s);
    EXPECT_EQ(s, "x y");
    s = "--x--";
    Trim(s, "-", 1);
    EXPECT_EQ(s, "x--");
    s = "--x--";
    Trim(s, "-", 2);
    EXPECT_EQ(s, "--x");
    s = " \r\n\t ";
    Trim(s);
    EXPECT_EQ(s, "");
    s = "";
    Trim(s, " ", 0);
    EXPECT_EQ(s, "");
}

// ---- Failed writes ----------------------------------------------------------

TEST_F(IniFileTest, SaveReportsAWriteErrorOnADevice)
{
    EXPECT_FALSE(CIniFile::Save("/dev/full", {header("s"), key("s", "k", "v")}));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST_F(IniFileTest, FailedWriteLeavesTheOldFileIntactAndNoTemporaryBehind)
{
    const std::string old = " [s]\r\n k=old\r\n";
    write(file, old);
    std::vector<Record> big{header("s"), key("s", "k", std::string(64 * 1024, 'v'))};

    // The file size limit makes the write fail part way, as a full disk would.
    bool saved;
    {
        vardo::testenv::FileSizeLimit limit(4096);
        saved = CIniFile::Save(file, big);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(read(file), old);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"test.ini"});

    EXPECT_TRUE(CIniFile::Save(file, big));
    EXPECT_EQ(read(file).size(), 64u * 1024 + 11);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"test.ini"});
}

TEST_F(IniFileTest, ReadOnlyFileIsNotReplaced)
{
    write(file, "[s]\nk=1\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(CIniFile::SetValue("k", "2", "s", file));
    EXPECT_FALSE(CIniFile::Create(file));
    EXPECT_EQ(read(file), "[s]\nk=1\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"test.ini"});
}

TEST_F(IniFileTest, SaveIntoAFolderThatCannotBeWrittenFails)
{
    EXPECT_FALSE(CIniFile::Save(folder + "/no/such/folder.ini", {header("s")}));
    EXPECT_FALSE(CIniFile::Save(folder, {header("s")}));
    EXPECT_FALSE(CIniFile::Save("", {header("s")}));

    // A read-only folder: tried by an unprivileged child, since root may write anywhere.
    const std::string locked = folder + "/locked";
    fs::create_directory(locked);
    const std::string target = locked + "/cfg.ini";
    write(target, "[s]\nk=1\n");
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(target, fs::perms::all);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0)
            ::_exit(3);
        ::_exit(CIniFile::SetValue("k", "2", "s", target) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(target), "[s]\nk=1\n");
    EXPECT_EQ(fs::directory_iterator(locked)->path().filename(), "cfg.ini");
}

TEST_F(IniFileTest, ReplacingKeepsPermissionsAndFollowsSymbolicLinks)
{
    write(file, "[s]\nk=1\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::string link = folder + "/link.ini";
    fs::create_symlink(file, link);
    ASSERT_TRUE(CIniFile::SetValue("k", "2", "s", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(file), " [s]\r\n k=2\r\n");
    EXPECT_EQ(fs::status(file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniFileTest, ALinkSomeoneElseCouldHavePlantedIsReplacedNotFollowed)
{
    const std::string victim = folder + "/victim.ini";
    const std::string shared = folder + "/shared";
    const std::string link = shared + "/cfg.ini";
    fs::create_directory(shared);
    // A folder others may write (sticky or not), and a link we do not own in our own folder.
    for (const mode_t mode : {01777, 0777, 0770, 0700}) {
        write(victim, "[s]\nk=precious\n");
        fs::remove(link);
        fs::create_symlink(victim, link);
        ::chmod(shared.c_str(), mode);
        if (mode == 0700 && (::geteuid() != 0 || ::lchown(link.c_str(), 65534, 65534) != 0))
            GTEST_SKIP() << "only root can give a link to another user";
        ASSERT_TRUE(CIniFile::SetValue("k", "2", "s", link)) << std::oct << mode;
        EXPECT_EQ(read(victim), "[s]\nk=precious\n") << std::oct << mode;
        EXPECT_FALSE(fs::is_symlink(link)) << std::oct << mode;
        EXPECT_EQ(read(link), " [s]\r\n k=2\r\n");
    }
}
