#include "firmware/image_check.h"

#include "firmware/image_file.h"
#include "loader/ti_txt.h"

#include <bitset>
#include <cstdio>
#include <memory>

namespace vardo::firmware {

namespace {

// The interrupt vectors, the last 32 bytes of the flash: no code there.
constexpr std::uint32_t kVectorTableStart = 0xFFE0;

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
    return buf;
}

} // namespace

ImageCheckResult checkFirmwareText(const std::string& text, loader::Image* parsed)
{
    auto reader = loader::TiTxtReader::fromText(text);
    // One bit a flash address finds a byte given twice.
    auto seen = std::make_unique<std::bitset<0x10000>>();
    // The bytes are kept as they are checked: nothing reads the text again.
    loader::Image image;
    std::size_t total = 0;
    unsigned resetVector = 0;  // the word at 0xFFFE, once both bytes are seen
    loader::TiTxtLine line;
    loader::TiTxtReader::Step step;
    while ((step = reader->next(line)) == loader::TiTxtReader::Step::Data) {
        const std::string at = "line " + std::to_string(reader->lineNumber()) + ": ";
        for (std::size_t i = 0; i < line.count; ++i) {
            const std::uint64_t a = std::uint64_t{line.address} + i;
            if (a < kEncoderFlashStart || a > kEncoderFlashEnd)
                return {ImageCheck::Malformed,
                        at + "address " + hex(static_cast<std::uint32_t>(a))
                            + " lies outside the encoder's flash (" + hex(kEncoderFlashStart) + "-"
                            + hex(kEncoderFlashEnd) + ")"};
            if (seen->test(static_cast<std::size_t>(a)))
                return {ImageCheck::Malformed,
                        at + "address " + hex(static_cast<std::uint32_t>(a)) + " is given twice"};
            seen->set(static_cast<std::size_t>(a));
            if (a >= kEncoderFlashEnd - 1)
                resetVector |= unsigned{line.bytes[i]} << (a == kEncoderFlashEnd ? 8 : 0);
        }
        total += line.count;
        loader::appendLine(image, line);
    }
    if (step == loader::TiTxtReader::Step::Error)
        return {ImageCheck::Malformed, reader->error()};
    if (total == 0)
        return {ImageCheck::Malformed, "the image holds no data"};
    // Without one the encoder would only ever start its loader again.
    if (!seen->test(kEncoderFlashEnd - 1) || !seen->test(kEncoderFlashEnd))
        return {ImageCheck::Malformed, "the image has no reset vector (nothing at 0xFFFE-0xFFFF)"};
    // An erased vector (0xFFFF), or one into nothing the image writes, would
    // leave the encoder in its loader after the restart.
    if (resetVector % 2 || resetVector >= kVectorTableStart || !seen->test(resetVector))
        return {ImageCheck::Malformed, "the reset vector " + hex(resetVector) + " points outside the image's code"};
    if (parsed)
        *parsed = std::move(image);
    return {};
}

ImageCheckResult checkFirmwareImage(FirmwareImage& image)
{
    image.checked = false;
    ImageCheckResult r = checkFirmwareText(image.text, &image.blocks);
    image.checked = r.result == ImageCheck::Ok;
    return r;
}

ImageCheckResult loadFirmwareImage(const std::string& path, FirmwareImage& image)
{
    image.path = path;
    switch (readWholeFile(path, image.text)) {
    case FileRead::Ok:
        return checkFirmwareImage(image);
    case FileRead::Folder:
        return {ImageCheck::Folder, "it is a folder"};
    case FileRead::NotAFile:
        return {ImageCheck::NotAFile, "it is not a file"};
    case FileRead::TooLarge:
        return {ImageCheck::Malformed, "the file is far too long for a firmware image"};
    case FileRead::CannotOpen:
        break;
    }
    return {ImageCheck::CannotOpen, {}};
}

ImageCheckResult checkFirmwareFile(const std::string& path)
{
    FirmwareImage image;
    return loadFirmwareImage(path, image);
}

std::string imageFirmwareVersion(const FirmwareImage& image)
{
    constexpr std::size_t kMarker = sizeof kFirmwareVersionMarker - 1;
    constexpr std::size_t kVersion = 6;
    std::string record(kMarker + kVersion, '\0');
    std::size_t found = 0;
    for (const auto& run : image.blocks) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            const std::uint32_t at = kEncoderFlashStart + static_cast<std::uint32_t>(i);
            if (at >= run.address && at - run.address < run.bytes.size()) {
                record[i] = static_cast<char>(run.bytes[at - run.address]);
                ++found;
            }
        }
    }
    if (found != record.size() || record.compare(0, kMarker, kFirmwareVersionMarker) != 0)
        return {};
    std::string version = record.substr(kMarker);
    for (const char c : version) {
        if (c < 0x20 || c > 0x7E)
            return {};
    }
    return version;
}

} // namespace vardo::firmware
