#include "platform/HandOffNames.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "platform/KnownFolders.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kTagLength = 16;

// FNV-1a: a short, stable tag for the runtime folder's path; not a secret, only a separator.
uint32_t ShortHash(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

HandOffNames NamesWithPrefix(const std::string& prefix) {
    return {prefix + "token", prefix + "block", prefix + "notify"};
}

std::string UsualPrefix() {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", ShortHash(RuntimeFolder().string()));
    return "/velkdownloader-" + std::to_string(getuid()) + "-" + tag + "-";
}

bool IsTag(std::string_view text) {
    if (text.size() != kTagLength) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

fs::path RecordPath() {
    const fs::path folder = RuntimeFolder();
    return folder.empty() ? fs::path() : folder / "velkdownloader.handoff";
}

// Opens a file of the shared-memory folder without following a link, for a look at its owner.
HandOffObject FileObject(const std::string& path) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        // Anything but absence - a link, a file we may not read - is not ours to use.
        return errno == ENOENT ? HandOffObject::Absent : HandOffObject::Foreign;
    }
    return DescriptorObject(fd.Get());
}

}  // namespace

HandOffNames HandOffNames::Usual() {
    return NamesWithPrefix(UsualPrefix() + "handoff-");
}

HandOffNames HandOffNames::ForCurrentUser() {
    const std::optional<std::string> tag = RecordedHandOffTag();
    return tag ? Usual().Tagged(*tag) : Usual();
}

HandOffNames HandOffNames::Tagged(std::string_view tag) const {
    const auto tagged = [tag](const std::string& name) {
        const size_t at = name.rfind("handoff-");
        return at == std::string::npos
                   ? name
                   : name.substr(0, at) + std::string(tag) + "-" + name.substr(at);
    };
    return {tagged(token), tagged(block), tagged(notify)};
}

HandOffObject DescriptorObject(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        return HandOffObject::Foreign;
    }
    return (info.st_mode & 0077) == 0 ? HandOffObject::Private : HandOffObject::Exposed;
}

HandOffObject SemaphoreObject(const std::string& name) {
    // A named semaphore has no descriptor to look at; glibc keeps it as this file.
    return FileObject("/dev/shm/sem." + name.substr(name.empty() ? 0 : 1));
}

HandOffObject SharedMemoryObject(const std::string& name) {
    return FileObject("/dev/shm/" + name.substr(name.empty() ? 0 : 1));
}

std::string NewHandOffTag() {
    uint8_t bytes[kTagLength / 2];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return {};
        }
        got += static_cast<size_t>(n);
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string tag;
    for (const uint8_t byte : bytes) {
        tag += kDigits[byte >> 4];
        tag += kDigits[byte & 0x0F];
    }
    return tag;
}

std::optional<std::string> RecordedHandOffTag() {
    const fs::path path = RecordPath();
    if (path.empty()) {
        return std::nullopt;
    }
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    struct stat info {};
    char buffer[64];
    ssize_t n = -1;
    if (fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & 0022) == 0) {
        n = read(fd.Get(), buffer, sizeof buffer);
    }
    fd.Reset();
    if (n <= 0) {
        return std::nullopt;
    }
    std::string text(buffer, static_cast<size_t>(n));
    if (text.back() == '\n') {
        text.pop_back();
    }
    return IsTag(text) ? std::optional<std::string>(text) : std::nullopt;
}

bool RecordHandOffTag(const std::string& tag) {
    const fs::path path = RecordPath();
    if (path.empty() || !IsTag(tag)) {
        return false;
    }
    // Written aside and renamed into place, so a starting sender reads the old tag or the new,
    // never half of one.
    const fs::path fresh = path.string() + ".new";
    unlink(fresh.c_str());
    UniqueFd fd(open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return false;
    }
    const std::string line = tag + "\n";
    const bool written =
        write(fd.Get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
    const bool closed = fd.Close();
    if (!written || !closed || rename(fresh.c_str(), path.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

void ForgetHandOffTag() {
    const fs::path path = RecordPath();
    if (!path.empty()) {
        unlink(path.c_str());
    }
}
