// The loader texts an operator installs or names, and the loader library's
// own texts: the RAM loader check, the password taken from a password text or
// a whole image, the connection text and the version text. None may crash; a
// password taken is itself a password text that gives the same again; a
// connection or version text read back is written the same way again.
//
// Byte 0 picks whole image or password text; the rest is the text.
#include "firmware/loader_texts.h"
#include "loader/connection.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool wholeImage = data[0] & 1;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    (void)vardo::firmware::checkRamLoaderText(text);

    std::string why;
    const std::optional<std::string> password = vardo::firmware::passwordText(text, wholeImage, why);
    if (!password && why.empty())
        std::abort();
    if (password) {
        std::string again;
        const auto twice = vardo::firmware::passwordText(*password, false, again);
        if (!twice || *twice != *password)
            std::abort();
    }

    // The C string the library's callers pass: up to the first NUL.
    const std::string cText = text.substr(0, text.find('\0'));
    if (const auto address = vardo::loader::parseConnectionText(cText.c_str())) {
        const std::string written = vardo::loader::connectionText(*address);
        const auto back = vardo::loader::parseConnectionText(written.c_str());
        if (!back || vardo::loader::connectionText(*back) != written)
            std::abort();
    }
    if (const auto version = vardo::loader::versionFromText(text)) {
        const std::string written = vardo::loader::versionText(*version);
        const auto back = vardo::loader::versionFromText(written);
        if (!back || vardo::loader::versionText(*back) != written)
            std::abort();
    }
    return 0;
}
