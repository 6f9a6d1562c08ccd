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
    fd_.Reset();  // closing the only descriptor of the description drops the flock
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
    if (fd_) {
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
    UniqueFd fd;
    do {
        fd.Reset(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    } while (!fd && errno == EINTR);
    if (!fd) {
        return Fail(path.string() + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        return Fail(path.string() + ": not a plain file of this user's");
    }
    int rc = -1;
    do {
        rc = flock(fd.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        fd.Reset();
        if (error == EWOULDBLOCK) {
            return Result::AlreadyRunning;
        }
        return Fail(path.string() + ": cannot lock: " + std::strerror(error));
    }
    fd_ = std::move(fd);
    return Result::First;
}
