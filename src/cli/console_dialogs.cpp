#include "cli/console_dialogs.h"

#include <istream>
#include <ostream>

namespace vardo::cli {

void ConsoleDialogs::message(const std::string&, const std::string& text, platform::MessageIcon)
{
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    console_.err << line << '\n';
}

bool ConsoleDialogs::question(const std::string&, const std::string& text)
{
    if (yes_)
        return true;
    if (!console_.inIsTerminal || !console_.in)
        return false;
    console_.err << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(*console_.in, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

bool ConsoleDialogs::questionDefaultNo(const std::string& caption, const std::string& text)
{
    return question(caption, text);
}

platform::EditsChoice ConsoleDialogs::applyDiscardCancel(const std::string&, const std::string&)
{
    return platform::EditsChoice::Cancel;
}

std::optional<std::string> ConsoleDialogs::openFile(const std::string&, const std::string&, const std::string&)
{
    return std::nullopt;
}

std::optional<std::string> ConsoleDialogs::selectFolder(const std::string&, const std::string&)
{
    return std::nullopt;
}

void ConsoleDialogs::openUrl(const std::string&) {}

} // namespace vardo::cli
