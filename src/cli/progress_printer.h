#pragma once
// Internal to the tool's core: the upgrade's progress on the output stream.
#include <iosfwd>
#include <string>

namespace vardo::cli {

// A bar redrawn in place on a terminal, plain "NN% text" lines otherwise (one
// per status line, or the bare percentage).
class ProgressPrinter {
public:
    ProgressPrinter(std::ostream& out, bool bar) : out_(out), bar_(bar) {}
    ~ProgressPrinter() { finish(); }
    ProgressPrinter(const ProgressPrinter&) = delete;
    ProgressPrinter& operator=(const ProgressPrinter&) = delete;

    // percent is clamped to 0-100; text holds none, one or several status
    // lines (CR LF, CR or LF ends each).
    void report(int percent, const std::string& text);
    // Ends a drawn bar's line; the next output starts on a line of its own.
    void finish();

private:
    std::ostream& out_;
    bool bar_;
    bool drawn_ = false;
    int percent_ = 0;
};

} // namespace vardo::cli
