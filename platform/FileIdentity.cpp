#include "platform/FileIdentity.h"

#include <sys/stat.h>

namespace {

int64_t Nanoseconds(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::optional<FileIdentity> IdentityOfStat(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return FileIdentity{info.st_dev, info.st_ino, static_cast<uint64_t>(info.st_size),
                        Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

}  // namespace

std::optional<FileIdentity> IdentityOfPath(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return IdentityOfStat(info);
}

std::optional<FileIdentity> IdentityOfFd(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return std::nullopt;
    }
    return IdentityOfStat(info);
}

bool SameFile(const std::optional<FileIdentity>& first, const std::optional<FileIdentity>& second) {
    return first && second && *first == *second;
}
