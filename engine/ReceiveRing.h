#pragma once
// The body bytes of one transfer between their arrival and their write to the file: a fixed
// ring of kSize bytes, so that the receive path never allocates. Bytes arrive at the tail; the
// first of them may be marked moved (counted as transferred, waiting for their batch to be
// written), and leave the head once written. Owned by one Download and used on its thread only
// (libcurl's body callback runs inside that thread's calls). It does no I/O and never grows: the
// caller checks Free() before Append.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>

template <size_t kSize>
class ReceiveRing {
public:
    size_t Free() const { return kSize - used_; }
    // Bytes marked moved, not yet written.
    size_t Moved() const { return moved_; }
    // Bytes arrived but not yet marked moved.
    size_t Unmoved() const { return used_ - moved_; }

    // Copies `length` (at most Free()) bytes in at the tail.
    void Append(const char* data, size_t length) {
        const size_t tail = (head_ + used_) % kSize;
        const size_t first = std::min(length, kSize - tail);
        std::memcpy(bytes_.data() + tail, data, first);
        std::memcpy(bytes_.data(), data + first, length - first);
        used_ += length;
    }
    // Marks the next `count` (at most Unmoved()) arrived bytes moved.
    void MarkMoved(size_t count) { moved_ += count; }

    // The moved bytes from `offset` on, in order: one piece, or two when they wrap around the
    // ring's end (the second then starts at the ring's start; else it is empty).
    std::array<std::span<char>, 2> MovedPieces(size_t offset = 0) {
        const size_t head = (head_ + offset) % kSize;
        const size_t left = moved_ - offset;
        const size_t first = std::min(left, kSize - head);
        return {std::span<char>(bytes_.data() + head, first),
                std::span<char>(bytes_.data(), left - first)};
    }
    // The moved bytes were written: they leave the ring.
    void DropMoved() {
        head_ = (head_ + moved_) % kSize;
        used_ -= moved_;
        moved_ = 0;
    }
    // The moved bytes could not be written and the transfer ends: they no longer count as
    // moved, and nothing is written from the ring again.
    void ForgetMoved() { moved_ = 0; }
    // Empty, for a new request.
    void Clear() {
        head_ = 0;
        used_ = 0;
        moved_ = 0;
    }

private:
    std::array<char, kSize> bytes_;
    size_t head_ = 0;
    size_t used_ = 0;
    size_t moved_ = 0;
};
