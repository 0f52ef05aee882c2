#include "config/inifile.h"

#include <algorithm>
#include <iterator>
#include <set>

#include "platform/atomic_file.h"

namespace vardo::config {

void Trim(std::string& str, const std::string& ChrsToTrim, int TrimDir)
{
    const bool fromStart = TrimDir != 2;
    const bool fromEnd = TrimDir != 1;
    if (fromEnd) {
        const auto last = str.find_last_not_of(ChrsToTrim);
        str.erase(last == std::string::npos ? 0 : last + 1);
    }
    if (fromStart)
        str.erase(0, std::min(str.find_first_not_of(ChrsToTrim), str.size()));
}

namespace {

using Records = std::vector<Record>;

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

bool isCommentMark(char c) { return c == CIniFile::Hash || c == CIniFile::Semicolon; }

// ---- Shared steps of the operations ------------------------------------------

template <typename Pred>
Records::iterator findFirst(Records& records, Pred pred)
{
    return std::find_if(records.begin(), records.end(), pred);
}

bool anyWithSection(const Records& records, const std::string& section)
{
    return std::any_of(records.begin(), records.end(), CIniFile::RecordSectionIs(section));
}

std::string withFinalLineFeed(std::string comments)
{
    if (!comments.empty() && comments.back() != '\n')
        comments += '\n';
    return comments;
}

} // namespace

// ---- Text form -------------------------------------------------------------

void parseIniText(std::string_view text, std::vector<Record>& content)
{
    static const std::string blanks = " \t\n\r";
    Records records;
    std::string pending;  // comment block waiting for its record
    std::string section;  // section of the nearest header above
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    while (start < text.size()) {
        ++lineNumber;
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string line(text.substr(start, end - start));
        start = end + 1;

        Trim(line, blanks, 0);
        if (line.empty())
            continue;

        char mark = ' ';
        std::string body = line;
        if (isCommentMark(line[0])) {
            body.erase(0, 1);
            Trim(body, blanks, 0);
            if (body.empty() || (body[0] != '[' && body.find('=') == std::string::npos)) {
                pending += line;
                pending += '\n';
                continue;
            }
            mark = line[0];
        }

        Record record;
        if (body[0] == '[') {
            const auto close = body.find(']');
            if (close == std::string::npos)
                throw IniFormatError("INI section line without ']': " + line.substr(0, 80), lineNumber);
            section = body.substr(1, close - 1);
            record.Section = section;
        } else {
            const auto eq = body.find('=');
            if (eq == std::string::npos || eq == 0) {
                // A bare word or a key line without a key: no record can hold it, so
                // it travels as a line of the next record's comment block.
                pending += line;
                pending += '\n';
                continue;
            }
            record.Section = section;
            record.Key = body.substr(0, eq);
            record.Value = body.substr(eq + 1);
        }
        record.Comments = std::move(pending);
        pending.clear();
        record.CommentMark = mark;
        records.push_back(std::move(record));
    }
    content = std::move(records);
}

namespace {

void appendRecordLine(std::string& out, const Record& r)
{
    if (r.Key.empty()) {
        out += '[';
        out += r.Section;
        out += ']';
    } else {
        out += r.Key;
        out += '=';
        out += r.Value;
    }
}

} // namespace

std::string formatIniText(const std::vector<Record>& content)
{
    std::string out;
    for (const Record& r : content) {
        for (char c : r.Comments) {
            if (c == '\n')
                out += '\r';
            out += c;
        }
        out += r.CommentMark;
        appendRecordLine(out, r);
        out += "\r\n";
    }
    return out;
}

// ---- CIniFile --------------------------------------------------------------

CIniFile::~CIniFile() = default;

bool CIniFile::Load(const std::string& fileName, std::vector<Record>& content)
{
    std::string text;
    if (!platform::readRegularFile(fileName, text))
        return false;
    parseIniText(text, content);
    return true;
}

bool CIniFile::Save(const std::string& fileName, const std::vector<Record>& content)
{
    return platform::replaceFile(fileName, formatIniText(content));
}

bool CIniFile::Create(const std::string& fileName) { return Save(fileName, {}); }

std::string CIniFile::Content(const std::string& fileName)
{
    Records records;
    if (!Load(fileName, records))
        return {};
    std::string out;
    for (const Record& r : records) {
        out += r.Comments;
        if (r.CommentMark != ' ')
            out += r.CommentMark;
        appendRecordLine(out, r);
        out += '\n';
    }
    return out;
}

std::vector<std::string> CIniFile::GetSectionNames(const std::string& fileName)
{
    std::vector<std::string> names;
    for (const Record& r : GetSections(fileName))
        names.push_back(r.Section);
    return names;
}

std::vector<Record> CIniFile::GetSections(const std::string& fileName)
{
    Records records;
    Records headers;
    if (Load(fileName, records))
        std::copy_if(records.begin(), records.end(), std::back_inserter(headers),
                     [](const Record& r) { return r.Key.empty(); });
    return headers;
}

std::vector<Record> CIniFile::GetSection(const std::string& SectionName, const std::string& fileName)
{
    Records records;
    Records keys;
    if (Load(fileName, records))
        std::copy_if(records.begin(), records.end(), std::back_inserter(keys),
                     [&](const Record& r) { return r.Section == SectionName && !r.Key.empty(); });
    return keys;
}

std::vector<Record> CIniFile::GetRecord(const std::string& KeyName, const std::string& SectionName,
                                        const std::string& fileName)
{
    Records records;
    if (!Load(fileName, records))
        return {};
    const auto it = findFirst(records, RecordSectionKeyIs(SectionName, KeyName));
    if (it == records.end())
        return {};
    return {*it};
}

std::string CIniFile::GetValue(const std::string& KeyName, const std::string& SectionName,
                               const std::string& fileName)
{
    const Records found = GetRecord(KeyName, SectionName, fileName);
    return found.empty() ? std::string() : found.front().Value;
}

bool CIniFile::RecordExists(const std::string& KeyName, const std::string& SectionName,
                            const std::string& fileName)
{
    Records records;
    if (!Load(fileName, records))
        return true;
    return std::any_of(records.begin(), records.end(), RecordSectionKeyIs(SectionName, KeyName));
}

bool CIniFile::SectionExists(const std::string& SectionName, const std::string& fileName)
{
    Records records;
    if (!Load(fileName, records))
        return true;
    return anyWithSection(records, SectionName);
}

namespace {

// The common shape of every change: load, let edit change the records, save.
// edit returns false when it found nothing to change: then nothing is written.
template <typename Edit>
bool editFile(const std::string& fileName, Edit edit)
{
    Records records;
    if (!CIniFile::Load(fileName, records) || !edit(records))
        return false;
    return CIniFile::Save(fileName, records);
}

// Applies change to the first record that match accepts; false when none does.
template <typename Match, typename Change>
bool changeFirst(Records& records, Match match, Change change)
{
    const auto it = findFirst(records, match);
    if (it == records.end())
        return false;
    change(*it);
    return true;
}

// Applies change to every record of the section (header and keys); always true.
template <typename Change>
bool changeSection(Records& records, const std::string& SectionName, Change change)
{
    for (Record& r : records)
        if (r.Section == SectionName)
            change(r);
    return true;
}

Record headerRecord(const std::string& SectionName)
{
    Record header;
    header.Section = SectionName;
    return header;
}

} // namespace

void setValueIn(std::vector<Record>& records, const std::string& KeyName, const std::string& Value,
                const std::string& SectionName)
{
    Record key;
    key.Section = SectionName;
    key.Key = KeyName;
    key.Value = Value;
    if (!anyWithSection(records, SectionName)) {
        records.push_back(headerRecord(SectionName));
        records.push_back(std::move(key));
    } else if (auto it = findFirst(records, CIniFile::RecordSectionKeyIs(SectionName, KeyName));
               it != records.end()) {
        it->Value = Value;
    } else {
        const auto first = findFirst(records, CIniFile::RecordSectionIs(SectionName));
        records.insert(first + 1, std::move(key));
    }
}

bool CIniFile::SetValue(const std::string& KeyName, const std::string& Value, const std::string& SectionName,
                        const std::string& fileName)
{
    if (KeyName.empty() || hasLineBreak(KeyName) || hasLineBreak(Value) || hasLineBreak(SectionName))
        return false;
    return editFile(fileName, [&](Records& records) {
        setValueIn(records, KeyName, Value, SectionName);
        return true;
    });
}

bool CIniFile::AddSection(const std::string& SectionName, const std::string& fileName)
{
    if (hasLineBreak(SectionName))
        return false;
    return editFile(fileName, [&](Records& records) {
        records.push_back(headerRecord(SectionName));
        return true;
    });
}

bool CIniFile::RenameSection(const std::string& OldSectionName, const std::string& NewSectionName,
                             const std::string& fileName)
{
    if (hasLineBreak(NewSectionName))
        return false;
    return editFile(fileName, [&](Records& records) {
        return changeSection(records, OldSectionName, [&](Record& r) { r.Section = NewSectionName; });
    });
}

bool CIniFile::CommentRecord(CommentChar cc, const std::string& KeyName, const std::string& SectionName,
                             const std::string& fileName)
{
    if (!isCommentMark(cc))
        return false;
    return editFile(fileName, [&](Records& records) {
        return changeFirst(records, RecordSectionKeyIs(SectionName, KeyName),
                           [&](Record& r) { r.CommentMark = cc; });
    });
}

bool CIniFile::UnCommentRecord(const std::string& KeyName, const std::string& SectionName,
                               const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        return changeFirst(records, RecordSectionKeyIs(SectionName, KeyName),
                           [](Record& r) { r.CommentMark = ' '; });
    });
}

