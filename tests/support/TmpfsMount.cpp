#include "support/TmpfsMount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

TmpfsMount::TmpfsMount(const fs::path& path, uint64_t bytes) : path_(path), bytes_(bytes) {
    std::error_code error;
    fs::create_directories(path_, error);
    if (error) {
        reason_ = "cannot create " + path_.string() + ": " + error.message();
        return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        reason_ = "cannot mount a tmpfs on " + path_.string() + " (" + std::strerror(errno) +
                  "): the test needs root or CAP_SYS_ADMIN";
        return;
    }
    mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
    std::error_code ignored;
    fs::remove(path_, ignored);
}

uint64_t TmpfsMount::Free() const {
    struct statvfs info {};
    if (::statvfs(path_.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

bool TmpfsMount::FillLeaving(uint64_t leave, const std::string& name) {
    const fs::path filler = path_ / name;
    const UniqueFd fd(::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!fd) {
        return false;
    }
    const std::vector<char> block(4096, '\x5a');
    bool ok = true;
    while (ok && Free() > leave) {
        const uint64_t over = Free() - leave;
        const size_t count = over < block.size() ? static_cast<size_t>(over) : block.size();
        ok = ::write(fd.Get(), block.data(), count) == static_cast<ssize_t>(count);
        if (!ok && errno == ENOSPC) {
            ok = true;  // full already: nothing more to take
            break;
        }
    }
    return ok;
}

bool TmpfsMount::SetReadOnly(bool readOnly) {
    const std::string options = "size=" + std::to_string(bytes_) + ",mode=0755";
    unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV;
    if (readOnly) {
        flags |= MS_RDONLY;
    }
    return ::mount("tmpfs", path_.c_str(), "tmpfs", flags, options.c_str()) == 0;
}
