#include "platform/KnownFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support/TempHome.h"

namespace fs = std::filesystem;

TEST(KnownFolders, FollowTheXdgVariablesAndTheirFallbacks) {
    TempHome home;
    EXPECT_EQ(HomeFolder(), home.Home());
    EXPECT_EQ(ConfigHomeFolder(), home.ConfigHome());
    EXPECT_EQ(DataHomeFolder(), home.DataHome());
    EXPECT_EQ(RuntimeFolder(), home.RuntimeDir());

    unsetenv("XDG_CONFIG_HOME");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);  // relative values don't count
    EXPECT_EQ(ConfigHomeFolder(), home.Home() / ".config");
    EXPECT_EQ(DataHomeFolder(), home.Home() / ".local/share");
}

TEST(KnownFolders, DocumentsFolderComesFromUserDirs) {
    TempHome home;
    EXPECT_EQ(DocumentsFolder(), home.Home() / "Documents");  // no user-dirs.dirs

    fs::create_directories(home.ConfigHome());
    struct Case {
        const char* line;
        fs::path expected;
    };
    const Case cases[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", home.Home() / "Dokumente"},
        {"  XDG_DOCUMENTS_DIR=\"/srv/docs\"", fs::path("/srv/docs")},
        {"# XDG_DOCUMENTS_DIR=\"/commented\"", home.Home() / "Documents"},
        {"XDG_DOCUMENTS_DIRX=\"/other\"", home.Home() / "Documents"},
        {"XDG_DOCUMENTS_DIR=\"relative\"", home.Home() / "Documents"},
    };
    for (const Case& c : cases) {
        std::ofstream(home.ConfigHome() / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                            << c.line << "\n";
        EXPECT_EQ(DocumentsFolder(), c.expected) << c.line;
    }
}

TEST(KnownFolders, RuntimeFallbackIsPrivateToTheUser) {
    TempHome home;
    unsetenv("XDG_RUNTIME_DIR");
    const fs::path folder = RuntimeFolder();
    ASSERT_FALSE(folder.empty());
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, getuid());
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}
