#pragma once
// Writes of one pass over a file, each overlapping the work on the next block: Write hands a
// block to a thread of its own and returns at once, once the block before it is written; the
// caller reads and digests the next block meanwhile into another buffer. For direct writes,
// which wait for the disk: the pass then takes about as long as the slower of the two rather
// than their sum. One pass (one thread) uses it; the writing thread lives as long as it.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

class OverlappedWrites {
public:
    OverlappedWrites() = default;
    // Waits for the write in flight.
    ~OverlappedWrites();
    OverlappedWrites(const OverlappedWrites&) = delete;
    OverlappedWrites& operator=(const OverlappedWrites&) = delete;

    // Waits for the write in flight; false (errno set) when it or an earlier one failed. Then
    // starts writing `count` bytes at `bytes` to `fd` at `offset`; the bytes must stay as they
    // are until the next call.
    bool Write(int fd, uint64_t offset, const uint8_t* bytes, size_t count);
    // Waits for the write in flight; false (errno set) when any write failed.
    bool Wait();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;  // a write handed over and not done
    bool stop_ = false;
    int error_ = 0;  // errno of the first write that failed
    int fd_ = -1;
    uint64_t offset_ = 0;
    const uint8_t* bytes_ = nullptr;
    size_t count_ = 0;
    std::thread thread_;  // started with the first write
};
