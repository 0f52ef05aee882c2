#include "firmware/firmware_checks.h"

#include "firmware/crc.h"
#include "loader/text_file_state.h"
#include "loader/ti_txt.h"

#include <memory>

void StringToChar(std::u16string_view str, char* character)
{
    for (std::size_t i = 0; i < str.size(); ++i)
        character[i] = static_cast<char>(str[i] & 0xFF);
}

std::uint32_t Calculate_CRC(const DataBlock_& data)
{
    CRC crc(0xFFFF);
    const std::uint32_t n = data.length < sizeof data.data ? data.length : sizeof data.data;
    for (std::uint32_t i = 0; i < n; ++i)
        crc.CrcInput(data.data[i]);
    return crc.GetCrcValue();
}

namespace {

constexpr std::int32_t kEraseBlockBytes = 512;
constexpr std::int32_t kVerifyBlockBytes = 5000;

std::uint32_t loaderCrc(vardo::loader::Connection& connection, std::uint32_t addr, std::uint32_t length,
                        vardo::loader::Result& result)
{
    std::uint16_t crc = 0;
    result = connection.crc(addr, length, crc);
    return result == vardo::loader::Result::Ok ? crc : 0xFFFFFFFFu;
}

// The blocks of an image: the library's file calls or a text in memory.
struct FileBlocks {
    bool more() { return BSL_moreDataToRead_TextFile() != 0; }
    void read(DataBlock_& b, std::int32_t max) { b = BSL_readTI_TextFile(max); }
    bool failed() { return vardo::loader::textFileFailed(); }
    ~FileBlocks() { BSL_closeTI_Text(); }
};

struct ImageBlocks {
    explicit ImageBlocks(const vardo::loader::Image& image) : reader(image) {}
    bool more() { return reader.more(); }
    void read(DataBlock_& b, std::int32_t max)
    {
        b.length = static_cast<std::uint32_t>(reader.read(b.data, static_cast<std::size_t>(max), &b.startAddress));
    }
    bool failed() { return reader.failed(); }
    vardo::loader::ImageBlockReader reader;
};

template <class Blocks> vardo::loader::Result eraseSegmentsOf(Blocks& blocks, vardo::loader::Connection& connection)
{
    // 10 KB blocks do not belong on a worker's stack twice over.
    auto block = std::make_unique<DataBlock_>();
    vardo::loader::Result first = vardo::loader::Result::Ok;
    while (blocks.more()) {
        blocks.read(*block, kEraseBlockBytes);
        if (block->length == 0)
            break;
        const vardo::loader::Result r = connection.eraseSegment(block->startAddress);
        if (first == vardo::loader::Result::Ok)
            first = r;
    }
    return first;
}

template <class Blocks>
vardo::firmware::Verification checkCrcOf(Blocks& blocks, vardo::loader::Connection& connection)
{
    vardo::firmware::Verification v;
    auto block = std::make_unique<DataBlock_>();
    while (blocks.more()) {
        blocks.read(*block, kVerifyBlockBytes);
        if (block->length == 0)
            break;
        v.address = block->startAddress;
        if (loaderCrc(connection, block->startAddress, block->length, v.result) != Calculate_CRC(*block))
            return v;
    }
    // An image that stopped at a malformed line was not verified to its end.
    v.matches = !blocks.failed();
    return v;
}

} // namespace

std::uint32_t CRC_Check(std::uint32_t addr, std::uint32_t length)
{
    vardo::loader::Result ignored;
    return loaderCrc(vardo::loader::defaultConnection(), addr, length, ignored);
}

std::uint32_t EraseDataSegment_File(const char* fileName)
{
    if (BSL_openTI_TextForRead(fileName) == -2)
        return kFileCannotOpen;
    FileBlocks blocks;
    // Its failures are not this call's to report.
    (void)eraseSegmentsOf(blocks, vardo::loader::defaultConnection());
    return 0;
}

std::uint32_t CRC_Check_File(const char* filename)
{
    if (BSL_openTI_TextForRead(filename) == -2)
        return kFileCannotOpen;
    FileBlocks blocks;
    return checkCrcOf(blocks, vardo::loader::defaultConnection()).matches ? 0 : 1;
}

namespace vardo::firmware {

loader::Result eraseSegments(loader::Connection& connection, const loader::Image& image)
{
    ImageBlocks blocks(image);
    return eraseSegmentsOf(blocks, connection);
}

Verification verifyImage(loader::Connection& connection, const loader::Image& image)
{
    ImageBlocks blocks(image);
    return checkCrcOf(blocks, connection);
}

} // namespace vardo::firmware
