// The loader texts of the programs for real encoders: files the operator
// installs, in the user's folder first, then the system folder.
#include "firmware/image_file.h"
#include "firmware/loader_texts.h"
#include "platform/user_folder.h"

namespace vardo::firmware {

std::vector<std::string> loaderTextFolders()
{
    std::vector<std::string> folders;
    const std::string user = platform::userDataFolder();
    if (!user.empty())
        folders.push_back(user + "/VardoInterface/loader");
    folders.push_back(VARDO_SYSTEM_LOADER_DIR);
    // The Debian package installs under /usr whatever prefix the build was given.
    constexpr char kPackageFolder[] = "/usr/share/vardo-encoder-utility/loader";
    if (folders.back() != kPackageFolder)
        folders.push_back(kPackageFolder);
    return folders;
}

FoundLoaderText findLoaderText(std::string_view name)
{
    for (const std::string& folder : loaderTextFolders()) {
        const std::string path = folder + "/" + std::string(name);
        std::string text;
        std::size_t size = 0;
        const FileRead r = readWholeFile(path, text, kLoaderTextLimit, &size);
        if (r == FileRead::Ok)
            return {text, path};
        if (r == FileRead::TooLarge)
            return {std::nullopt, path, tooLargeText(path, size)};
        if (r != FileRead::CannotOpen)  // there, but not a file: say so rather than look further
            return {std::nullopt, path};
    }
    return {std::nullopt, {}};
}

} // namespace vardo::firmware
