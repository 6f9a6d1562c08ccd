#include "engine/RemovalFiles.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "engine/BlockFile.h"
#include "engine/ChunkFiles.h"

namespace {

namespace fs = std::filesystem;

// base + ".chunk" + digits, optionally followed by "_downloading".
bool IsChunkFileOf(const std::string& name, const std::string& base) {
    const std::string prefix = base + ".chunk";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    std::string rest = name.substr(prefix.size());
    const std::string partial = "_downloading";
    if (rest.size() > partial.size() &&
        rest.compare(rest.size() - partial.size(), partial.size(), partial) == 0) {
        rest.resize(rest.size() - partial.size());
    }
    return !rest.empty() &&
           std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool BelongsToFile(const std::string& name, const std::string& base) {
    return name == base || name == base + ".joining" || name == base + ".joining.state" ||
           name == base + ".joining.state.new" || IsChunkFileOf(name, base);
}

// Whether `inner` lies strictly below `outer` (both lexically normal, absolute or alike).
bool StrictlyInside(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o) {
        if (o->empty()) {
            continue;  // the trailing "" of a folder spelt with its final separator
        }
        if (i == inner.end() || *i != *o) {
            return false;
        }
        ++i;
    }
    for (; i != inner.end(); ++i) {
        if (!i->empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

size_t DeleteDownloadFiles(const DownloadInfo& record) {
    const std::optional<std::string> recordFolderSpelled =
        FittingPath(NormaliseFolder(record.folder));
    if (!recordFolderSpelled) {
        return 0;
    }
    const fs::path recordFolder = fs::path(*recordFolderSpelled).lexically_normal();
    size_t deleted = 0;
    std::set<fs::path> folders;
    for (const FileInfo& file : record.files) {
        if (!IsSafeRelativeName(file.name)) {
            continue;
        }
        const std::optional<std::string> finished =
            FittingPath(FinishedFilePath(record.folder, file.name));
        if (!finished) {
            continue;
        }
        const fs::path path = fs::path(*finished).lexically_normal();
        const fs::path folder = path.parent_path();
        const std::string base = path.filename().string();
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            std::error_code statusError;
            if (!BelongsToFile(name, base) || fs::is_directory(it->symlink_status(statusError))) {
                continue;
            }
            std::error_code removeError;
            if (fs::remove(it->path(), removeError)) {
                ++deleted;
            } else if (removeError) {
                Logger().Warning(u"Cannot delete %s: %s", Utf8ToWide(it->path().string()),
                                 Utf8ToWide(removeError.message()));
            }
        }
        if (StrictlyInside(folder, recordFolder)) {
            folders.insert(folder);
        }
    }
    // Deepest first, so that a folder emptied by removing its subfolder goes too.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        for (fs::path folder = *it; StrictlyInside(folder, recordFolder);
             folder = folder.parent_path()) {
            std::error_code error;
            if (!fs::is_empty(folder, error) || error || !fs::remove(folder, error)) {
                break;
            }
        }
    }
    Logger().Log(u"Deleted %u files of %s.", static_cast<uint64_t>(deleted), record.name);
    return deleted;
}
