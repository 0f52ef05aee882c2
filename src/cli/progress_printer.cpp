#include "cli/progress_printer.h"

#include <algorithm>
#include <ostream>
#include <vector>

namespace vardo::cli {

namespace {

constexpr int kProgressBarWidth = 30;

} // namespace

void ProgressPrinter::report(int percent, const std::string& text)
{
    percent_ = std::clamp(percent, 0, 100);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (!bar_) {
        if (lines.empty())
            out_ << percent_ << "%\n";
        for (const auto& line : lines)
            out_ << percent_ << "% " << line << '\n';
        out_.flush();
        return;
    }
    for (const auto& line : lines)
        out_ << "\r\033[K" << line << '\n';
    const int filled = percent_ * kProgressBarWidth / 100;
    out_ << "\r\033[K[" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kProgressBarWidth - filled), ' ') << "] " << percent_
         << '%' << std::flush;
    drawn_ = true;
}

void ProgressPrinter::finish()
{
    if (drawn_)
        out_ << '\n' << std::flush;
    drawn_ = false;
}

} // namespace vardo::cli
