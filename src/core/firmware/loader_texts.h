#pragma once
// The two loader texts an upgrade sends besides the image: "RAM_BSL.Text"
// (the RAM loader) and "password.Text" (the vector table of the encoder's
// current firmware). Where they come from is chosen at link time, like hidapi:
// the demo programs and tests link the embedded texts that the virtual
// encoder accepts (vardo_loader_texts_embedded); the programs for real
// encoders link vardo_loader_texts_installed, which reads the files the
// operator installs and never holds those bytes. Qt-free.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::firmware {

inline constexpr char kRamLoaderTextName[] = "RAM_BSL.Text";
inline constexpr char kPasswordTextName[] = "password.Text";

// ---- the link-time seam -----------------------------------------------------
struct FoundLoaderText {
    std::optional<std::string> text;  // nullopt: not found (or unreadable)
    std::string origin;               // the file it came from, or a description
    std::string problem = {};         // why a file that is there was not read ("": none)
};
// Loader texts are short; a larger file is refused unread.
inline constexpr std::size_t kLoaderTextLimit = 1u << 20;
// "The file 'path' is too large (N bytes, at most M)." size 0: not known (a pipe).
std::string tooLargeText(const std::string& path, std::size_t size);
// Looks for one of the two texts by name.
[[nodiscard]] FoundLoaderText findLoaderText(std::string_view name);
// The folders looked in, first first (empty for the embedded texts).
std::vector<std::string> loaderTextFolders();

// ---- checked texts ---------------------------------------------------------
struct LoaderTexts {
    std::string ramLoader;                // TI-TXT: 117 bytes at 0x2500, 2676 at 0x2576
    std::optional<std::string> password;  // TI-TXT: 32 bytes at 0xFFE0; nullopt: none known
};

struct LoaderTextsFound {
    LoaderTexts texts;
    std::string ramLoaderProblem;  // "" when the RAM loader is there and of its form
    std::string passwordProblem;   // "" when the password is there and of its form, or simply absent
    bool passwordMissing = false;  // no password text: the upgrade must go by a mass erase
};

// "" when text is a RAM loader of the expected form, else why not.
[[nodiscard]] std::string checkRamLoaderText(const std::string& text);
// The password as a 32-byte TI-TXT text at 0xFFE0 from text, which holds
// exactly that or (wholeImage) a firmware image whose 0xFFE0-0xFFFF it takes.
// nullopt with why when it holds no whole password.
[[nodiscard]] std::optional<std::string> passwordText(const std::string& text, bool wholeImage, std::string& why);

// Finds and checks both texts: the files given (8-bit paths; "" for none)
// first, else the seam. The problems are whole sentences naming folder and file.
[[nodiscard]] LoaderTextsFound findLoaderTexts(const std::string& ramLoaderFile = {},
                                 const std::string& passwordFile = {});

// What the operator is asked before an upgrade without the password.
std::string massEraseQuestion();

} // namespace vardo::firmware
