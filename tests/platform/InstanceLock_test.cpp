#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "platform/PrivateRuntimeFolder.h"
#include "support/TempHome.h"

namespace {

TEST(InstanceLock, FirstHoldsUntilReleased) {
    TempHome home;
    InstanceLock first;
    ASSERT_EQ(first.Acquire(), InstanceLock::Result::First);
    EXPECT_EQ(InstanceLock::DefaultPath(), home.RuntimeDir() / "velkdownloader.lock");

    struct stat info {};
    ASSERT_EQ(stat(InstanceLock::DefaultPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // flock belongs to the open file description, so a second one conflicts even here.
    InstanceLock second;
    EXPECT_EQ(second.Acquire(), InstanceLock::Result::AlreadyRunning);
    EXPECT_FALSE(second.Held());

    first.Release();
    EXPECT_EQ(second.Acquire(), InstanceLock::Result::First);
}

TEST(InstanceLock, AnotherProcessSeesItAndTheKernelDropsItWithTheProcess) {
    TempHome home;
    int ready[2];
    int finish[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(finish), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child takes the lock, says so, and dies without releasing it.
        InstanceLock lock;
        const char result = lock.Acquire() == InstanceLock::Result::First ? 'F' : 'x';
        (void)!write(ready[1], &result, 1);
        char ignored;
        (void)!read(finish[0], &ignored, 1);
        _exit(0);
    }
    char result = 0;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    EXPECT_EQ(result, 'F');
    InstanceLock mine;
    EXPECT_EQ(mine.Acquire(), InstanceLock::Result::AlreadyRunning);

    ASSERT_EQ(write(finish[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(mine.Acquire(), InstanceLock::Result::First);
    for (int fd : {ready[0], ready[1], finish[0], finish[1]}) {
        close(fd);
    }
}

TEST(InstanceLock, RefusesASymlinkInPlaceOfTheLockFile) {
    TempHome home;
    TempDir elsewhere;
    const auto target = elsewhere.Path() / "victim";
    ASSERT_EQ(symlink(target.c_str(), InstanceLock::DefaultPath().c_str()), 0);
    InstanceLock lock;
    EXPECT_EQ(lock.Acquire(), InstanceLock::Result::Failed);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_NE(lock.Error().find(InstanceLock::DefaultPath().string()), std::string::npos)
        << lock.Error();
}

TEST(InstanceLock, SaysWhyItCannotBeTaken) {
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<void(const TempHome&)> make;
        const char* reason;
    };
    const Case cases[] = {
        {"no runtime folder", false,
         [](const TempHome& home) {
             setenv("XDG_RUNTIME_DIR", (home.Root() / "missing").c_str(), 1);
         },
         "No such file or directory"},
        {"a folder in place of the file", false,
         [](const TempHome&) { std::filesystem::create_directory(InstanceLock::DefaultPath()); },
         "Is a directory"},
        {"another user's file", true,
         [](const TempHome&) {
             std::ofstream(InstanceLock::DefaultPath()) << "";
             ASSERT_EQ(chown(InstanceLock::DefaultPath().c_str(), 65534, 65534), 0);
         },
         "not a plain file of this user's"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) {
            continue;  // only root can give a file away
        }
        TempHome home;
        c.make(home);
        InstanceLock lock;
        EXPECT_EQ(lock.Acquire(), InstanceLock::Result::Failed);
        EXPECT_FALSE(lock.Held());
        EXPECT_NE(lock.Error().find(InstanceLock::DefaultPath().string() + ": " + c.reason),
                  std::string::npos)
            << lock.Error();
    }
}

// Someone else made the usual runtime folder's name first: the user's starts still meet, as
// first and second instance, in the private folder that took its place.
TEST(InstanceLock, StartsStillMeetWhenTheUsualRuntimeFolderIsTaken) {
    TempHome home;
    TempDir tmp;  // stands in for /tmp
    const auto usual = tmp.Path() / ("velkdownloader-" + std::to_string(getuid()));
    ASSERT_EQ(mkdir(usual.c_str(), 0700), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(usual.c_str(), 65534, 65534), 0);
    } else {
        ASSERT_EQ(chmod(usual.c_str(), 0777), 0);
    }
    const auto lockFile = [&] { return PrivateRuntimeFolder(tmp.Path()) / "velkdownloader.lock"; };
    InstanceLock first;
    ASSERT_EQ(first.Acquire(lockFile()), InstanceLock::Result::First) << first.Error();
    EXPECT_NE(lockFile().parent_path(), usual);

    int answer[2];
    ASSERT_EQ(pipe(answer), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A later start, as its own process, finds the folder by itself.
        InstanceLock second;
        const char result =
            second.Acquire(lockFile()) == InstanceLock::Result::AlreadyRunning ? 'A' : 'x';
        (void)!write(answer[1], &result, 1);
        _exit(0);
    }
    char result = 0;
    ASSERT_EQ(read(answer[0], &result, 1), 1);
    EXPECT_EQ(result, 'A');
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(answer[0]);
    close(answer[1]);

    first.Release();
    InstanceLock next;
    EXPECT_EQ(next.Acquire(lockFile()), InstanceLock::Result::First);
    EXPECT_TRUE(next.Error().empty());
}

}  // namespace