bool CIniFile::CommentSection(char CommentChar, const std::string& SectionName, const std::string& fileName)
{
    if (!isCommentMark(CommentChar))
        return false;
    return editFile(fileName, [&](Records& records) {
        return changeSection(records, SectionName, [&](Record& r) { r.CommentMark = CommentChar; });
    });
}

bool CIniFile::UnCommentSection(const std::string& SectionName, const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        return changeSection(records, SectionName, [](Record& r) { r.CommentMark = ' '; });
    });
}

bool CIniFile::DeleteRecord(const std::string& KeyName, const std::string& SectionName,
                            const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        const auto it = findFirst(records, RecordSectionKeyIs(SectionName, KeyName));
        if (it == records.end())
            return false;
        records.erase(it);
        return true;
    });
}

bool CIniFile::DeleteSection(const std::string& SectionName, const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        std::erase_if(records, RecordSectionIs(SectionName));
        return true;
    });
}

bool CIniFile::SetSectionComments(const std::string& Comments, const std::string& SectionName,
                                  const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        return changeFirst(records,
                           [&](const Record& r) { return r.Section == SectionName && r.Key.empty(); },
                           [&](Record& r) { r.Comments = withFinalLineFeed(Comments); });
    });
}

bool CIniFile::SetRecordComments(const std::string& Comments, const std::string& KeyName,
                                 const std::string& SectionName, const std::string& fileName)
{
    return editFile(fileName, [&](Records& records) {
        return changeFirst(records, RecordSectionKeyIs(SectionName, KeyName),
                           [&](Record& r) { r.Comments = withFinalLineFeed(Comments); });
    });
}

