#pragma once
// A small INI file store. Every operation reads the whole file, works on the
// record list in memory and, when it changes something, writes the whole file
// back. Nothing is cached, so each call sees the file as it is on disk.
//
// Reading. Lines are separated by LF; each is trimmed of blanks, tabs, CR and LF
// at both ends (so CR LF and LF files read alike; a lone CR is not a line end).
//   "[name]..."      section header; the name runs to the first "]", the rest of
//                    the line is dropped. A "[" line without "]" is a format error
//                    (IniFormatError, an std::out_of_range): the operation is
//                    abandoned and nothing is written. A line starting with "["
//                    is a header even when it holds "=", so a section name may
//                    contain "=" and reads back as written.
//   "key=value"      key record of the nearest header above; splits at the first
//                    "=", blanks next to the "=" stay in key and value.
//   "#..." / ";..."  a comment when the text after the mark (trimmed) neither
//                    starts with "[" nor holds "="; otherwise a commented-out
//                    header or key, parsed as above.
// Comment lines are kept with the record below them. A line that is none of the
// above (a bare word, or "=value" with no key) is kept the same way, as a line of
// that comment block, so a hand-edited file loses nothing at its next rewrite; it
// is written back as it stood and reads back the same. Blank lines, and comment
// or bare lines after the last record, are dropped.
//
// Writing. One line per record: its comment block (each line ending CR LF), its
// CommentMark (a space for an active record), then "[Section]" or "Key=Value",
// then CR LF. A file written here reads back to the same records and is written
// again byte for byte.
//
// A save never leaves a half-written file: it goes through platform::replaceFile
// (a temporary file beside the old one, synced and renamed over it), so a failed
// save leaves the old file as it was. Consequences: the folder must be writable;
// the new file keeps the old file's owner (when we may set it) and mode, but a
// hard link to the old file is not updated; a symbolic link is followed only
// when it and its target are ours in folders only we may write, otherwise the
// link itself is replaced. A target that exists and is not writable by us, or
// has no write permission bits at all (refused even for root), is not
// replaced, and neither is anything but a regular file: Save returns false.
//
// Loading reads regular files only; anything else (a folder, a device, a pipe)
// counts as a file that cannot be opened, and a pipe never blocks the load.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::config {

// Removes the characters of ChrsToTrim from str in place: TrimDir 1 from the
// start only, 2 from the end only, any other value (0) from both ends.
void Trim(std::string& str, const std::string& ChrsToTrim = " \t\n\r", int TrimDir = 0);

// The format error: a section line without "]". Catch std::out_of_range (or
// std::exception) to report it.
class IniFormatError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
    IniFormatError(const std::string& what, std::size_t line) : std::out_of_range(what), line_(line) {}
    // The damaged line, counted from 1 (LF-separated); 0 when not known.
    std::size_t line() const { return line_; }
private:
    std::size_t line_ = 0;
};

class CIniFile {
public:
    enum CommentChar : char { Hash = '#', Semicolon = ';' };

    // One header or key line. An empty Key marks a section header.
    struct Record {
        std::string Comments;   // comment lines above the record, each ending LF
        char CommentMark = ' '; // ' ' active, '#' or ';' commented out
        std::string Section;
        std::string Key;
        std::string Value;
        bool operator==(const Record&) const = default;
    };

    // Byte-wise, case-sensitive matches and orders (unsigned byte comparison).
    struct RecordSectionIs {
        std::string section;
        explicit RecordSectionIs(std::string Section) : section(std::move(Section)) {}
        bool operator()(const Record& r) const { return r.Section == section; }
    };
    struct RecordSectionKeyIs {
        std::string section;
        std::string key;
        RecordSectionKeyIs(std::string Section, std::string Key)
            : section(std::move(Section)), key(std::move(Key)) {}
        bool operator()(const Record& r) const { return r.Section == section && r.Key == key; }
    };
    struct AscendingSectionSort {
        bool operator()(const Record& a, const Record& b) const { return a.Section < b.Section; }
    };
    struct DescendingSectionSort {
        bool operator()(const Record& a, const Record& b) const { return b.Section < a.Section; }
    };
    struct AscendingRecordSort {
        bool operator()(const Record& a, const Record& b) const { return a.Key < b.Key; }
    };
    struct DescendingRecordSort {
        bool operator()(const Record& a, const Record& b) const { return b.Key < a.Key; }
    };

    CIniFile() = delete;
    virtual ~CIniFile();

