// The encoder utility on the real USB bus.
#include "mainwindow/app_startup.h"
#include "mainwindow/version.h"

#include <cstdio>
#include <cstring>

namespace {

// Answered before any window exists, so that it works without a display; the
// manual page is made from these two answers.
const char* const kUsage = R"(Usage: vardo-encoder-utility [QT-OPTION]...

Opens the window of the Vardo 710 / 710i USB keyboard encoder attached to this
computer: it shows the encoder's model, firmware version and keypad layout, sets
its LED brightness and colour, buzzer and layout, edits its customised code
tables, runs its self test, keeps its settings in a configuration file and
replaces its firmware through the encoder's USB bootstrap loader.
vardo-encoder does the same from the command line.

Options:
  -h, --help       this text
      --version    the program's version
  -platform NAME   any option of the Qt toolkit, such as the windowing system
                   plugin (xcb, wayland) or -display DISPLAY

Configuration file: $XDG_DATA_HOME/VardoInterface/USBUtilityCfg.ini
(~/.local/share/VardoInterface/USBUtilityCfg.ini when XDG_DATA_HOME is unset).

Exit status: 0 once the window is closed; not 0 when the Qt toolkit cannot open
a display (it says why on standard error).
)";

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vardo-encoder-utility %s\n", version::GetString("Version").c_str());
        return 0;
    }
    return vardo::ui::runUtility(argc, argv);
}
