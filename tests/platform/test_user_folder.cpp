#include "platform/user_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <pwd.h>
#include <unistd.h>

using namespace vardo::platform;

namespace {
// Sets an environment variable for one test and puts the old value back.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};
} // namespace

TEST(UserDataFolder, FollowsXdgDataHomeWithoutTrailingSlash)
{
    EnvVar xdg("XDG_DATA_HOME", "/tmp/xdg-test/");
    EXPECT_EQ(userDataFolder(), "/tmp/xdg-test");
}

TEST(UserDataFolder, FallsBackToLocalShareUnderHome)
{
    EnvVar xdg("XDG_DATA_HOME", nullptr);
    EnvVar home("HOME", "/home/operator");
    EXPECT_EQ(userDataFolder(), "/home/operator/.local/share");
    EXPECT_EQ(homeFolder(), "/home/operator");
}

TEST(UserDataFolder, RelativeXdgPathIsIgnored)
{
    EnvVar xdg("XDG_DATA_HOME", "relative/data");
    EnvVar home("HOME", "/home/op");
    EXPECT_EQ(userDataFolder(), "/home/op/.local/share");
}

TEST(UserDataFolder, WithoutHomeTheAccountsOwnHomeFolderServes)
{
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    const std::string own = entry->pw_dir;
    EnvVar xdg("XDG_DATA_HOME", nullptr);
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative"}) {
        EnvVar home("HOME", value);
        EXPECT_EQ(homeFolder(), own);
        EXPECT_EQ(userDataFolder(), own + "/.local/share");
    }
}

TEST(UserDataFolder, OverrideWinsUntilCleared)
{
    EnvVar xdg("XDG_DATA_HOME", "/tmp/a");
    setUserDataFolderOverride("/tmp/override/");
    EXPECT_EQ(userDataFolder(), "/tmp/override");
    setUserDataFolderOverride("");
    EXPECT_EQ(userDataFolder(), "/tmp/a");
}
