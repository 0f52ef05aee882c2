#pragma once
// CRC-16/CCITT-FALSE (poly 0x1021, MSB first, no reflection, no final XOR),
// folded in a byte at a time without a table.
#include <cstdint>

class CRC {
public:
    explicit CRC(std::uint16_t init = 0xFFFF) : crc(init) {}
    void CrcInit(std::uint16_t init) { crc = init; }
    void CrcInput(std::uint8_t data);
    std::uint16_t GetCrcValue() const { return crc; }

    std::uint16_t crc;
};
