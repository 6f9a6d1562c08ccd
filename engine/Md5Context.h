#pragma once
// An MD5 digest (RFC 1321) built up block by block: start (construction), Update any number of
// times, Finalize, HexDigest. Wraps an OpenSSL digest context that it owns. One thread at a time;
// movable, not copyable.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

class Md5Context {
public:
    Md5Context();
    ~Md5Context();
    Md5Context(Md5Context&& other) noexcept;
    Md5Context& operator=(Md5Context&& other) noexcept;
    Md5Context(const Md5Context&) = delete;
    Md5Context& operator=(const Md5Context&) = delete;

    // Adding bytes after Finalize is a programming error (std::logic_error).
    void Update(const void* bytes, size_t count);
    void Update(std::span<const uint8_t> bytes) { Update(bytes.data(), bytes.size()); }
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

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
    uint8_t digest_[16] = {};
    bool finalized_ = false;
};

// The digest of a block of bytes in one call.
std::u16string Md5Hex(std::string_view bytes);
