#include "engine/OverlappedWrites.h"

#include <cerrno>

#include "engine/BlockFile.h"

OverlappedWrites::~OverlappedWrites() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !pending_; });
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool OverlappedWrites::Write(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !pending_; });
        if (error_ != 0) {
            errno = error_;
            return false;
        }
        fd_ = fd;
        offset_ = offset;
        bytes_ = bytes;
        count_ = count;
        pending_ = true;
    }
    changed_.notify_all();
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
    }
    return true;
}

bool OverlappedWrites::Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    if (error_ != 0) {
        errno = error_;
        return false;
    }
    return true;
}

void OverlappedWrites::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || stop_; });
        if (!pending_) {
            return;
        }
        const int fd = fd_;
        const uint64_t offset = offset_;
        const uint8_t* bytes = bytes_;
        const size_t count = count_;
        lock.unlock();
        const bool written = WriteAllAt(fd, offset, bytes, count);
        const int error = written ? 0 : errno;
        lock.lock();
        if (!written && error_ == 0) {
            error_ = error == 0 ? EIO : error;
        }
        pending_ = false;
        changed_.notify_all();
    }
}
