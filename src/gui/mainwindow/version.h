#pragma once
// The program's version resources: "Version" and "Part_Number", embedded at
// build time. Never shown; the about box reads from it.
#include <string>

class version {
public:
    version() = delete;
    // The named string of the set; "" for a name it does not hold.
    static std::string GetString(const std::string& name);
};
