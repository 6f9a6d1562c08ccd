#include "engine/Md5Context.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "engine/BlockFile.h"

void Md5Context::Restart() {
    *this = Md5Context();
}

size_t Md5Context::FillBlock(const uint8_t* bytes, size_t count) {
    const size_t used = Buffered();
    const size_t take = std::min(count, 64 - used);
    std::memcpy(block_ + used, bytes, take);
    length_ += take;
    if (used + take == 64) {
        Md5Compress(state_, block_, 1);
    }
    return take;
}

void Md5Context::Update(const void* bytes, size_t count) {
    if (finalized_) {
        throw std::logic_error("Md5Context::Update after Finalize");
    }
    auto at = static_cast<const uint8_t*>(bytes);
    if (count > 0 && Buffered() > 0) {
        const size_t took = FillBlock(at, count);
        at += took;
        count -= took;
    }
    const size_t whole = count / 64;
    if (whole > 0) {
        Md5Compress(state_, at, whole);
        at += whole * 64;
        count -= whole * 64;
        length_ += whole * 64;
    }
    if (count > 0) {
        FillBlock(at, count);
    }
}

void Md5Context::UpdateBoth(Md5Context& first, Md5Context& second, const void* bytes,
                            size_t count) {
    if (first.finalized_ || second.finalized_) {
        throw std::logic_error("Md5Context::Update after Finalize");
    }
    if (first.Buffered() != second.Buffered()) {
        first.Update(bytes, count);
        second.Update(bytes, count);
        return;
    }
    auto at = static_cast<const uint8_t*>(bytes);
    if (count > 0 && first.Buffered() > 0) {
        const size_t took = first.FillBlock(at, count);
        second.FillBlock(at, took);
        at += took;
        count -= took;
    }
    const size_t whole = count / 64;
    if (whole > 0) {
        Md5CompressTwice(first.state_, second.state_, at, whole);
        at += whole * 64;
        count -= whole * 64;
        first.length_ += whole * 64;
        second.length_ += whole * 64;
    }
    if (count > 0) {
        first.FillBlock(at, count);
        second.FillBlock(at, count);
    }
}

void Md5Context::Finalize() {
    if (finalized_) {
        return;
    }
    // The bit length goes in little-endian order after a single 1 bit and zeros that end the
    // last block 8 bytes short.
    const uint64_t bits = length_ * 8;
    uint8_t tail[72] = {0x80};
    const size_t padding = (Buffered() < 56 ? 56 : 120) - Buffered();
    for (int i = 0; i < 8; ++i) {
        tail[padding + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
    }
    Update(tail, padding + 8);
    const uint32_t words[4] = {state_.a, state_.b, state_.c, state_.d};
    for (size_t i = 0; i < 16; ++i) {
        digest_[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
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

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(std::string& text, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        const auto byte = static_cast<uint8_t>(value >> (8 * i));
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0f]);
    }
}

std::optional<uint64_t> ReadHex(std::string_view text, size_t at, int bytes) {
    if (text.size() < at + 2 * static_cast<size_t>(bytes)) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (size_t i = at; i < at + 2 * static_cast<size_t>(bytes); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    return value;
}

}  // namespace

std::string Md5Context::Saved() const {
    std::string text;
    if (finalized_) {
        return text;
    }
    for (const uint32_t word : {state_.a, state_.b, state_.c, state_.d}) {
        AppendHex(text, word, 4);
    }
    AppendHex(text, length_, 8);
    for (size_t i = 0; i < Buffered(); ++i) {
        AppendHex(text, block_[i], 1);
    }
    return text;
}

std::optional<Md5Context> Md5Context::Restored(std::string_view text) {
    constexpr size_t kFixed = 2 * (16 + 8);
    Md5Context context;
    uint32_t* words[4] = {&context.state_.a, &context.state_.b, &context.state_.c,
                          &context.state_.d};
    for (size_t i = 0; i < 4; ++i) {
        const std::optional<uint64_t> word = ReadHex(text, 8 * i, 4);
        if (!word) {
            return std::nullopt;
        }
        *words[i] = static_cast<uint32_t>(*word);
    }
    const std::optional<uint64_t> length = ReadHex(text, 32, 8);
    if (!length || *length > (UINT64_MAX >> 3) || text.size() != kFixed + 2 * (*length % 64)) {
        return std::nullopt;
    }
    context.length_ = *length;
    for (size_t i = 0; i < context.Buffered(); ++i) {
        const std::optional<uint64_t> byte = ReadHex(text, kFixed + 2 * i, 1);
        if (!byte) {
            return std::nullopt;
        }
        context.block_[i] = static_cast<uint8_t>(*byte);
    }
    return context;
}

std::u16string Md5Hex(std::string_view bytes) {
    Md5Context context;
    context.Update(bytes.data(), bytes.size());
    context.Finalize();
    return context.HexDigest();
}
