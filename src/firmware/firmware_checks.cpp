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

std::uint32_t CRC_Check(std::uint32_t addr, std::uint32_t length)
{
    if (BSL_CRC_Check(addr, length) != 0)
        return 0xFFFFFFFFu;
    const dataBuffer reply = BSL_get_RX_Buffer();
    return static_cast<std::uint32_t>(reply.data[5] | reply.data[6] << 8);
}

namespace {

// The blocks of an image: the library's file calls or a text in memory.
struct FileBlocks {
    bool more() { return BSL_moreDataToRead_TextFile() != 0; }
    void read(DataBlock_& b, std::int32_t max) { b = BSL_readTI_TextFile(max); }
    bool failed() { return vardo::loader::textFileFailed(); }
    ~FileBlocks() { BSL_closeTI_Text(); }
};

struct TextBlocks {
    explicit TextBlocks(const std::string& text)
        : reader(vardo::loader::TiTxtReader::fromText(text)) {}
    bool more() { return reader.more(); }
    void read(DataBlock_& b, std::int32_t max)
    {
        b.length = static_cast<std::uint32_t>(
            reader.read(b.data, static_cast<std::size_t>(max), &b.startAddress));
    }
    bool failed() { return reader.failed(); }
    vardo::loader::TiTxtBlockReader reader;
};

template <class Blocks> std::uint32_t eraseSegmentsOf(Blocks& blocks)
{
    // 10 KB blocks do not belong on a worker's stack twice over.
    auto block = std::make_unique<DataBlock_>();
    while (blocks.more()) {
        blocks.read(*block, 512);
        if (block->length == 0)
            break;
        BSL_eraseSegment(block->startAddress);
    }
    return 0;
}

template <class Blocks> std::uint32_t checkCrcOf(Blocks& blocks)
{
    auto block = std::make_unique<DataBlock_>();
    while (blocks.more()) {
        blocks.read(*block, 5000);
        if (block->length == 0)
            break;
        if (CRC_Check(block->startAddress, block->length) != Calculate_CRC(*block))
            return 1;
    }
    // An image that stopped at a malformed line was not verified to its end.
    return blocks.failed() ? 1 : 0;
}

} // namespace

std::uint32_t EraseDataSegment_File(const char* fileName)
{
    if (BSL_openTI_TextForRead(fileName) == -2)
        return kFileCannotOpen;
    FileBlocks blocks;
    return eraseSegmentsOf(blocks);
}

std::uint32_t CRC_Check_File(const char* filename)
{
    if (BSL_openTI_TextForRead(filename) == -2)
        return kFileCannotOpen;
    FileBlocks blocks;
    return checkCrcOf(blocks);
}

std::uint32_t EraseDataSegment_Text(const std::string& text)
{
    TextBlocks blocks(text);
    return eraseSegmentsOf(blocks);
}

std::uint32_t CRC_Check_Text(const std::string& text)
{
    TextBlocks blocks(text);
    return checkCrcOf(blocks);
}
