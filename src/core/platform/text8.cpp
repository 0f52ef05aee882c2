#include "platform/text8.h"

#include <algorithm>
#include <cstring>

namespace vardo::platform {

std::string narrowLow8(std::u16string_view wide)
{
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) {
        if (c == 0)
            break;
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}

std::string narrowLow8(const wchar_t* wide)
{
    std::string out;
    if (!wide)
        return out;
    for (; *wide; ++wide)
        out.push_back(static_cast<char>(static_cast<unsigned long>(*wide) & 0xFF));
    return out;
}

void copyToBuffer(std::string_view text, char* buf, std::size_t capacity)
{
    if (!buf || capacity == 0)
        return;
    std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

} // namespace vardo::platform
