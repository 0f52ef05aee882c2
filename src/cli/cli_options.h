#pragma once
// Internal to the tool's core: the command line split into words and options,
// and the table of the options the tool knows.
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vardo::cli {

// The command line after parsing: words (subcommand and operands) and options.
struct Options {
    std::vector<std::string> words;
    std::string device;
    std::optional<std::string> from;
    std::string ramLoader;        // --ram-loader FILE
    std::string password;         // --password FILE
    std::string restore;          // --restore FILE: the backup an upgrade writes back
    bool trace = false;
    bool json = false;
    bool all = false;             // --all: every attached encoder
    bool yes = false;
    bool applyImport = false;     // --apply: send what 'config import' took to the encoder
    bool massErase = false;       // --mass-erase: consent to erasing the application without its password
    bool check = false;           // --check: 'apply' only says what it would send
    bool diff = false;            // --diff: 'apply' shows the settings before and after
    bool help = false;
    bool version = false;
    std::set<std::string> given;   // long names of the options used
};

// One option the tool knows. The overview lists those marked inOverview, with
// their help as it is laid out there (lines joined by a line break and blanks).
struct OptionInfo {
    const char* name;             // the long name, without "--"
    char shortName;               // 0 for none
    const char* value;            // what follows it (FILE); null when it takes none
    const char* help;
    bool inOverview;
};
[[nodiscard]] const std::vector<OptionInfo>& optionTable();

// Fills o from args (without the program name). Options may stand anywhere
// among the words; "--" ends them. On a bad option sets error (without the
// program name) and returns false.
[[nodiscard]] bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error);

} // namespace vardo::cli
