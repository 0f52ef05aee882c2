#include "loader/ti_txt.h"

#include <algorithm>
#include <cstring>

namespace vardo::loader {

namespace {

// Longest line we accept: 16 bytes with generous blanks. Longer is malformed,
// and the limit keeps a binary file from filling memory.
constexpr std::size_t kMaxLineLength = 256;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The text in double quotes (built by appending: GCC 12 misjudges "x" + string at -O2).
std::string quoted(std::string_view text)
{
    std::string q;
    q.reserve(text.size() + 2);
    q += '"';
    q.append(text);
    q += '"';
    return q;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::unique_ptr<TiTxtReader> TiTxtReader::fromText(std::string_view text)
{
    std::unique_ptr<TiTxtReader> r(new TiTxtReader);
    r->text_ = text;
    return r;
}

std::unique_ptr<TiTxtReader> TiTxtReader::fromFile(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return nullptr;
    std::unique_ptr<TiTxtReader> r(new TiTxtReader);
    r->file_ = f;
    return r;
}

TiTxtReader::~TiTxtReader()
{
    if (file_)
        std::fclose(file_);
}

// One line without its LF; false at the end of the input. An over-long line
// is returned cut to kMaxLineLength + 1 characters so the parser rejects it.
bool TiTxtReader::readLine(std::string& out)
{
    out.clear();
    if (file_) {
        int c = std::fgetc(file_);
        if (c == EOF)
            return false;
        while (c != EOF && c != '\n') {
            if (out.size() <= kMaxLineLength)
                out.push_back(static_cast<char>(c));
            c = std::fgetc(file_);
        }
        return true;
    }
    if (textPos_ >= text_.size())
        return false;
    std::size_t end = text_.find('\n', textPos_);
    if (end == std::string_view::npos)
        end = text_.size();
    std::string_view line = text_.substr(textPos_, end - textPos_);
    out.assign(line.substr(0, kMaxLineLength + 1));
    textPos_ = end + 1;
    return true;
}

TiTxtReader::Step TiTxtReader::fail(std::string why)
{
    error_ = "line " + std::to_string(lineNumber_) + ": " + std::move(why);
    final_ = Step::Error;
    return final_;
}

TiTxtReader::Step TiTxtReader::next(TiTxtLine& line)
{
    if (final_ != Step::Data)
        return final_;
    std::string raw;
    for (;;) {
        if (!readLine(raw)) {
            ++lineNumber_;
            return fail("the image does not end with \"q\"");
        }
        ++lineNumber_;
        if (raw.size() > kMaxLineLength)
            return fail("line too long");
        std::string_view s = trim(raw);
        if (s.empty())
            continue;
        if (s == "q" || s == "Q") {
            final_ = Step::End;
            return final_;
        }
        if (s.front() == '@') {
            std::string_view digits = s.substr(1);
            if (digits.empty() || digits.size() > 8)
                return fail("bad address " + quoted(s));
            std::uint64_t a = 0;
            for (char c : digits) {
                int v = hexValue(c);
                if (v < 0)
                    return fail("bad hexadecimal digit in address " + quoted(s));
                a = a * 16 + static_cast<std::uint64_t>(v);
            }
            address_ = a;
            haveAddress_ = true;
            continue;
        }
        if (!haveAddress_)
            return fail("data before the first \"@\" address line");

        line.count = 0;
        std::size_t i = 0;
        while (i < s.size()) {
            std::size_t start = i;
            while (i < s.size() && !isBlank(s[i]))
                ++i;
            std::string_view token = s.substr(start, i - start);
            if (token.size() != 2)
                return fail(quoted(token) + " is not a two-digit byte");
            int hi = hexValue(token[0]);
            int lo = hexValue(token[1]);
            if (hi < 0 || lo < 0)
                return fail("bad hexadecimal digit in " + quoted(token));
            if (line.count == kMaxBytesPerLine)
                return fail("more than 16 bytes on one line");
            line.bytes[line.count++] = static_cast<std::uint8_t>(hi * 16 + lo);
            while (i < s.size() && isBlank(s[i]))
                ++i;
        }
        if (address_ + line.count > 0x100000000ULL)
            return fail("addresses beyond 0xFFFFFFFF");
        line.address = static_cast<std::uint32_t>(address_);
        address_ += line.count;
        return Step::Data;
    }
}

TiTxtBlockReader::TiTxtBlockReader(std::unique_ptr<TiTxtReader> reader) : reader_(std::move(reader))
{
}

bool TiTxtBlockReader::fill()
{
    if (havePending_ && pendingOffset_ < pending_.count)
        return true;
    havePending_ = false;
    if (exhausted_)
        return false;
    while (reader_->next(pending_) == TiTxtReader::Step::Data) {
        if (pending_.count == 0)
            continue;
        pendingOffset_ = 0;
        havePending_ = true;
        return true;
    }
    exhausted_ = true;
    return false;
}

bool TiTxtBlockReader::more() { return fill(); }

std::size_t TiTxtBlockReader::read(std::uint8_t* out, std::size_t maxBytes,
                                   std::uint32_t* startAddress)
{
    if (maxBytes == 0 || !fill())
        return 0;
    const bool aligned = (maxBytes & (maxBytes - 1)) == 0;
    const std::uint64_t start = std::uint64_t{pending_.address} + pendingOffset_;
    *startAddress = static_cast<std::uint32_t>(start);
    std::size_t length = 0;
    while (length < maxBytes && fill()) {
        const std::uint64_t at = std::uint64_t{pending_.address} + pendingOffset_;
        if (at != start + length)
            break;  // a gap: the next section starts a new block
        if (aligned && length > 0 && at % maxBytes == 0)
            break;
        std::size_t take = std::min(pending_.count - pendingOffset_, maxBytes - length);
        if (aligned) {
            const std::uint64_t toBoundary = maxBytes - at % maxBytes;
            take = static_cast<std::size_t>(std::min<std::uint64_t>(take, toBoundary));
        }
        std::memcpy(out + length, pending_.bytes + pendingOffset_, take);
        length += take;
        pendingOffset_ += take;
    }
    return length;
}

void appendLine(Image& image, const TiTxtLine& line)
{
    if (line.count == 0)
        return;
    if (image.empty() || std::uint64_t{image.back().address} + image.back().bytes.size() != line.address)
        image.push_back({line.address, {}});
    image.back().bytes.insert(image.back().bytes.end(), line.bytes, line.bytes + line.count);
}

std::string parseTiTxt(std::string_view text, Image& image)
{
    image.clear();
    auto reader = TiTxtReader::fromText(text);
    TiTxtLine line;
    TiTxtReader::Step step;
    while ((step = reader->next(line)) == TiTxtReader::Step::Data)
        appendLine(image, line);
    return step == TiTxtReader::Step::End ? std::string() : reader->error();
}

bool ImageBlockReader::more()
{
    while (run_ < image_.size() && offset_ >= image_[run_].bytes.size()) {
        ++run_;
        offset_ = 0;
    }
    return run_ < image_.size();
}

std::size_t ImageBlockReader::read(std::uint8_t* out, std::size_t maxBytes, std::uint32_t* startAddress)
{
    if (maxBytes == 0 || !more())
        return 0;
    const ImageRun& run = image_[run_];
    const std::uint64_t at = std::uint64_t{run.address} + offset_;
    *startAddress = static_cast<std::uint32_t>(at);
    std::size_t take = std::min(run.bytes.size() - offset_, maxBytes);
    // A power-of-two size cuts at its multiples, as a flash segment does.
    if ((maxBytes & (maxBytes - 1)) == 0)
        take = static_cast<std::size_t>(std::min<std::uint64_t>(take, maxBytes - at % maxBytes));
    std::memcpy(out, run.bytes.data() + offset_, take);
    offset_ += take;
    return take;
}

std::string checkTiTxtText(std::string_view text)
{
    auto reader = TiTxtReader::fromText(text);
    TiTxtLine line;
    TiTxtReader::Step step;
    while ((step = reader->next(line)) == TiTxtReader::Step::Data) {
    }
    return step == TiTxtReader::Step::End ? std::string() : reader->error();
}

} // namespace vardo::loader
