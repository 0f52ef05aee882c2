// The encoder utility on the real USB bus.
#include "mainwindow/app_startup.h"

int main(int argc, char** argv)
{
    return vardo::ui::runUtility(argc, argv);
}
