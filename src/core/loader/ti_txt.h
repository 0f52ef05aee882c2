#pragma once
// Streaming reader of TI-TXT images: "@ADDR" opens a section, data lines hold
// up to 16 two-digit hex bytes separated by blanks, "q" ends the image.
// Reads line by line from a text or a file; never holds more than one line.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::loader {

inline constexpr std::size_t kMaxBytesPerLine = 16;

struct TiTxtLine {
    std::uint32_t address = 0;
    std::uint8_t bytes[kMaxBytesPerLine] = {};
    std::size_t count = 0;
};

class TiTxtReader {
public:
    enum class Step { Data, End, Error };

    [[nodiscard]] static std::unique_ptr<TiTxtReader> fromText(std::string_view text);
    // Null when the file cannot be opened. path is the 8-bit (locale) path.
    [[nodiscard]] static std::unique_ptr<TiTxtReader> fromFile(const std::string& path);
    ~TiTxtReader();
    TiTxtReader(const TiTxtReader&) = delete;
    TiTxtReader& operator=(const TiTxtReader&) = delete;

    // The next data line. After End or Error every call repeats it.
    [[nodiscard]] Step next(TiTxtLine& line);

    // Why the image is malformed ("" when it is not), and the 1-based line number.
    const std::string& error() const { return error_; }
    int lineNumber() const { return lineNumber_; }

private:
    TiTxtReader() = default;
    bool readLine(std::string& out);
    Step fail(std::string why);

    std::string_view text_;
    std::size_t textPos_ = 0;
    std::FILE* file_ = nullptr;

    Step final_ = Step::Data;
    bool haveAddress_ = false;
    std::uint64_t address_ = 0;
    int lineNumber_ = 0;
    std::string error_;
};

// Cuts the stream of data lines into blocks of contiguous bytes, holding at
// most one line besides the block being filled.
class TiTxtBlockReader {
public:
    explicit TiTxtBlockReader(std::unique_ptr<TiTxtReader> reader);

    // True while bytes remain to be read.
    bool more();
    // The next block: bytes contiguous from *startAddress, at most maxBytes;
    // when maxBytes is a power of two a block does not cross a multiple of it.
    // Returns the byte count (0 when nothing remains).
    [[nodiscard]] std::size_t read(std::uint8_t* out, std::size_t maxBytes, std::uint32_t* startAddress);

    bool failed() const { return reader_->error().size() > 0; }
    const TiTxtReader& reader() const { return *reader_; }

private:
    bool fill();

    std::unique_ptr<TiTxtReader> reader_;
    TiTxtLine pending_;
    std::size_t pendingOffset_ = 0;
    bool havePending_ = false;
    bool exhausted_ = false;
};

// An image parsed once: its bytes as runs of contiguous addresses, in the
// text's order. What erases, writes and verifies an image cuts its blocks
// from one of these instead of reading the text again.
struct ImageRun {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};
using Image = std::vector<ImageRun>;

// Adds a data line's bytes to image, to its last run when they follow on.
void appendLine(Image& image, const TiTxtLine& line);

// Parses a whole text into image. "" when well formed, else "line N: why"
// (image then holds what came before).
[[nodiscard]] std::string parseTiTxt(std::string_view text, Image& image);

// Cuts an image into blocks exactly as TiTxtBlockReader cuts its text.
class ImageBlockReader {
public:
    explicit ImageBlockReader(const Image& image) : image_(image) {}
    bool more();
    [[nodiscard]] std::size_t read(std::uint8_t* out, std::size_t maxBytes, std::uint32_t* startAddress);
    bool failed() const { return false; }

private:
    const Image& image_;
    std::size_t run_ = 0;
    std::size_t offset_ = 0;
};

// Checks a whole image without keeping it. "" when well formed, else
// "line N: why". Does not judge addresses (see firmware/image_check.h).
[[nodiscard]] std::string checkTiTxtText(std::string_view text);

} // namespace vardo::loader
