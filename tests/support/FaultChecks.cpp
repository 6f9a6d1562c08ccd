#include "support/FaultChecks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <system_error>

#include "core/DownloadInfo.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "engine/Md5Context.h"
#include "platform/Registry.h"
#include "support/FileFixtures.h"

namespace fs = std::filesystem;

namespace {

std::string Md5Of(const std::string& bytes) {
    Md5Context md5;
    md5.Update(bytes.data(), bytes.size());
    md5.Finalize();
    return WideToUtf8(md5.HexDigest());
}

bool Below(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

}  // namespace

TreeSnapshot SnapshotTree(const fs::path& root) {
    TreeSnapshot snapshot;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error))) {
        return snapshot;
    }
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        TreeEntry entry;
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (fs::is_symlink(status)) {
            entry.type = 'l';
            entry.target = fs::read_symlink(it->path(), statusError).string();
        } else if (fs::is_directory(status)) {
            entry.type = 'd';
        } else if (fs::is_regular_file(status)) {
            entry.type = 'f';
            entry.size = it->file_size(statusError);
            entry.digest = FileDigest(it->path());
        } else {
            entry.type = 'o';
        }
        snapshot[fs::relative(it->path(), root, statusError).string()] = entry;
    }
    return snapshot;
}

std::vector<std::string> ChangedPaths(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::vector<std::string> changed;
    for (const auto& [path, entry] : after) {
        const auto found = before.find(path);
        if (found == before.end() || !(found->second == entry)) {
            changed.push_back(path);
        }
    }
    for (const auto& [path, entry] : before) {
        if (after.find(path) == after.end()) {
            changed.push_back(path);
        }
    }
    return changed;
}

std::vector<std::string> ChangedOutside(const TreeSnapshot& before, const TreeSnapshot& after,
                                        const std::vector<std::string>& allowed) {
    std::vector<std::string> outside;
    for (const std::string& path : ChangedPaths(before, after)) {
        bool inside = false;
        for (const std::string& folder : allowed) {
            // A folder on the way to an allowed one may appear with it.
            inside = inside || Below(path, folder) || Below(folder, path);
        }
        if (!inside) {
            outside.push_back(path);
        }
    }
    return outside;
}

uint64_t LostBytes(const TreeSnapshot& kept, const TreeSnapshot& after) {
    uint64_t lost = 0;
    for (const auto& [path, entry] : kept) {
        if (entry.type != 'f') {
            continue;
        }
        const auto found = after.find(path);
        if (found == after.end() || !(found->second == entry)) {
            lost += entry.size;
        }
    }
    return lost;
}

std::string FileDigest(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(path, error))) {
        return {};
    }
    return Md5Of(ReadFile(path));
}

std::vector<StoredRecord> StoredRecords(const fs::path& registryFile) {
    std::error_code error;
    if (!fs::exists(registryFile, error)) {
        return {};
    }
    return StoredRecords(Registry::Open(registryFile));
}

std::vector<StoredRecord> StoredRecords(const std::shared_ptr<Registry>& registry) {
    std::vector<StoredRecord> records;
    std::optional<RegistryKey> key =
        RegistryKey::Open(registry, u"Software\\Velkora\\VelkDownloader\\Downloads");
    if (!key) {
        return records;
    }
    for (uint32_t index = 0;; ++index) {
        std::optional<RegistryValue> value = key->EnumValue(index);
        if (!value) {
            break;
        }
        StoredRecord record;
        record.name = WideToUtf8(value->name);
        record.digest = Md5Of(std::string(value->data.begin(), value->data.end()));
        DownloadInfo info;
        const uint8_t* cursor = value->data.data();
        size_t remaining = value->data.size();
        if (value->type == REG_BINARY && info.Deserialize(cursor, remaining)) {
            record.readable = true;
            record.recordName = WideToUtf8(info.name);
            record.completed = info.completed;
            record.total = info.total;
            record.folder = WideToUtf8(info.folder);
            record.files = info.files.size();
        }
        records.push_back(record);
    }
    return records;
}

void FaultFigures::WrittenOutside(const std::vector<std::string>& paths) {
    outside_.insert(outside_.end(), paths.begin(), paths.end());
}

FaultFigures::~FaultFigures() {
    std::printf("[faults] %s: injected %d, survived %d, bytes lost %llu, written outside %zu\n",
                suite_.c_str(), injected_, survived_, static_cast<unsigned long long>(lost_),
                outside_.size());
    std::fflush(stdout);
    EXPECT_GT(injected_, 0) << suite_ << ": no fault was injected";
    EXPECT_EQ(survived_, injected_) << suite_;
    EXPECT_EQ(lost_, 0u) << suite_;
    for (const std::string& path : outside_) {
        ADD_FAILURE() << suite_ << ": written outside its folder: " << path;
    }
}
