#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/KnownFolders.h"

InstanceLock::~InstanceLock() {
    Release();
}

void InstanceLock::Release() {
    if (fd_ >= 0) {
        close(fd_);  // closing the only descriptor of the description drops the flock
        fd_ = -1;
    }
}

InstanceLock::Result InstanceLock::Fail(std::string error) {
    error_ = std::move(error);
    return Result::Failed;
}

std::filesystem::path InstanceLock::DefaultPath() {
    const std::filesystem::path folder = RuntimeFolder();
    if (folder.empty()) {
        return {};
    }
    return folder / "velkdownloader.lock";
}

InstanceLock::Result InstanceLock::Acquire(const std::filesystem::path& file) {
    if (fd_ >= 0) {
        return Result::First;
    }
    error_.clear();
    const std::filesystem::path path = file.empty() ? DefaultPath() : file;
    if (path.empty()) {
        return Fail(
            "no runtime folder of this user's own: XDG_RUNTIME_DIR is not set, and under /tmp "
            "neither /tmp/velkdownloader-" +
            std::to_string(getuid()) +
            " (made by someone else or open to others) nor a private folder in its place could "
            "be used");
    }
    // O_NOFOLLOW: a symlink planted in place of the lock file must not make us create or lock
    // some other file of the user's.
    int fd = -1;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail(path.string() + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(fd);
        return Fail(path.string() + ": not a plain file of this user's");
    }
    int rc = -1;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return Result::AlreadyRunning;
        }
        return Fail(path.string() + ": cannot lock: " + std::strerror(error));
    }
    fd_ = fd;
    return Result::First;
}
