#include "cli/cli_main.h"

#include "cli/cli.h"
#include "cli/exit_codes.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <unistd.h>

namespace vardo::cli {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
}

// "PROGRAM: stopped by SIGINT.\n" and the others, made before any signal can come.
char g_stoppedText[3][160];

// Elsewhere the signal ends the run as it would have, said first: a command
// that ends with 128 + the signal and no word is taken for a crash. Only
// async-signal-safe calls here.
extern "C" void onStopped(int signal)
{
    const char* text = g_stoppedText[signal == SIGINT ? 0 : signal == SIGTERM ? 1 : 2];
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    if (::write(STDERR_FILENO, text, length) < 0) {
        // Nothing more can be done about it here.
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// While a command catches them, SIGINT, SIGTERM and SIGHUP (the terminal
// closed) only raise the flag, and a blocked wait returns (no SA_RESTART) so
// the command can end cleanly and put the encoder back.
void catchInterrupts(bool on)
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on ? onInterrupt : onStopped;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void sayWhenStopped(const std::string& programName)
{
    const char* names[3] = {"SIGINT", "SIGTERM", "SIGHUP"};
    for (int i = 0; i < 3; ++i)
        std::snprintf(g_stoppedText[i], sizeof g_stoppedText[i], "%s: stopped by %s.\n",
                      programName.substr(0, 100).c_str(), names[i]);
    catchInterrupts(false);
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

// Standard output that remembers why a write failed, so that the end of the
// run can say so: output lost to a full disk must not look like success.
class CheckedOutput : public std::streambuf {
public:
    explicit CheckedOutput(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~CheckedOutput() override { sync(); }
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override
    {
        if (sync() != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    int sync() override
    {
        const char* next = pbase();
        while (next < pptr() && error_ == 0) {
            const ssize_t n = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
            if (n > 0)
                next += n;
            else if (n < 0 && errno != EINTR)
                error_ = errno;
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return error_ == 0 ? 0 : -1;
    }

private:
    int fd_;
    int error_ = 0;
    char buffer_[4096];
};

} // namespace

int processMain(const std::vector<std::string>& args, const std::string& programName)
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
    ignoreBrokenPipes();
    sayWhenStopped(programName);
    CheckedOutput outBuffer(STDOUT_FILENO);
    std::ostream out(&outBuffer);
    // Whatever goes to stderr comes after what went to stdout before it.
    std::cerr.tie(&out);
    Console console(out, std::cerr);
    console.in = &std::cin;
    console.outIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    console.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    console.inIsTerminal = ::isatty(STDIN_FILENO) == 1;
    console.programName = programName;
    console.interrupted = &g_interrupted;
    console.catchInterrupts = catchInterrupts;
    console.watchSignals = true;
    const int code = runCli(args, console);
    out.flush();
    std::cerr.tie(&std::cout);
    // A reader that went away (EPIPE) is the end that SIGPIPE would have made;
    // any other lost output is a failure of the run.
    if (outBuffer.error() != 0 && outBuffer.error() != EPIPE) {
        std::cerr << programName << ": cannot write to standard output: " << std::strerror(outBuffer.error())
                  << '\n';
        return code == kExitOk ? kExitFailed : code;
    }
    return code;
}

} // namespace vardo::cli
