#include "firmware/image_check.h"

#include "loader/ti_txt.h"

#include <bitset>
#include <cstdio>
#include <memory>

namespace vardo::firmware {

namespace {

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
    return buf;
}

} // namespace

ImageCheckResult checkFirmwareFile(const std::string& path)
{
    auto reader = loader::TiTxtReader::fromFile(path);
    if (!reader)
        return {ImageCheck::CannotOpen, {}};
    // One bit a flash address: enough to find a byte given twice without
    // keeping the image.
    auto seen = std::make_unique<std::bitset<0x10000>>();
    std::size_t total = 0;
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
        }
        total += line.count;
    }
    if (step == loader::TiTxtReader::Step::Error)
        return {ImageCheck::Malformed, reader->error()};
    if (total == 0)
        return {ImageCheck::Malformed, "the image holds no data"};
    return {};
}

} // namespace vardo::firmware
