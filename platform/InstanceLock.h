#pragma once
// Decides whether this process is the program's first instance for the user: an exclusive,
// non-blocking flock on a lock file in the user's runtime folder. The owner keeps the object for
// the process's whole life; the kernel drops the lock when the process ends, even by a crash,
// so a stale file never blocks the next start. Used once, on the start-up thread.
#include <filesystem>
#include <string>

#include "platform/UniqueFd.h"

class InstanceLock {
public:
    enum class Result {
        First,           // the lock is ours: this is the first instance
        AlreadyRunning,  // another process holds it
        Failed,          // anything else (no runtime folder, unsafe file, I/O error)
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock on `file` (the default one when empty). Only the first successful call
    // holds it; calling again while held returns First without reopening.
    Result Acquire(const std::filesystem::path& file = {});
    bool Held() const { return fd_.Valid(); }
    // Why the last Acquire failed, for the user: what could not be had, and the system's reason.
    const std::string& Error() const { return error_; }
    // Drops the lock now (the destructor does it too).
    void Release();

    // $RUNTIME/velkdownloader.lock; empty when there is no safe runtime folder.
    static std::filesystem::path DefaultPath();

private:
    Result Fail(std::string error);

    UniqueFd fd_;
    std::string error_;
};
