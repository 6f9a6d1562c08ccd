#pragma once
// An MD5 digest (RFC 1321) built up block by block: start (construction), Update any number of
// times, Finalize, HexDigest. A plain value: copying one keeps a digest's progress to go back to.
// One thread at a time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/Md5Blocks.h"

class Md5Context {
public:
    Md5Context() = default;

    // Adding bytes after Finalize is a programming error (std::logic_error).
    void Update(const void* bytes, size_t count);
    void Update(std::span<const uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
    // Adds the same bytes to two digests, in about the time one pass of them takes alone when
    // both stand at the same place within MD5's 64-byte blocks (and in two passes otherwise).
    static void UpdateBoth(Md5Context& first, Md5Context& second, const void* bytes, size_t count);
    // Ends the digest; further calls do nothing.
    void Finalize();
    bool IsFinalized() const { return finalized_; }
    // 32 lower-case hexadecimal digits; empty text until Finalize.
    std::u16string HexDigest() const;
    // Starts a fresh digest, as a newly made context.
    void Restart();

    // Adds up to `limit` bytes from the start of the file at `path`, so that a digest can carry on
    // over a file whose beginning is already on disk (a resumed transfer feeds the bytes it
    // finds, then every block it writes). Reads in large blocks; `proceed`, when given, is asked
    // before each block after the first and stops the reading when it says no. Returns the bytes
    // added (fewer than `limit` when the file is shorter), or nullopt when the file could not be
    // opened or read, or reading was stopped — the digest is then useless and must be restarted.
    std::optional<uint64_t> UpdateFromFile(std::u16string_view path, uint64_t limit,
                                           const std::function<bool()>& proceed = {});

    // The progress of an unfinished digest as text (hexadecimal: the state, the byte count and
    // the bytes of the partial block), so that a digest of a file being built can be kept on
    // disk and carried on by a later run; Restored reads it back, nothing for text that is not
    // one, or a finished digest.
    std::string Saved() const;
    static std::optional<Md5Context> Restored(std::string_view text);
    uint64_t Length() const { return length_; }

private:
    size_t Buffered() const { return static_cast<size_t>(length_ % 64); }
    // Fills the partial block from `bytes`; how many it took.
    size_t FillBlock(const uint8_t* bytes, size_t count);

    Md5State state_;
    uint64_t length_ = 0;  // bytes added
    uint8_t block_[64] = {};
    uint8_t digest_[16] = {};
    bool finalized_ = false;
};

// The digest of a block of bytes in one call.
std::u16string Md5Hex(std::string_view bytes);
