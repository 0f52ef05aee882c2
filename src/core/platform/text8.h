#pragma once
// Conversions between wide text and the 8-bit strings that files, the HID
// library and the loader library take.
#include <cstddef>
#include <string>
#include <string_view>

namespace vardo::platform {

// Each code unit narrowed to its low 8 bits, up to the first NUL.
std::string narrowLow8(std::u16string_view wide);
std::string narrowLow8(const wchar_t* wide);

// Copies text into buf (capacity bytes) NUL-terminated, cutting it to fit.
void copyToBuffer(std::string_view text, char* buf, std::size_t capacity);

} // namespace vardo::platform
