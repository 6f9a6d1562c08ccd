#pragma once
// Which file a path names, and whether it changed: device, inode, size and both time stamps.
// Two identities that compare equal mean "the very same bytes as far as the file system can
// tell"; any write, truncation, rename over it or replacement changes at least one field.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;

    bool operator==(const FileIdentity&) const = default;
};

// The identity of the regular file at `path` (a symbolic link is not followed and gives none),
// or nothing when there is no such regular file.
std::optional<FileIdentity> IdentityOfPath(const std::string& path);
// The identity of an open regular file, or nothing.
std::optional<FileIdentity> IdentityOfFd(int fd);

// Whether two looks at a file found the very same file. A missing identity (no regular file was
// there, or it could not be looked at) is the same as nothing, not even as another missing one:
// "nothing was there then and nothing is there now" says nothing about the bytes a later look
// will find, so it never vouches for them.
bool SameFile(const std::optional<FileIdentity>& first, const std::optional<FileIdentity>& second);
