// Feeds arbitrary bytes to the TI-TXT reading of the loader library: the line
// reader on a text and on a file, BSL_readTI_Text, the block-by-block file
// calls the erase and the verification use, and the image check made before
// an upgrade. Each must agree with a plain reading of the format below, and
// the text and file readers with each other.
//
// Byte 0 chooses the block size; the rest is the image.
#include "memory_file.h"
#include "loader/bsl430.h"
#include "firmware/image_check.h"
#include "loader/ti_txt.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using vardo::loader::TiTxtLine;
using vardo::loader::TiTxtReader;

using vardo::fuzz::MemoryFile;

struct Byte {
    std::uint64_t address;
    std::uint8_t value;
};

struct Reading {
    bool wellFormed = false;
    std::vector<Byte> bytes;  // those before the end or the first bad line
};

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

// The format as a user's image file has it: LF-separated lines of at most 256
// characters, trimmed of blanks, tabs and CR; "@" and 1-8 hex digits opens a
// section; data lines hold 1-16 two-digit hex bytes between blanks; "q" or
// "Q" ends the image; blank lines are skipped.
Reading readImage(std::string_view text)
{
    Reading r;
    bool haveAddress = false;
    std::uint64_t address = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 256)
            return r;
        while (!line.empty() && (isBlank(line.front()) || line.front() == '\r'))
            line.remove_prefix(1);
        while (!line.empty() && (isBlank(line.back()) || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (line == "q" || line == "Q") {
            r.wellFormed = true;
            return r;
        }
        if (line.front() == '@') {
            const std::string_view digits = line.substr(1);
            if (digits.empty() || digits.size() > 8)
                return r;
            address = 0;
            for (char c : digits) {
                if (hexValue(c) < 0)
                    return r;
                address = address * 16 + static_cast<std::uint64_t>(hexValue(c));
            }
            haveAddress = true;
            continue;
        }
        if (!haveAddress)
            return r;
        std::vector<std::uint8_t> values;
        std::size_t i = 0;
        while (i < line.size()) {
            const std::size_t start = i;
            while (i < line.size() && !isBlank(line[i]))
                ++i;
            const std::string_view token = line.substr(start, i - start);
            if (token.size() != 2 || hexValue(token[0]) < 0 || hexValue(token[1]) < 0
                || values.size() == 16)
                return r;
            values.push_back(static_cast<std::uint8_t>(hexValue(token[0]) * 16 + hexValue(token[1])));
            while (i < line.size() && isBlank(line[i]))
                ++i;
        }
        if (address + values.size() > 0x100000000ULL)
            return r;
        for (std::uint8_t v : values)
            r.bytes.push_back({address++, v});
    }
    return r;
}

// Where the next block must end: at a gap, at maxBytes, or (maxBytes a power
// of two) at a multiple of maxBytes.
std::size_t blockLength(const std::vector<Byte>& bytes, std::size_t from, std::size_t maxBytes)
{
    const bool aligned = (maxBytes & (maxBytes - 1)) == 0;
    std::size_t n = 0;
    while (from + n < bytes.size() && n < maxBytes) {
        const std::uint64_t at = bytes[from + n].address;
        if (at != bytes[from].address + n)
            break;
        if (aligned && n > 0 && at % maxBytes == 0)
            break;
        ++n;
    }
    return n;
}

bool sameBlock(const DataBlock_& b, const std::vector<Byte>& bytes, std::size_t from, std::size_t n)
{
    if (b.length != n)
        return false;
    if (n == 0)
        return true;
    if (b.startAddress != bytes[from].address)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (b.data[i] != bytes[from + i].value)
            return false;
    return true;
}

void compareReaders(std::string_view text, const std::string& path)
{
    auto fromText = TiTxtReader::fromText(text);
    auto fromFile = TiTxtReader::fromFile(path);
    if (!fromFile)
        std::abort();
    for (;;) {
        TiTxtLine a, b;
        const auto sa = fromText->next(a);
        const auto sb = fromFile->next(b);
        if (sa != sb || fromText->error() != fromFile->error()
            || fromText->lineNumber() != fromFile->lineNumber())
            std::abort();
        if (sa != TiTxtReader::Step::Data)
            break;
        if (a.address != b.address || a.count != b.count || a.count == 0 || a.count > 16
            || !std::equal(a.bytes, a.bytes + a.count, b.bytes))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const MemoryFile file;
    static constexpr std::int32_t kSizes[8] = {32, 512, 5000, 10240, 1, 7, 65536, 0};
    if (size < 1)
        return 0;
    const std::int32_t maxBytes = kSizes[data[0] & 7];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    file.fill(text);

    const Reading reading = readImage(text);
    if (vardo::loader::checkTiTxtText(text).empty() != reading.wellFormed)
        std::abort();
    compareReaders(text, file.path);

    // BSL_readTI_Text sees the text up to its first NUL.
    const std::string cText(text.substr(0, text.find('\0')));
    const Reading cReading = readImage(cText);
    auto block = std::make_unique<DataBlock_>();
    *block = BSL_readTI_Text(cText.c_str(), maxBytes);
    const std::size_t limit = maxBytes <= 0 ? 0 : std::min<std::size_t>(maxBytes, sizeof block->data);
    const std::size_t first = limit ? blockLength(cReading.bytes, 0, limit) : 0;
    // A malformed text may also give no block at all.
    if (!sameBlock(*block, cReading.bytes, 0, first) && (cReading.wellFormed || block->length != 0))
        std::abort();

    // The file calls, as the erase and the verification use them.
    if (BSL_openTI_TextForRead(file.path.c_str()) != 0)
        std::abort();
    std::size_t at = 0;
    if (limit == 0 && BSL_readTI_TextFile(maxBytes).length != 0)
        std::abort();
    while (limit && BSL_moreDataToRead_TextFile()) {
        *block = BSL_readTI_TextFile(maxBytes);
        const std::size_t n = limit ? blockLength(reading.bytes, at, limit) : 0;
        if (n == 0 || !sameBlock(*block, reading.bytes, at, n))
            std::abort();
        at += n;
        if (at > reading.bytes.size())
            std::abort();
    }
    if (limit && at != reading.bytes.size())
        std::abort();
    BSL_closeTI_Text();

    // The image check before an upgrade: well formed, every byte in the
    // encoder's flash and given once, at least one byte, a reset vector.
    const auto check = vardo::firmware::checkFirmwareFile(file.path);
    bool fits = reading.wellFormed && !reading.bytes.empty();
    std::set<std::uint64_t> seen;
    for (const Byte& b : reading.bytes) {
        if (!fits)
            break;
        fits = b.address >= 0x4400 && b.address <= 0xFFFF && seen.insert(b.address).second;
    }
    fits = fits && seen.count(0xFFFE) && seen.count(0xFFFF);  // a reset vector
    // ... into the image's own code: even, below the vector table, and written.
    unsigned vector = 0;
    for (const Byte& b : reading.bytes)
        if (b.address >= 0xFFFE && b.address <= 0xFFFF)
            vector |= unsigned{b.value} << (b.address == 0xFFFF ? 8 : 0);
    fits = fits && vector % 2 == 0 && vector < 0xFFE0 && seen.count(vector);
    if (check.result == vardo::firmware::ImageCheck::CannotOpen)
        std::abort();
    if ((check.result == vardo::firmware::ImageCheck::Ok) != fits)
        std::abort();
    if (!fits && check.reason.empty())
        std::abort();
    return 0;
}