    // Fills content with the file's records. False, content untouched, when the
    // file cannot be read. Throws IniFormatError (content untouched) on a
    // section line without "]". Every operation below that reads the file lets
    // that error through to its caller, having written nothing.
    static bool Load(const std::string& fileName, std::vector<Record>& content);

    // Replaces the file with the records (layout above). False when the text
    // could not be written completely and durably; the old file is then intact.
    static bool Save(const std::string& fileName, const std::vector<Record>& content);

    // Saves an empty list: a new empty file, or the old one emptied.
    static bool Create(const std::string& fileName);

    // The records as text with LF line ends and without the space of active
    // records; "" when the file cannot be read.
    static std::string Content(const std::string& fileName);

    // Reading: empty results when the file cannot be read.
    static std::vector<std::string> GetSectionNames(const std::string& fileName);
    static std::vector<Record> GetSections(const std::string& fileName);
    // The key records of the section (commented ones too), without headers.
    static std::vector<Record> GetSection(const std::string& SectionName, const std::string& fileName);
    // A copy of the first record with that section and key, or nothing.
    static std::vector<Record> GetRecord(const std::string& KeyName, const std::string& SectionName,
                                         const std::string& fileName);
    // Value of the first matching record, commented-out ones included; "" if none.
    static std::string GetValue(const std::string& KeyName, const std::string& SectionName,
                                const std::string& fileName);
    // Both return true when the file cannot be read.
    static bool RecordExists(const std::string& KeyName, const std::string& SectionName,
                             const std::string& fileName);
    static bool SectionExists(const std::string& SectionName, const std::string& fileName);

    // Changing: each loads the file first and returns false, writing nothing,
    // when it cannot be read; otherwise the result of Save. No call creates a
    // missing file except Create and Save.

    // Sets the value of the first matching record (a commented-out record stays
    // commented out). A new key goes right below the first record of its
    // section, or, with its header, at the end when the section is new. False,
    // nothing written, for an empty key or a CR or LF in key, value or section:
    // such a record could not be read back and would break the lines around it.
    static bool SetValue(const std::string& KeyName, const std::string& Value,
                         const std::string& SectionName, const std::string& fileName);
    // Appends a header even when the section exists. False for a name with CR or LF.
    static bool AddSection(const std::string& SectionName, const std::string& fileName);
    // Renames every record of the section; saved even when none matched.
    // False for a new name with CR or LF.
    static bool RenameSection(const std::string& OldSectionName, const std::string& NewSectionName,
                              const std::string& fileName);
    // False when no record matches, or cc is not '#' or ';'.
    static bool CommentRecord(CommentChar cc, const std::string& KeyName, const std::string& SectionName,
                              const std::string& fileName);
    static bool UnCommentRecord(const std::string& KeyName, const std::string& SectionName,
                                const std::string& fileName);
    // Marks every record of the section; saved even when none matched. False,
    // nothing written, unless CommentChar is '#' or ';': any other mark would
    // not read back as a commented-out record.
    static bool CommentSection(char CommentChar, const std::string& SectionName, const std::string& fileName);
    static bool UnCommentSection(const std::string& SectionName, const std::string& fileName);
    // Removes the first matching record with its comments; false when none.
    static bool DeleteRecord(const std::string& KeyName, const std::string& SectionName,
                             const std::string& fileName);
    // Removes every record of the section; saved even when none matched.
    static bool DeleteSection(const std::string& SectionName, const std::string& fileName);
    // Comments of the first header / first matching record; false when none.
    // A non-empty text gets a final LF if it lacks one; each of its lines should
    // start with '#' or ';' to read back as comments.
    static bool SetSectionComments(const std::string& Comments, const std::string& SectionName,
                                   const std::string& fileName);
    static bool SetRecordComments(const std::string& Comments, const std::string& KeyName,
                                  const std::string& SectionName, const std::string& fileName);

    // Sorts sections by name and the keys of each section by key; false, nothing
    // written, when the file has no header. Equal names keep their file order.
    // Odd files lose nothing: keys before the first header stay at the top (when
    // no "[]" header exists to own them), and a section with several headers
    // gets all of its headers, in file order, followed by all of its keys.
    static bool Sort(const std::string& fileName, bool Descending);
};

using Record = CIniFile::Record;

// The in-memory halves of Load and Save, for callers that hold the text.
// parseIniText throws IniFormatError and then leaves content untouched.
void parseIniText(std::string_view text, std::vector<Record>& content);
std::string formatIniText(const std::vector<Record>& content);
// SetValue's change on records in memory (the caller checks for line breaks).
void setValueIn(std::vector<Record>& records, const std::string& KeyName, const std::string& Value,
                const std::string& SectionName);

} // namespace vardo::config