bool CIniFile::Sort(const std::string& fileName, bool Descending)
{
    Records records;
    if (!Load(fileName, records))
        return false;

    std::vector<std::string> names;
    for (const Record& r : records)
        if (r.Key.empty())
            names.push_back(r.Section);
    if (names.empty())
        return false;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (Descending)
        std::reverse(names.begin(), names.end());

    auto sortedKeys = [&](auto keep) {
        Records keys;
        std::copy_if(records.begin(), records.end(), std::back_inserter(keys),
                     [&](const Record& r) { return !r.Key.empty() && keep(r); });
        if (Descending)
            std::stable_sort(keys.begin(), keys.end(), DescendingRecordSort());
        else
            std::stable_sort(keys.begin(), keys.end(), AscendingRecordSort());
        return keys;
    };

    Records sorted;
    sorted.reserve(records.size());
    // Keys whose section has no header (those above the first header) must stay
    // above every header to keep their section.
    const std::set<std::string> headerNames(names.begin(), names.end());
    for (Record& r : sortedKeys([&](const Record& r) { return !headerNames.contains(r.Section); }))
        sorted.push_back(std::move(r));
    for (const std::string& name : names) {
        for (const Record& r : records)
            if (r.Key.empty() && r.Section == name)
                sorted.push_back(r);
        for (Record& r : sortedKeys([&](const Record& r) { return r.Section == name; }))
            sorted.push_back(std::move(r));
    }
    return Save(fileName, sorted);
}

} // namespace vardo::config
