#include "sim/encoder_images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vardo::sim {

namespace {

// A small deterministic generator: the images are the same on every build.
struct Lcg {
    std::uint32_t state;
    std::uint8_t next()
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(state >> 24);
    }
};

std::uint32_t hashOf(const std::string& text)
{
    std::uint32_t h = 2166136261u;
    for (unsigned char c : text)
        h = (h ^ c) * 16777619u;
    return h;
}

void putWord(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t w)
{
    v[at] = static_cast<std::uint8_t>(w);
    v[at + 1] = static_cast<std::uint8_t>(w >> 8);
}

constexpr std::uint32_t kCodeSize = 0x9800;    // 0x4400-0xDBFF
constexpr std::uint32_t kTables = 0xE000;
constexpr std::uint32_t kTablesSize = 0x1800;  // 0xE000-0xF7FF
constexpr std::uint16_t kEntryPoint = 0x4410;
constexpr std::uint16_t kDefaultHandler = 0x4420;
constexpr std::uint16_t kUsbHandler = 0x4480;
constexpr std::uint16_t kTimerHandler = 0x4500;

} // namespace

std::array<std::uint8_t, 32> encoderVectorTable()
{
    std::vector<std::uint8_t> v(32);
    for (std::size_t i = 0; i < 32; i += 2)
        putWord(v, i, kDefaultHandler);
    putWord(v, 0x0C, kTimerHandler);  // 0xFFEC
    putWord(v, 0x14, kUsbHandler);    // 0xFFF4
    putWord(v, 0x1E, kEntryPoint);    // 0xFFFE, the reset vector
    std::array<std::uint8_t, 32> out{};
    std::memcpy(out.data(), v.data(), 32);
    return out;
}

Image makeEncoderFirmware(const std::string& version)
{
    std::string v = version.substr(0, kVersionLength);
    v.resize(kVersionLength, ' ');
    Lcg rng{hashOf(v)};

    ImageSection code{kFlashStart, std::vector<std::uint8_t>(kCodeSize)};
    for (auto& b : code.bytes)
        b = rng.next();
    std::memcpy(code.bytes.data(), kVersionMarker, 8);
    std::memcpy(code.bytes.data() + 8, v.data(), kVersionLength);
    code.bytes[14] = 0;
    code.bytes[15] = 0;

    ImageSection tables{kTables, std::vector<std::uint8_t>(kTablesSize)};
    for (std::size_t i = 0; i < tables.bytes.size(); ++i)
        tables.bytes[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8)) ^ rng.next() % 4);

    const auto vectors = encoderVectorTable();
    ImageSection table{kVectorTable, std::vector<std::uint8_t>(vectors.begin(), vectors.end())};
    return {std::move(code), std::move(tables), std::move(table)};
}

Image makeRamLoader(const Version4& version)
{
    Lcg rng{0x5241u};
    ImageSection head{kRamLoaderStart, std::vector<std::uint8_t>(kRamLoaderHeadSize)};
    ImageSection body{kRamLoaderBody, std::vector<std::uint8_t>(kRamLoaderBodySize)};
    for (auto& b : head.bytes)
        b = rng.next();
    for (auto& b : body.bytes)
        b = rng.next();
    std::memcpy(head.bytes.data(), version.data(), 4);
    std::memcpy(head.bytes.data() + 4, kRamLoaderMarker, 4);
    std::uint16_t crc = crc16(head.bytes.data(), head.bytes.size());
    crc = crc16(body.bytes.data(), body.bytes.size() - 2, crc);
    putWord(body.bytes, body.bytes.size() - 2, crc);
    return {std::move(head), std::move(body)};
}

bool isRamLoader(const std::uint8_t* memory)
{
    if (std::memcmp(memory + kRamLoaderEntry, kRamLoaderMarker, 4) != 0)
        return false;
    std::uint16_t crc = crc16(memory + kRamLoaderStart, kRamLoaderHeadSize);
    crc = crc16(memory + kRamLoaderBody, kRamLoaderBodySize - 2, crc);
    const std::uint32_t last = kRamLoaderBody + kRamLoaderBodySize - 2;
    return crc == (memory[last] | memory[last + 1] << 8);
}

std::optional<std::string> firmwareVersionIn(const std::uint8_t* memory)
{
    if (std::memcmp(memory + kVersionRecord, kVersionMarker, 8) != 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(memory + kVersionRecord + 8), kVersionLength);
}

std::uint16_t crc16(const std::uint8_t* data, std::size_t length, std::uint16_t crc)
{
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::string toTiTxt(const Image& image, TrailingBlank trailingBlank)
{
    std::string out;
    char buf[16];
    for (const auto& section : image) {
        std::snprintf(buf, sizeof buf, "@%04X\r\n", static_cast<unsigned>(section.address));
        out += buf;
        const std::size_t n = section.bytes.size();
        for (std::size_t i = 0; i < n; i += 16) {
            const std::size_t count = std::min<std::size_t>(16, n - i);
            for (std::size_t k = 0; k < count; ++k) {
                std::snprintf(buf, sizeof buf, k ? " %02X" : "%02X", section.bytes[i + k]);
                out += buf;
            }
            if (trailingBlank == TrailingBlank::Always
                || (trailingBlank == TrailingBlank::ShortLines && count < 16))
                out += ' ';
            out += "\r\n";
        }
    }
    out += 'q';
    return out;
}

} // namespace vardo::sim
