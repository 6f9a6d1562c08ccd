#pragma once
// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks) in both directions. A coder
// owns its two buffers, the decoded bytes and the encoded text, each kept zero-terminated; the
// pointers it hands out stay valid until the next operation on the same coder. One thread at a
// time per object; the shared decoding table is constant, so any number of coders may run at once.
#include <cstddef>
#include <cstdint>
#include <vector>

// Four bytes of work, of which `count` are meaningful: three input bytes on the way in, four
// six-bit values on the way out (or the other way round when decoding).
struct Base64Group {
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint8_t count = 0;
};

class Base64Coder {
public:
    Base64Coder() = default;
    virtual ~Base64Coder() = default;
    Base64Coder(const Base64Coder&) = delete;
    Base64Coder& operator=(const Base64Coder&) = delete;

    // Encodes the bytes of a zero-terminated text, without the terminator. A null pointer does
    // nothing and leaves the coder as it was.
    virtual void Encode(const char* text);
    // Encodes `length` bytes; the result is then in EncodedText().
    virtual void Encode(const uint8_t* data, size_t length);
    // Decodes a zero-terminated Base64 text; a null pointer does nothing.
    virtual void Decode(const char* text);
    // Decodes `length` characters of Base64 text, dropping white space. A character outside the
    // alphabet counts as the value 0; the result is then in DecodedData() / DecodedLength().
    virtual void Decode(const char* text, size_t length);

    // Never null: an empty, zero-terminated buffer before the first operation.
    virtual const uint8_t* DecodedData() const;
    virtual const char* EncodedText() const;
    size_t DecodedLength() const { return decodedLength_; }
    size_t EncodedLength() const { return encodedLength_; }
    size_t DecodedCapacity() const { return decoded_.size(); }
    size_t EncodedCapacity() const { return encoded_.size(); }

    // Make room for n bytes plus a terminator: a too small buffer grows to the next multiple of
    // 4096 strictly above n. The buffer is then cleared and that side's length set to 0.
    virtual void ReserveEncoded(size_t n);
    virtual void ReserveDecoded(size_t n);
    // Copy the input into the coder; the encoded side drops white space (IsSkippedChar).
    virtual void SetEncodedInput(const char* text, size_t length);
    virtual void SetDecodedInput(const uint8_t* data, size_t length);

    // Writes the four characters of a group of 1 to 3 bytes at `position` of the encoded text,
    // padding with "=" for a short group.
    virtual void EncodeGroup(const Base64Group& group, size_t position);
    // Writes the bytes that a group of 2 to 4 six-bit values carries (count - 1 of them) at
    // `position` of the decoded data; returns how many it wrote.
    virtual size_t DecodeGroup(const Base64Group& values, size_t position);
    // Three bytes to four six-bit values, and back.
    virtual Base64Group SplitGroup(const Base64Group& group) const;
    virtual Base64Group JoinGroup(const Base64Group& values) const;
    // Bell, backspace, tab, line feed, vertical tab, form feed, carriage return and blank.
    virtual bool IsSkippedChar(uint8_t c) const;

private:
    std::vector<uint8_t> decoded_;
    std::vector<uint8_t> encoded_;
    size_t decodedLength_ = 0;
    size_t encodedLength_ = 0;
};
