#include "FuzzSupport.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "core/DebugPrintf.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

fs::path MakeHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velk-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    const fs::path home(pattern);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "share").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
    fs::create_directories(home / "runtime");
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(FuzzHome(), ignored);
    });
    // Millions of log lines would only slow the run down; they are still formatted.
    Logger().SetEcho(false);
    return home;
}

bool SameChunk(const ChunkInfo& a, const ChunkInfo& b) {
    return a.id == b.id && a.from == b.from && a.to == b.to && a.joined == b.joined &&
           a.onDisk == b.onDisk && a.md5 == b.md5;
}

}  // namespace

const fs::path& FuzzHome() {
    static const fs::path home = MakeHome();
    return home;
}

void Require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "Property failed: %s\n", what);
        std::abort();
    }
}

bool SameFile(const FileInfo& a, const FileInfo& b) {
    if (a.chunks.size() != b.chunks.size()) {
        return false;
    }
    for (size_t i = 0; i < a.chunks.size(); ++i) {
        if (!SameChunk(a.chunks[i], b.chunks[i])) {
            return false;
        }
    }
    return a.id == b.id && a.name == b.name && a.md5 == b.md5 && a.timestamp == b.timestamp &&
           a.size == b.size && a.joined == b.joined && a.verified == b.verified &&
           a.onDisk == b.onDisk && a.available == b.available && a.restart == b.restart &&
           a.notAvailableMessage == b.notAvailableMessage;
}

bool SameStoredFields(const DownloadInfo& a, const DownloadInfo& b) {
    if (a.files.size() != b.files.size()) {
        return false;
    }
    for (size_t i = 0; i < a.files.size(); ++i) {
        const FileInfo& x = a.files[i];
        const FileInfo& y = b.files[i];
        if (x.id != y.id || x.name != y.name || x.size != y.size) {
            return false;
        }
    }
    return a.listPosition == b.listPosition && a.name == b.name && a.title == b.title &&
           a.icon == b.icon && a.total == b.total && a.installer == b.installer &&
           a.completed == b.completed && a.folder == b.folder;
}

bool SameRecord(const DownloadInfo& a, const DownloadInfo& b) {
    if (!SameStoredFields(a, b) || a.priority != b.priority ||
        a.detailsReceived != b.detailsReceived || a.localDetailsLoaded != b.localDetailsLoaded ||
        a.stopped != b.stopped || a.remainingSeconds != b.remainingSeconds || a.state != b.state ||
        a.errorKind != b.errorKind || a.downloaded != b.downloaded || a.joined != b.joined ||
        a.verified != b.verified || a.available != b.available) {
        return false;
    }
    for (size_t i = 0; i < a.files.size(); ++i) {
        if (!SameFile(a.files[i], b.files[i])) {
            return false;
        }
    }
    return true;
}

void WriteWhole(const fs::path& path, const uint8_t* data, size_t size) {
    const UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    Require(fd.Valid(), "the fuzz input file can be written");
    size_t done = 0;
    while (done < size) {
        const ssize_t wrote = write(fd.Get(), data + done, size - done);
        Require(wrote > 0, "the fuzz input file can be written");
        done += static_cast<size_t>(wrote);
    }
}

std::u16string UnitsOf(const uint8_t* data, size_t size) {
    std::u16string units;
    units.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return units;
}
