#include "platform/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
}

}  // namespace
