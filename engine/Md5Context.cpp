#include "engine/Md5Context.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "engine/BlockFile.h"

void Md5Context::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Md5Context::Md5Context() : context_(EVP_MD_CTX_new()) {
    if (!context_) {
        throw std::bad_alloc();
    }
    Restart();
}

Md5Context::~Md5Context() = default;
Md5Context::Md5Context(Md5Context&& other) noexcept = default;
Md5Context& Md5Context::operator=(Md5Context&& other) noexcept = default;

void Md5Context::Restart() {
    if (!context_) {
        // A moved-from context comes back to life.
        context_.reset(EVP_MD_CTX_new());
        if (!context_) {
            throw std::bad_alloc();
        }
    }
    if (EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available from OpenSSL");
    }
    finalized_ = false;
}

void Md5Context::Update(const void* bytes, size_t count) {
    if (finalized_ || !context_) {
        throw std::logic_error("Md5Context::Update after Finalize");
    }
    if (count > 0 && EVP_DigestUpdate(context_.get(), bytes, count) != 1) {
        throw std::runtime_error("MD5 update failed");
    }
}

void Md5Context::Finalize() {
    if (finalized_ || !context_) {
        return;
    }
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest_, &length) != 1 || length != sizeof digest_) {
        throw std::runtime_error("MD5 finish failed");
    }
    finalized_ = true;
}

std::u16string Md5Context::HexDigest() const {
    if (!finalized_) {
        return {};
    }
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string text;
    text.reserve(2 * sizeof digest_);
    for (const uint8_t byte : digest_) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

std::optional<uint64_t> Md5Context::UpdateFromFile(std::u16string_view path, uint64_t limit,
                                                   const std::function<bool()>& proceed) {
    const std::optional<std::string> native = FittingPath(path);
    if (!native) {
        return std::nullopt;
    }
    OpenedFile file = OpenForReading(*native);
    if (!file.fd) {
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(limit, kDiskBlockSize)));
    uint64_t added = 0;
    while (added < limit) {
        if (added > 0 && proceed && !proceed()) {
            return std::nullopt;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(limit - added, buffer.size()));
        const ssize_t got = ReadFull(file.fd.Get(), buffer.data(), want);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        Update(buffer.data(), static_cast<size_t>(got));
        added += static_cast<uint64_t>(got);
    }
    return added;
}

std::u16string Md5Hex(std::string_view bytes) {
    Md5Context context;
    context.Update(bytes.data(), bytes.size());
    context.Finalize();
    return context.HexDigest();
}
