#include "core/Base64Coder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 0xFE;
constexpr uint8_t kPad = 0xFF;
constexpr size_t kBlock = 4096;

// Character to six-bit value. A character with its top bit set reads as the same character
// without it (text that passed through an 8-bit channel that set the bit still decodes). Built at
// compile time, so coders on several threads never race to fill it.
constexpr std::array<uint8_t, 256> MakeInverseTable() {
    std::array<uint8_t, 256> table{};
    table.fill(kNotInAlphabet);
    for (size_t i = 0; i < 64; ++i) {
        const auto c = static_cast<uint8_t>(kAlphabet[i]);
        table[c] = static_cast<uint8_t>(i);
        table[c + 128u] = static_cast<uint8_t>(i);
    }
    table['='] = kPad;
    table['=' + 128u] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kInverse = MakeInverseTable();

// Whether p points into the buffer, so that the input must be copied out before the buffer is
// cleared (a coder asked to encode its own decoded data).
bool PointsInto(const void* p, const std::vector<uint8_t>& buffer) {
    if (buffer.empty() || p == nullptr) {
        return false;
    }
    const auto* q = static_cast<const uint8_t*>(p);
    return !std::less<const uint8_t*>()(q, buffer.data()) &&
           std::less<const uint8_t*>()(q, buffer.data() + buffer.size());
}

void Reserve(std::vector<uint8_t>& buffer, size_t n) {
    // Room for the terminator too: a buffer exactly n bytes long is not enough.
    if (buffer.size() <= n) {
        buffer = std::vector<uint8_t>((n / kBlock + 1) * kBlock);
    } else {
        std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    }
}

}  // namespace

void Base64Coder::ReserveEncoded(size_t n) {
    Reserve(encoded_, n);
    encodedLength_ = 0;
}

void Base64Coder::ReserveDecoded(size_t n) {
    Reserve(decoded_, n);
    decodedLength_ = 0;
}

void Base64Coder::SetDecodedInput(const uint8_t* data, size_t length) {
    std::vector<uint8_t> own;
    if (PointsInto(data, decoded_)) {
        own.assign(data, data + length);
        data = own.data();
    }
    ReserveDecoded(length);
    if (length > 0) {
        std::memcpy(decoded_.data(), data, length);
    }
    decodedLength_ = length;
}

void Base64Coder::SetEncodedInput(const char* text, size_t length) {
    std::vector<uint8_t> own;
    if (PointsInto(text, encoded_)) {
        own.assign(text, text + length);
        text = reinterpret_cast<const char*>(own.data());
    }
    ReserveEncoded(length);
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (!IsSkippedChar(c)) {
            encoded_[encodedLength_++] = c;
        }
    }
}

bool Base64Coder::IsSkippedChar(uint8_t c) const {
    return (c >= 7 && c <= 13) || c == ' ';
}

Base64Group Base64Coder::SplitGroup(const Base64Group& group) const {
    const uint8_t b0 = group.bytes[0];
    const uint8_t b1 = group.bytes[1];
    const uint8_t b2 = group.bytes[2];
    Base64Group values;
    values.bytes[0] = static_cast<uint8_t>(b0 >> 2);
    values.bytes[1] = static_cast<uint8_t>(((b0 << 4) & 63) | (b1 >> 4));
    values.bytes[2] = static_cast<uint8_t>(((b1 << 2) & 63) | (b2 >> 6));
    values.bytes[3] = static_cast<uint8_t>(b2 & 63);
    values.count = 4;
    return values;
}

Base64Group Base64Coder::JoinGroup(const Base64Group& values) const {
    const uint8_t s0 = values.bytes[0];
    const uint8_t s1 = values.bytes[1];
    const uint8_t s2 = values.bytes[2];
    const uint8_t s3 = values.bytes[3];
    Base64Group group;
    group.bytes[0] = static_cast<uint8_t>((s0 << 2) | ((s1 >> 4) & 3));
    group.bytes[1] = static_cast<uint8_t>((s1 << 4) | ((s2 >> 2) & 15));
    group.bytes[2] = static_cast<uint8_t>((s2 << 6) | (s3 & 63));
    group.count = 3;
    return group;
}

void Base64Coder::EncodeGroup(const Base64Group& group, size_t position) {
    const Base64Group values = SplitGroup(group);
    for (size_t k = 0; k < 4; ++k) {
        encoded_[position + k] = static_cast<uint8_t>(kAlphabet[values.bytes[k]]);
    }
    if (group.count == 1) {
        encoded_[position + 2] = '=';
        encoded_[position + 3] = '=';
    } else if (group.count == 2) {
        encoded_[position + 3] = '=';
    }
}

size_t Base64Coder::DecodeGroup(const Base64Group& values, size_t position) {
    const Base64Group group = JoinGroup(values);
    const size_t count = values.count > 1 ? std::min<size_t>(values.count - 1u, 3) : 0;
    // The last byte before the terminator is the limit whatever the caller asked for.
    const size_t room = position < decoded_.size() ? decoded_.size() - 1 - position : 0;
    const size_t written = std::min(count, room);
    std::copy_n(group.bytes, written, decoded_.begin() + static_cast<std::ptrdiff_t>(position));
    return written;
}

void Base64Coder::Encode(const char* text) {
    if (text == nullptr) {
        return;
    }
    Encode(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void Base64Coder::Encode(const uint8_t* data, size_t length) {
    SetDecodedInput(data, length);
    ReserveEncoded(2 * length);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        Base64Group group;
        std::copy_n(decoded_.begin() + static_cast<std::ptrdiff_t>(i), 3, group.bytes);
        group.count = 3;
        EncodeGroup(group, encodedLength_);
        encodedLength_ += 4;
    }
    if (i < length) {
        Base64Group group;
        group.count = static_cast<uint8_t>(length - i);
        std::copy_n(decoded_.begin() + static_cast<std::ptrdiff_t>(i), group.count, group.bytes);
        EncodeGroup(group, encodedLength_);
        encodedLength_ += 4;
    }
}

void Base64Coder::Decode(const char* text) {
    if (text == nullptr) {
        return;
    }
    Decode(text, std::strlen(text));
}

void Base64Coder::Decode(const char* text, size_t length) {
    SetEncodedInput(text, length);
    ReserveDecoded(length);
    // Each group of up to four characters carries one byte fewer than the characters before its
    // first "=" (or before its end, for an unpadded last group): "Zg==" and "Zg" are one byte,
    // "Zm8=" two, "Zm9v" three. A lone character carries no whole byte.
    for (size_t i = 0; i < encodedLength_; i += 4) {
        Base64Group values;
        const size_t available = std::min<size_t>(4, encodedLength_ - i);
        bool padded = false;
        for (size_t k = 0; k < available; ++k) {
            const uint8_t value = kInverse[encoded_[i + k]];
            if (value == kPad) {
                padded = true;
            }
            if (!padded) {
                values.bytes[k] = value == kNotInAlphabet ? 0 : value;
                ++values.count;
            }
        }
        decodedLength_ += DecodeGroup(values, decodedLength_);
    }
}

const uint8_t* Base64Coder::DecodedData() const {
    static constexpr uint8_t kEmpty[1] = {0};
    return decoded_.empty() ? kEmpty : decoded_.data();
}

const char* Base64Coder::EncodedText() const {
    return encoded_.empty() ? "" : reinterpret_cast<const char*>(encoded_.data());
}
