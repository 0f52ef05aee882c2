#pragma once
// A temporary folder removed with its contents at the end of a test.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class TempFolder {
public:
    TempFolder()
    {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path()
            / ("vardo-fw-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes content to name (sub-folders created) and returns the full path.
    std::string write(const std::string& name, const std::string& content) const
    {
        const auto file = path_ / std::filesystem::u8path(name);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream f(file, std::ios::binary);
        f << content;
        return file.string();
    }

private:
    std::filesystem::path path_;
};
