#pragma once
// The command-line tool's core: argument parsing and every subcommand, on the
// same encoder link, configuration file and upgrade logic as the windows.
// Qt-free. main() only wires up the console, the interrupt flag and hidapi.
#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace vardo::cli {

// Where a run reads and writes, and what it knows of its terminal.
struct Console {
    Console(std::ostream& outStream, std::ostream& errStream) : out(outStream), err(errStream) {}

    std::ostream& out;                        // results (what a script parses)
    std::ostream& err;                        // messages, progress on a terminal
    std::istream* in = nullptr;               // answers to questions; null: never ask
    bool outIsTerminal = false;               // stdout is a terminal
    bool errIsTerminal = false;               // stderr is a terminal: progress bar
    bool inIsTerminal = false;                // questions may be asked on `in`
    std::string programName = "vardo-encoder";
    // Set (from a signal handler, say) to end `keys`; read by long loops.
    const std::atomic<bool>* interrupted = nullptr;
    // Called with true when a command wants SIGINT to set `interrupted` instead
    // of ending the process, and with false when it is done with it.
    std::function<void(bool)> catchInterrupts;
    // The run is a process of its own: upgrades hold SIGINT, SIGTERM and
    // SIGHUP back while an encoder must not be left (upgrade_signals.h).
    bool watchSignals = false;
};

// Runs one command line (without the program name). Returns the exit status
// (exit_codes.h). Leaves no encoder handle open and the HID library shut down.
[[nodiscard]] int runCli(const std::vector<std::string>& args, Console& console);

} // namespace vardo::cli
