#include "cli/cli_main.h"

#include "cli/cli.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <unistd.h>

namespace vardo::cli {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
}

// While a command catches them, SIGINT, SIGTERM and SIGHUP (the terminal
// closed) only raise the flag, and a blocked wait returns (no SA_RESTART) so
// the command can end cleanly and put the encoder back.
void catchInterrupts(bool on)
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on ? onInterrupt : SIG_DFL;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

// A reader that goes away (`keys | head -1`) must not kill us mid-command:
// the write fails with EPIPE instead, which the command takes as its end.
void ignoreBrokenPipes()
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

int processMain(const std::vector<std::string>& args, const std::string& programName)
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
    ignoreBrokenPipes();
    Console console(std::cout, std::cerr);
    console.in = &std::cin;
    console.outIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    console.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    console.inIsTerminal = ::isatty(STDIN_FILENO) == 1;
    console.programName = programName;
    console.interrupted = &g_interrupted;
    console.catchInterrupts = catchInterrupts;
    const int code = runCli(args, console);
    std::cout.flush();
    return code;
}

} // namespace vardo::cli
