#include "firmware/loader_texts.h"

#include "firmware/image_file.h"
#include "loader/ti_txt.h"

#include <array>
#include <cstdio>

namespace vardo::firmware {

namespace {

constexpr std::uint32_t kPasswordAddress = 0xFFE0;
constexpr std::size_t kPasswordSize = 32;

struct Run {
    std::uint32_t address;
    std::size_t length;
};

// The contiguous runs of a text; false with why for a malformed one.
bool runsOf(const std::string& text, std::vector<Run>& runs, std::string& why,
            std::array<int, kPasswordSize>* password = nullptr)
{
    auto reader = loader::TiTxtReader::fromText(text);
    loader::TiTxtLine line;
    loader::TiTxtReader::Step step;
    while ((step = reader->next(line)) == loader::TiTxtReader::Step::Data) {
        if (!runs.empty() && runs.back().address + runs.back().length == line.address)
            runs.back().length += line.count;
        else
            runs.push_back({line.address, line.count});
        for (std::size_t i = 0; password && i < line.count; ++i) {
            if (line.address + i < kPasswordAddress || line.address + i > 0xFFFF)
                continue;
            int& byte = (*password)[line.address + i - kPasswordAddress];
            // Two versions of the password: which one the encoder holds cannot be known.
            if (byte >= 0) {
                char at[64];
                std::snprintf(at, sizeof at, "line %d: address 0x%04X is given twice",
                              reader->lineNumber(), static_cast<unsigned>(line.address + i));
                why = at;
                return false;
            }
            byte = line.bytes[i];
        }
    }
    if (step == loader::TiTxtReader::Step::Error) {
        why = "not a valid TI-TXT text: " + reader->error();
        return false;
    }
    return true;
}

std::string joined(const std::vector<std::string>& folders)
{
    std::string out;
    for (std::size_t i = 0; i < folders.size(); ++i)
        out += (i ? (i + 1 == folders.size() ? " or " : ", ") : "") + folders[i];
    return out;
}

std::string whereToPut(const char* name)
{
    const auto folders = loaderTextFolders();
    return folders.empty() ? std::string()
                           : std::string(" Put the file \"") + name + "\" into " + joined(folders) + ".";
}

// A text from a file the operator named, or from the seam.
FoundLoaderText lookUp(const std::string& file, const char* name)
{
    if (file.empty())
        return findLoaderText(name);
    FoundLoaderText found{std::nullopt, file};
    std::string text;
    std::size_t size = 0;
    switch (readWholeFile(file, text, kLoaderTextLimit, &size)) {
    case FileRead::Ok:
        found.text = text;
        break;
    case FileRead::Folder:
        found.problem = "'" + file + "' is a folder, not a " + name + " file.";
        break;
    case FileRead::TooLarge:
        found.problem = tooLargeText(file, size);
        break;
    default:
        found.problem = "Cannot read the file '" + file + "'.";
        break;
    }
    return found;
}

} // namespace

std::string tooLargeText(const std::string& path, std::size_t size)
{
    return "The file '" + path + "' is too large ("
        + (size > kLoaderTextLimit ? std::to_string(size) : "more than " + std::to_string(kLoaderTextLimit))
        + " bytes, at most " + std::to_string(kLoaderTextLimit) + ").";
}

std::string checkRamLoaderText(const std::string& text)
{
    std::vector<Run> runs;
    std::string why;
    if (!runsOf(text, runs, why))
        return why;
    if (runs.size() == 2 && runs[0].address == 0x2500 && runs[0].length == 117
        && runs[1].address == 0x2576 && runs[1].length == 2676)
        return {};
    std::string found;
    char buf[48];
    for (const Run& r : runs) {
        std::snprintf(buf, sizeof buf, "%s%zu bytes at 0x%04X", found.empty() ? "" : ", ", r.length,
                      static_cast<unsigned>(r.address));
        found += buf;
    }
    return "it holds " + (found.empty() ? std::string("no bytes") : found)
        + ", not 117 bytes at 0x2500 and 2676 bytes at 0x2576";
}

std::optional<std::string> passwordText(const std::string& text, bool wholeImage, std::string& why)
{
    std::vector<Run> runs;
    std::array<int, kPasswordSize> bytes;
    bytes.fill(-1);
    if (!runsOf(text, runs, why, &bytes))
        return std::nullopt;
    const bool exact = runs.size() == 1 && runs[0].address == kPasswordAddress
        && runs[0].length == kPasswordSize;
    bool whole = true;
    for (int b : bytes)
        whole = whole && b >= 0;
    if (!(exact || (wholeImage && whole))) {
        why = wholeImage ? "it holds no whole vector table (32 bytes at 0xFFE0-0xFFFF)"
                         : "it does not hold exactly 32 bytes at 0xFFE0";
        return std::nullopt;
    }
    std::string out = "@FFE0\r\n";
    char hex[4];
    for (std::size_t i = 0; i < kPasswordSize; ++i) {
        std::snprintf(hex, sizeof hex, "%02X ", static_cast<unsigned>(bytes[i]));
        out += hex;
        if (i % 16 == 15)
            out += "\r\n";
    }
    return out + "q";
}

LoaderTextsFound findLoaderTexts(const std::string& ramLoaderFile, const std::string& passwordFile)
{
    LoaderTextsFound out;
    const FoundLoaderText ram = lookUp(ramLoaderFile, kRamLoaderTextName);
    out.ramLoaderProblem = ram.problem;
    if (!ram.text) {
        if (out.ramLoaderProblem.empty())
            out.ramLoaderProblem = std::string("No RAM loader: the firmware upgrade needs the file \"")
                + kRamLoaderTextName + "\" (the MSP430 USB loader's RAM loader, version 00.06.05.34)."
                + whereToPut(kRamLoaderTextName);
    } else if (std::string why = checkRamLoaderText(*ram.text); !why.empty()) {
        out.ramLoaderProblem = "The RAM loader " + ram.origin + " is not usable: " + why + ".";
    } else {
        out.texts.ramLoader = *ram.text;
    }

    const FoundLoaderText pass = lookUp(passwordFile, kPasswordTextName);
    out.passwordProblem = pass.problem;
    if (!pass.text) {
        out.passwordMissing = out.passwordProblem.empty();
    } else {
        std::string why;
        out.texts.password = passwordText(*pass.text, !passwordFile.empty(), why);
        if (!out.texts.password)
            out.passwordProblem = "The password " + pass.origin + " is not usable: " + why + ".";
    }
    return out;
}

std::string massEraseQuestion()
{
    return std::string("No password text \"") + kPasswordTextName
        + "\" was found (the vector table of the firmware the encoder runs now)."
        + whereToPut(kPasswordTextName)
        + " Without it the loader erases the encoder's whole application (a mass erase) before "
          "the new firmware goes in. Go on?";
}

} // namespace vardo::firmware
