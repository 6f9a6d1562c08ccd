#pragma once
// What every fault suite compares before and after its faults, and the figures it prints: a
// snapshot of folder trees (paths, types, sizes, a digest of every regular file, link targets),
// the download records in the settings store, and a tally of faults injected and survived,
// bytes lost and files written outside their folder. Used from the test thread.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Registry;

struct TreeEntry {
    char type = '?';     // 'f' regular file, 'd' folder, 'l' symbolic link, 'o' anything else
    uint64_t size = 0;   // regular files only
    std::string digest;  // MD5 of a regular file's bytes
    std::string target;  // a link's target
    bool operator==(const TreeEntry&) const = default;
};

// Every entry below `root`, by its path relative to `root`; links are recorded, never followed.
// A missing root gives an empty snapshot.
using TreeSnapshot = std::map<std::string, TreeEntry>;
TreeSnapshot SnapshotTree(const std::filesystem::path& root);

// Paths added, removed or changed from `before` to `after`.
std::vector<std::string> ChangedPaths(const TreeSnapshot& before, const TreeSnapshot& after);
// Of those, the ones not below any of `allowed` (relative paths of folders).
std::vector<std::string> ChangedOutside(const TreeSnapshot& before, const TreeSnapshot& after,
                                        const std::vector<std::string>& allowed);
// Bytes of the regular files of `kept` that are missing from `after` or differ there.
uint64_t LostBytes(const TreeSnapshot& kept, const TreeSnapshot& after);

// The MD5 of a file's bytes as lower-case hex; empty when it can't be read.
std::string FileDigest(const std::filesystem::path& path);

// One value under the downloads key of the settings store.
struct StoredRecord {
    std::string name;       // the value's name
    bool readable = false;  // it reads back as a whole record
    std::string recordName;
    bool completed = false;
    uint64_t total = 0;
    std::string folder;
    size_t files = 0;
    std::string digest;  // of the stored bytes
    bool operator==(const StoredRecord&) const = default;
};
// Every value under the downloads key, in stored order; empty when the store can't be opened.
std::vector<StoredRecord> StoredRecords(const std::filesystem::path& registryFile);
std::vector<StoredRecord> StoredRecords(const std::shared_ptr<Registry>& registry);

// The tally a suite prints when its test ends:
//   [faults] <suite>: injected N, survived N, bytes lost N, written outside N
// and checks: every fault survived, nothing lost, nothing written outside.
class FaultFigures {
public:
    explicit FaultFigures(std::string suite) : suite_(std::move(suite)) {}
    ~FaultFigures();
    FaultFigures(const FaultFigures&) = delete;
    FaultFigures& operator=(const FaultFigures&) = delete;

    void Injected(int count = 1) { injected_ += count; }
    void Survived(int count = 1) { survived_ += count; }
    void Lost(uint64_t bytes) { lost_ += bytes; }
    void WrittenOutside(const std::vector<std::string>& paths);

private:
    std::string suite_;
    int injected_ = 0;
    int survived_ = 0;
    uint64_t lost_ = 0;
    std::vector<std::string> outside_;
};
