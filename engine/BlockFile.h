#pragma once
// Opening, reading and writing the files that chunk checking and joining work on: never through
// a symbolic link in the last path component, only regular files, long sequential reads with the
// kernel told so. Free functions and an owning descriptor; no shared state, any thread.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

// How many bytes one step of checking or joining reads. Large enough that reading is bound by
// the disk rather than by system calls and that a multi-gigabyte file makes a few thousand
// progress reports rather than a hundred thousand; small enough that a worker notices its stop
// events within a few milliseconds.
inline constexpr size_t kDiskBlockSize = size_t{1} << 20;

// The file-system spelling (UTF-8) of a path, or nullopt when it cannot name a file here: empty,
// holding a NUL, longer than PATH_MAX, or with a component longer than NAME_MAX. Such a path is
// refused up front instead of being cut short or failing in some less telling way.
std::optional<std::string> FittingPath(std::u16string_view path);

// Why the last call failed, as text for a log line.
std::u16string ErrorText(int error);

struct OpenedFile {
    enum class Status { kOpened, kMissing, kFailed };
    Status status = Status::kFailed;
    UniqueFd fd;
    int error = 0;      // errno when not opened (EISDIR, ELOOP for a link, ...)
    uint64_t size = 0;  // when opened
    dev_t device = 0;   // when opened: identifies the file for a later unlink
    ino_t inode = 0;
};

// An existing regular file for sequential reading. A missing file (or folder on the way) is told
// apart from one that exists but cannot be read; a symbolic link, a folder or a device counts
// as the second.
OpenedFile OpenForReading(const std::string& path);
// A regular file created or truncated for writing, mode 0644 before the umask.
OpenedFile CreateForWriting(const std::string& path);

// An existing regular file for writing in place, its bytes kept (for carrying on a file that an
// earlier run began). A missing file counts as kMissing.
OpenedFile OpenForUpdating(const std::string& path);

// The same file opened a second time for writing straight to the disk (O_DIRECT), past the page
// cache: for writes of whole aligned blocks (see kDirectAlignment), which then cost no copy into
// the cache and reach the disk once. Invalid when the file system can't (tmpfs on older kernels,
// some network file systems): the caller writes through the cache instead.
UniqueFd OpenForDirectWriting(const std::string& path);
// Offsets, lengths and buffer addresses of direct writes are multiples of this (enough for every
// common device's logical block size).
inline constexpr size_t kDirectAlignment = 4096;

// A buffer of `size` bytes aligned for direct writes.
struct FreeBuffer {
    void operator()(uint8_t* bytes) const;
};
using AlignedBuffer = std::unique_ptr<uint8_t[], FreeBuffer>;
AlignedBuffer MakeAlignedBuffer(size_t size);

// Writes all `count` bytes at `offset`; false (errno set) on a write error.
bool WriteAllAt(int fd, uint64_t offset, const uint8_t* bytes, size_t count);

// Reads until `count` bytes or the end of the file; the count read, or -1 on a read error.
ssize_t ReadFull(int fd, uint8_t* buffer, size_t count);
// Writes all `count` bytes; false (errno set) on a write error, a full disk included.
bool WriteAll(int fd, const uint8_t* bytes, size_t count);

// Lets the kernel free the file's cached pages now, which it does only for pages already on
// disk (and starts writing dirty ones out: not for a file about to be deleted). For a finished
// file read for its check: a game of many gigabytes does not push everything else out.
void DropCachedPages(int fd);
// Deletes `path` only while it is still the file identified by device and inode, so that
// clean-up never takes a file that someone put under the same name in the meantime.
bool UnlinkIfSame(const std::string& path, dev_t device, ino_t inode);
// Makes a rename or creation in the folder of `path` durable; failures are ignored (some file
// systems cannot sync a folder, and the data itself is already synced).
void SyncParentFolder(const std::string& path);
