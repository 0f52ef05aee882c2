#include "firmware/crc.h"

void CRC::CrcInput(std::uint8_t data)
{
    unsigned x = ((crc >> 8) ^ data) & 0xFFu;
    x ^= x >> 4;
    crc = static_cast<std::uint16_t>((crc << 8) ^ (x << 12) ^ (x << 5) ^ x);
}
