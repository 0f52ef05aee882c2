#pragma once
// The --help texts of the tool and of each subcommand.
#include <string>

namespace vardo::cli {

// The overview (command ""), or the help of one subcommand ("status",
// "set", "table", "config", ...). "" for an unknown command.
std::string helpText(const std::string& program, const std::string& command);

} // namespace vardo::cli
