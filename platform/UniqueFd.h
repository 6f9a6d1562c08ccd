#pragma once
// UniqueFd: the one owner of a file descriptor (file, socket, lock, folder). Move-only; the
// descriptor is closed when the owner goes, unless it was released first. No shared state: an
// owner is used by one thread at a time, like the descriptor it holds.
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd < 0 ? -1 : fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }

    // Gives the descriptor up without closing it; the caller owns it from now on.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor (if any) and takes `fd` in its place.
    void Reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) {
            ::close(fd_);
        }
        fd_ = fd < 0 ? -1 : fd;
    }
    // Closes and reports whether the close succeeded: a delayed write error shows up here, so
    // a writer that must know its data reached the file closes through this.
    bool Close() {
        if (fd_ < 0) {
            return true;
        }
        const int result = ::close(Release());
        return result == 0;
    }

private:
    int fd_ = -1;
};
