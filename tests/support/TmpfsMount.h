#pragma once
// A small tmpfs mounted on a fresh folder for the life of the object, so that a test can fill a
// disk or make one read-only without touching any other. Mounting needs root (or the right
// capability); Mounted() tells whether it worked and Reason() why not, for GTEST_SKIP.
// Used from the test thread.
#include <cstdint>
#include <filesystem>
#include <string>

class TmpfsMount {
public:
    // Mounts a tmpfs of `bytes` on a new folder `path` (created; it must not exist yet).
    TmpfsMount(const std::filesystem::path& path, uint64_t bytes);
    // Unmounts (lazily, so an open file can't keep it) and removes the folder.
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Reason() const { return reason_; }
    const std::filesystem::path& Path() const { return path_; }

    // Bytes free for files now.
    uint64_t Free() const;
    // Writes a filler file so that at most `leave` bytes stay free; returns whether it worked.
    bool FillLeaving(uint64_t leave, const std::string& name = ".filler");
    // Makes the mount read-only (true) or writable again (false).
    bool SetReadOnly(bool readOnly);

private:
    std::filesystem::path path_;
    uint64_t bytes_ = 0;
    bool mounted_ = false;
    std::string reason_;
};
