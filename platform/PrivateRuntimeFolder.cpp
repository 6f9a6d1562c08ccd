#include "platform/PrivateRuntimeFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "platform/KnownFolders.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

// A real folder, not a link to one, of ours, that nobody else may list, enter or change.
bool IsPrivateFolder(const fs::path& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 0077) == 0;
}

// Makes the folder, or finds the one an earlier start made; true when it is private to us.
bool MakeOrFindPrivate(const fs::path& folder) {
    if (mkdir(folder.c_str(), 0700) == 0) {
        // A strict umask may have taken our own bits; nobody else can reach it meanwhile.
        chmod(folder.c_str(), 0700);
    } else if (errno != EEXIST) {
        return false;
    }
    return IsPrivateFolder(folder);
}

bool Exists(const fs::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

// The file that names the folder in use when it is not the usual one; open and locked for the
// object's life, so one start at a time reads, decides and writes.
class FolderRecord {
public:
    explicit FolderRecord(const fs::path& file) {
        std::error_code ignored;
        fs::create_directories(file.parent_path(), ignored);
        UniqueFd fd;
        do {
            fd.Reset(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        } while (!fd && errno == EINTR);
        if (!fd) {
            return;
        }
        struct stat info {};
        // Only a file nobody else can write may tell us where our private objects are.
        if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
            (info.st_mode & 0022) != 0) {
            return;
        }
        fd_ = std::move(fd);
        // Where the home's file system can't lock (some network mounts), two starts at the very
        // same moment might still choose apart; that is no reason to refuse to start.
        while (flock(fd_.Get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }

    bool Valid() const { return fd_.Valid(); }

    std::string Read() const {
        char buffer[4096];
        const ssize_t n = pread(fd_.Get(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            return {};
        }
        std::string text(buffer, static_cast<size_t>(n));
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    }

    bool Write(const std::string& text) const {
        const std::string line = text.empty() ? text : text + "\n";
        return ftruncate(fd_.Get(), 0) == 0 &&
               pwrite(fd_.Get(), line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
    }

private:
    UniqueFd fd_;
};

}  // namespace

fs::path PrivateRuntimeFolder(const fs::path& tmp) {
    const std::string name = "velkdownloader-" + std::to_string(getuid());
    const fs::path usual = tmp / name;
    const fs::path recordFile = StateHomeFolder() / "VelkDownloader" / "runtime-folder";

    // The common case: no start of ours ever had to move aside. A start that moves aside makes
    // the record before it looks at the usual folder, so a start that sees no record both before
    // and after taking the usual folder cannot end up apart from it.
    if (!Exists(recordFile) && MakeOrFindPrivate(usual) && !Exists(recordFile)) {
        return usual;
    }

    const FolderRecord record(recordFile);
    if (!record.Valid()) {
        // Nowhere to keep a folder of another name; the usual one still serves if it is ours.
        return IsPrivateFolder(usual) ? usual : fs::path();
    }
    const std::string prefix = (tmp / (name + "-")).string();
    const std::string recorded = record.Read();
    if (recorded.size() > prefix.size() && recorded.compare(0, prefix.size(), prefix) == 0 &&
        recorded.find('/', prefix.size()) == std::string::npos && IsPrivateFolder(recorded)) {
        return recorded;
    }
    if (MakeOrFindPrivate(usual)) {
        record.Write({});
        return usual;
    }
    std::string made = prefix + "XXXXXX";
    if (mkdtemp(made.data()) == nullptr) {
        return {};
    }
    chmod(made.c_str(), 0700);
    if (!IsPrivateFolder(made) || !record.Write(made)) {
        rmdir(made.c_str());
        return {};
    }
    return made;
}
