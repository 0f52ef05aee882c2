#pragma once
// Internal to the tool's core: the table of commands. What a command is (its
// words, the options it takes, whether --all applies, its handler and its help)
// is written here once; the help, the dispatcher, the --all gate and the
// option checks all read it.
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::cli {

class Session;
using Handler = int (Session::*)();

// How a form runs under --all.
enum class OnAll {
    No,          // a usage error
    PortByPort,  // as if named with --device, one encoder after the other
    AtOnce,      // by its own handler (CommandForm::onAllHandler), every encoder together
};

// One form of a command: the command itself, or one of its second words
// ("table show", "config apply").
struct CommandForm {
    const char* sub = nullptr;                // the second word; null: the command has none
    std::vector<std::string_view> options;    // long names of the options it takes
    // Words (the command's own included) outside minWords-maxWords are the
    // usage error wordsError; with wordsError null the handler checks them.
    std::size_t minWords = 0;
    std::size_t maxWords = 0;
    const char* wordsError = nullptr;
    Handler handler = nullptr;
    OnAll onAll = OnAll::No;
    Handler onAllHandler = nullptr;

    [[nodiscard]] bool takes(std::string_view option) const;
};

// A line of the overview: a usage of the command and what it does (lines
// joined by a line break).
struct Synopsis {
    const char* usage;
    const char* summary;
};

struct Command {
    const char* name;
    const char* help;                 // %P stands for the program's name
    std::vector<Synopsis> synopsis;
    std::vector<CommandForm> forms;   // one without a sub, or one for each second word
    // help: run as it stands, before --help, --all and the option checks (it takes them all).
    bool runsAsGiven = false;

    // The form the second word names (the only form of a command without
    // second words); null for none.
    [[nodiscard]] const CommandForm* form(const std::string& second) const;
    [[nodiscard]] bool hasSubs() const { return forms.front().sub != nullptr; }
    // Its second words for a message: "'show' or 'load'" (quoted) or "show or load".
    [[nodiscard]] std::string subList(bool quoted) const;
};

// Every command, in the order of the overview.
[[nodiscard]] const std::vector<Command>& commandTable();
// The command named name; null for an unknown one.
[[nodiscard]] const Command* findCommand(std::string_view name);

// The overview (command ""), or the help of one command ("status", "set",
// "table", "config", ...). "" for an unknown command.
[[nodiscard]] std::string helpText(const std::string& program, const std::string& command);

// What the tool knows, for scripts, completion and the manual pages: every
// command with its forms, options and arguments, every option, every setting
// with its values (the layouts with their keys), the key names and modifiers
// a code table takes, the desired state of 'apply' and the exit statuses.
// One JSON object, from the tables that the help and the parsing use.
void printHelpJson(std::ostream& out, const std::string& program);

} // namespace vardo::cli
