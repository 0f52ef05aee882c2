#pragma once
// The process side of the tool, shared by vardo-encoder and vardo-encoder-demo:
// standard streams, terminal detection and SIGINT for `keys`.
#include <string>
#include <vector>

namespace vardo::cli {

// Runs args (without the program name) on stdin/stdout/stderr; the exit status.
[[nodiscard]] int processMain(const std::vector<std::string>& args, const std::string& programName);

} // namespace vardo::cli
