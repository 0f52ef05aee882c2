// The encoder utility on the real USB bus.
#include "mainwindow/app_startup.h"

namespace {

const char* const kAbout = R"(Opens the window of the Vardo 710 / 710i USB keyboard encoder attached to this
computer: it shows the encoder's model, firmware version and keypad layout, sets
its LED brightness and colour, buzzer and layout, edits its customised code
tables, runs its self test, keeps its settings in a configuration file and
replaces its firmware through the encoder's USB bootstrap loader.
vardo-encoder does the same from the command line.
)";

} // namespace

int main(int argc, char** argv)
{
    if (const auto code = vardo::ui::answerWithoutDisplay(argc, argv, "vardo-encoder-utility", kAbout))
        return *code;
    return vardo::ui::runUtility(argc, argv);
}
