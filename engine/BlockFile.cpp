#include "engine/BlockFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <system_error>

#include "core/TextUtil.h"

std::optional<std::string> FittingPath(std::u16string_view path) {
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos) {
        return std::nullopt;
    }
    std::string native = WideToUtf8(path);
    if (native.size() >= PATH_MAX) {
        return std::nullopt;
    }
    size_t start = 0;
    while (start <= native.size()) {
        size_t end = native.find('/', start);
        if (end == std::string::npos) {
            end = native.size();
        }
        if (end - start > NAME_MAX) {
            return std::nullopt;
        }
        start = end + 1;
    }
    return native;
}

std::u16string ErrorText(int error) {
    return Utf8ToWide(std::error_code(error, std::generic_category()).message());
}

namespace {

OpenedFile Open(const std::string& path, int flags) {
    OpenedFile file;
    // O_NONBLOCK keeps a FIFO under the name from blocking the open; it means nothing for the
    // regular files we accept.
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        file.error = errno;
        file.status = (file.error == ENOENT || file.error == ENOTDIR) ? OpenedFile::Status::kMissing
                                                                      : OpenedFile::Status::kFailed;
        return file;
    }
    file.fd = UniqueFd(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        file.error = errno;
        file.fd.Reset();
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        file.fd.Reset();
        return file;
    }
    // Back to blocking I/O for the file itself.
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) {
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    file.status = OpenedFile::Status::kOpened;
    file.size = static_cast<uint64_t>(info.st_size);
    file.device = info.st_dev;
    file.inode = info.st_ino;
    return file;
}

// Calls `writeSome(done)` until `count` bytes are written, through interruptions; false (errno
// set) on a write error.
template <class WriteSome>
bool WriteEvery(size_t count, WriteSome writeSome) {
    size_t done = 0;
    while (done < count) {
        const ssize_t put = writeSome(done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace

OpenedFile OpenForReading(const std::string& path) {
    OpenedFile file = Open(path, O_RDONLY);
    if (file.fd) {
        ::posix_fadvise(file.fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return file;
}

OpenedFile CreateForWriting(const std::string& path) {
    OpenedFile file = Open(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (file.status == OpenedFile::Status::kMissing) {
        // For writing, a missing folder is simply a failure to create the file.
        file.status = OpenedFile::Status::kFailed;
    }
    return file;
}

OpenedFile OpenForUpdating(const std::string& path) {
    return Open(path, O_RDWR);
}

UniqueFd OpenForDirectWriting(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_DIRECT | O_NOFOLLOW | O_CLOEXEC));
}

void FreeBuffer::operator()(uint8_t* bytes) const {
    std::free(bytes);
}

AlignedBuffer MakeAlignedBuffer(size_t size) {
    void* bytes = nullptr;
    const size_t rounded = (size + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    if (::posix_memalign(&bytes, kDirectAlignment, rounded == 0 ? kDirectAlignment : rounded) !=
        0) {
        throw std::bad_alloc();
    }
    return AlignedBuffer(static_cast<uint8_t*>(bytes));
}

bool WriteAllAt(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
    return WriteEvery(count, [&](size_t done) {
        return ::pwrite(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    });
}

ssize_t ReadFull(int fd, uint8_t* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    return WriteEvery(count, [&](size_t done) { return ::write(fd, bytes + done, count - done); });
}

void DropCachedPages(int fd) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

bool UnlinkIfSame(const std::string& path, dev_t device, ino_t inode) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

void SyncParentFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.Get());
    }
}
