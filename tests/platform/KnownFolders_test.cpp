#include "platform/KnownFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "platform/PrivateRuntimeFolder.h"
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

namespace {

// The fallback runtime folders of these tests go under a temporary folder of the test's own in
// place of /tmp, so they never meet the machine's real /tmp/velkdownloader-<uid>.
std::string UsualName() {
    return "velkdownloader-" + std::to_string(getuid());
}

void ExpectPrivate(const fs::path& folder) {
    struct stat info {};
    ASSERT_EQ(lstat(folder.c_str(), &info), 0) << folder;
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
    EXPECT_EQ(info.st_uid, geteuid()) << folder;
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
}

// Someone made the usual folder's name first: the user gets a private folder beside it, every
// later start finds the same one, and the squatter is neither used nor touched.
void ExpectMovesAside(const TempHome& home, const fs::path& tmp) {
    const fs::path usual = tmp / UsualName();
    struct stat before {};
    ASSERT_EQ(lstat(usual.c_str(), &before), 0);

    const fs::path folder = PrivateRuntimeFolder(tmp);
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder, usual);
    EXPECT_EQ(folder.parent_path(), tmp);
    EXPECT_EQ(folder.filename().string().rfind(UsualName() + "-", 0), 0u) << folder;
    ExpectPrivate(folder);
    EXPECT_EQ(PrivateRuntimeFolder(tmp), folder);
    struct stat after {};
    ASSERT_EQ(lstat(usual.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mode, before.st_mode);

    // The squatter going away must not split this session's starts between two folders.
    fs::remove(usual);
    EXPECT_EQ(PrivateRuntimeFolder(tmp), folder);
    // Once the folder is gone too (a restart empties /tmp), the usual name serves again.
    fs::remove(folder);
    EXPECT_EQ(PrivateRuntimeFolder(tmp), usual);
    ExpectPrivate(usual);
    EXPECT_EQ(PrivateRuntimeFolder(tmp), usual);
    EXPECT_TRUE(fs::exists(home.Home() / ".local/state/VelkDownloader/runtime-folder"));
}

}  // namespace

TEST(KnownFolders, RuntimeFallbackIsPrivateToTheUser) {
    TempHome home;
    TempDir tmp;
    const fs::path folder = PrivateRuntimeFolder(tmp.Path());
    EXPECT_EQ(folder, tmp.Path() / UsualName());
    ExpectPrivate(folder);
    EXPECT_EQ(PrivateRuntimeFolder(tmp.Path()), folder);
    // Nothing is written to the home in the usual case.
    EXPECT_FALSE(fs::exists(home.Home() / ".local/state/VelkDownloader"));

    // A strict umask still gives the user a folder of their own to work in.
    TempDir strict;
    const mode_t saved = umask(0277);
    const fs::path made = PrivateRuntimeFolder(strict.Path());
    umask(saved);
    ExpectPrivate(made);
}

TEST(KnownFolders, ARuntimeFolderOpenToOthersOrNotAFolderIsNeverUsed) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& usual, const fs::path& elsewhere)> make;
    };
    const Case cases[] = {
        {"open to everyone",
         [](const fs::path& usual, const fs::path&) {
             mkdir(usual.c_str(), 0700);
             chmod(usual.c_str(), 0777);
         }},
        {"open to the group",
         [](const fs::path& usual, const fs::path&) {
             mkdir(usual.c_str(), 0700);
             chmod(usual.c_str(), 0750);
         }},
        {"a link to a private folder",
         [](const fs::path& usual, const fs::path& elsewhere) {
             ASSERT_EQ(symlink(elsewhere.c_str(), usual.c_str()), 0);
         }},
        {"a plain file",
         [](const fs::path& usual, const fs::path&) { std::ofstream(usual) << "x"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        TempDir tmp;
        TempDir elsewhere;
        c.make(tmp.Path() / UsualName(), elsewhere.Path());
        ExpectMovesAside(home, tmp.Path());
    }
}

TEST(KnownFolders, ARuntimeFolderOfAnotherUserIsNeverUsed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a folder to another user needs root";
    }
    TempHome home;
    TempDir tmp;
    const fs::path usual = tmp.Path() / UsualName();
    ASSERT_EQ(mkdir(usual.c_str(), 0700), 0);
    ASSERT_EQ(chown(usual.c_str(), 65534, 65534), 0);
    ExpectMovesAside(home, tmp.Path());
}

TEST(KnownFolders, ARecordedRuntimeFolderIsUsedOnlyWhenItIsPrivateAndInPlace) {
    TempHome home;
    TempDir tmp;
    TempDir elsewhere;  // private and ours, but not where the folders go
    const fs::path record = home.Home() / ".local/state/VelkDownloader/runtime-folder";
    fs::create_directories(record.parent_path());
    const fs::path inPlace = tmp.Path() / (UsualName() + "-abcdef");
    ASSERT_EQ(mkdir(inPlace.c_str(), 0755), 0);
    for (const fs::path& recorded : {elsewhere.Path(), inPlace, fs::path("/etc")}) {
        std::ofstream(record) << recorded.string() << "\n";
        EXPECT_EQ(PrivateRuntimeFolder(tmp.Path()), tmp.Path() / UsualName()) << recorded;
    }
    chmod(inPlace.c_str(), 0700);
    std::ofstream(record) << inPlace.string() << "\n";
    EXPECT_EQ(PrivateRuntimeFolder(tmp.Path()), inPlace);
}

TEST(KnownFolders, NoRuntimeFolderWhenTheUsualIsTakenAndNoneCanBeRecorded) {
    TempHome home;
    TempDir tmp;
    std::ofstream(tmp.Path() / UsualName()) << "x";
    // The state folder lies below a plain file: the name of another folder can't be kept.
    std::ofstream(home.Root() / "blocker") << "x";
    setenv("XDG_STATE_HOME", (home.Root() / "blocker/state").c_str(), 1);
    EXPECT_EQ(PrivateRuntimeFolder(tmp.Path()), fs::path());
    // And nothing was left behind beside the squatter.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator()), 1);
}
