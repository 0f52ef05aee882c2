#include "mainwindow/version.h"

#include "mainwindow/version_strings.h"

std::string version::GetString(const std::string& name)
{
    if (name == "Version")
        return kVersionResource;
    if (name == "Part_Number")
        return kPartNumberResource;
    return {};
}
