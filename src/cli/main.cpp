// vardo-encoder: the command-line tool on real USB hardware.
#include "cli/cli_main.h"

int main(int argc, char** argv)
{
    return vardo::cli::processMain({argv + 1, argv + argc}, "vardo-encoder");
}
