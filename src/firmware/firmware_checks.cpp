#include "firmware/firmware_checks.h"

#include "firmware/crc.h"
#include "loader/text_file_state.h"

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

std::uint32_t EraseDataSegment_File(const char* fileName)
{
    if (BSL_openTI_TextForRead(fileName) == -2)
        return kFileCannotOpen;
    // 10 KB blocks do not belong on a worker's stack twice over.
    auto block = std::make_unique<DataBlock_>();
    while (BSL_moreDataToRead_TextFile()) {
        *block = BSL_readTI_TextFile(512);
        if (block->length == 0)
            break;
        BSL_eraseSegment(block->startAddress);
    }
    BSL_closeTI_Text();
    return 0;
}

std::uint32_t CRC_Check_File(const char* filename)
{
    if (BSL_openTI_TextForRead(filename) == -2)
        return kFileCannotOpen;
    auto block = std::make_unique<DataBlock_>();
    while (BSL_moreDataToRead_TextFile()) {
        *block = BSL_readTI_TextFile(5000);
        if (block->length == 0)
            break;
        if (CRC_Check(block->startAddress, block->length) != Calculate_CRC(*block)) {
            BSL_closeTI_Text();
            return 1;
        }
    }
    // A file that stopped at a malformed line was not verified to its end.
    const bool incomplete = vardo::loader::textFileFailed();
    BSL_closeTI_Text();
    return incomplete ? 1 : 0;
}
