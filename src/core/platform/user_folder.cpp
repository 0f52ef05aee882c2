#include "platform/user_folder.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace vardo::platform {

namespace {
std::mutex g_mutex;
std::string g_override;

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string withoutTrailingSlash(std::string s)
{
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}
} // namespace

std::string userDataFolder()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    // The XDG rules ignore relative paths.
    std::string xdg = env("XDG_DATA_HOME");
    if (!xdg.empty() && xdg.front() == '/')
        return withoutTrailingSlash(xdg);
    std::string home = homeFolder();
    if (home.empty())
        return {};
    return withoutTrailingSlash(home) + "/.local/share";
}

void setUserDataFolderOverride(const std::string& folder)
{
    std::lock_guard lock(g_mutex);
    g_override = withoutTrailingSlash(folder);
}

std::string homeFolder()
{
    std::string home = env("HOME");
    if (home.empty() || home.front() != '/') {
        // An empty or relative HOME (a service, "env -i"): the account's own entry.
        home.clear();
        passwd entry {};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found
            && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty() || home.front() != '/')
        return {};
    return withoutTrailingSlash(home);
}

} // namespace vardo::platform
