#include "core/Base64Coder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Decoded(const Base64Coder& coder) {
    return std::string(reinterpret_cast<const char*>(coder.DecodedData()), coder.DecodedLength());
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

struct Vector {
    std::string plain;
    std::string encoded;
};

// RFC 4648 section 10, plus bytes that reach both ends of the alphabet.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"abc", "YWJj"},
    {std::string("\x14\xFB\x9C\x03\xD9\x7E"), "FPucA9l+"},
    {std::string("\xFB\xFF", 2), "+/8="},
    {std::string("\0\0\0", 3), "AAAA"},
};

TEST(Base64Coder, EncodesTestVectors) {
    for (const Vector& v : kVectors) {
        Base64Coder coder;
        coder.Encode(reinterpret_cast<const uint8_t*>(v.plain.data()), v.plain.size());
        EXPECT_STREQ(coder.EncodedText(), v.encoded.c_str());
        EXPECT_EQ(coder.EncodedLength(), v.encoded.size());
    }
}

TEST(Base64Coder, DecodesTestVectorsToTheirExactLength) {
    for (const Vector& v : kVectors) {
        Base64Coder coder;
        coder.Decode(v.encoded.c_str());
        EXPECT_EQ(Decoded(coder), v.plain) << v.encoded;
        EXPECT_EQ(coder.DecodedData()[coder.DecodedLength()], 0) << "zero-terminated";
    }
}

TEST(Base64Coder, EncodesTextUpToItsTerminator) {
    Base64Coder coder;
    coder.Encode("ab");
    EXPECT_STREQ(coder.EncodedText(), "YWI=");
    coder.Encode("a");
    EXPECT_STREQ(coder.EncodedText(), "YQ==");
    coder.Encode("");
    EXPECT_STREQ(coder.EncodedText(), "");

    coder.Encode("abc");
    coder.Encode(static_cast<const char*>(nullptr));
    EXPECT_STREQ(coder.EncodedText(), "YWJj") << "a null text leaves the coder as it was";
    EXPECT_EQ(Decoded(coder), "abc");
}

TEST(Base64Coder, FreshCoderHandsOutEmptyBuffers) {
    Base64Coder coder;
    EXPECT_STREQ(coder.EncodedText(), "");
    EXPECT_EQ(coder.DecodedData()[0], 0);
    EXPECT_EQ(coder.EncodedCapacity(), 0u);
    EXPECT_EQ(coder.DecodedCapacity(), 0u);
}

TEST(Base64Coder, TwentyBytesGiveTwentyEightCharactersWithOnePad) {
    const std::vector<uint8_t> bytes = RandomBytes(20, 1);
    Base64Coder coder;
    coder.Encode(bytes.data(), bytes.size());
    const std::string text = coder.EncodedText();
    ASSERT_EQ(text.size(), 28u);
    EXPECT_EQ(text[27], '=');
    EXPECT_NE(text[26], '=');

    Base64Coder decoder;
    decoder.Decode(text.c_str());
    EXPECT_EQ(std::vector<uint8_t>(decoder.DecodedData(),
                                   decoder.DecodedData() + decoder.DecodedLength()),
              bytes);
}

TEST(Base64Coder, DecodingDropsWhiteSpaceOnly) {
    Base64Coder coder;
    coder.Decode("Zm9v\r\n YmFy\t\v\f\a\b\n");
    EXPECT_EQ(Decoded(coder), "foobar");

    // Other control characters are not white space: they take a place in the group.
    coder.Decode("\x01Zm9");
    EXPECT_EQ(coder.DecodedLength(), 3u);
    EXPECT_NE(Decoded(coder), "foo");
}

TEST(Base64Coder, DecodesUnpaddedAndShortInput) {
    const struct {
        std::string encoded;
        std::string plain;
    } cases[] = {
        {"Zm9vYg", "foob"}, {"Zm9vYmE", "fooba"}, {"Z", ""}, {"====", ""}, {"Zg==Zg==", "ff"},
    };
    Base64Coder coder;
    for (const auto& c : cases) {
        coder.Decode(c.encoded.c_str());
        EXPECT_EQ(Decoded(coder), c.plain) << c.encoded;
    }
}

TEST(Base64Coder, CharactersOutsideTheAlphabetStayInBounds) {
    Base64Coder coder;
    // Outside the alphabet counts as the value 0; a set top bit reads as the plain character.
    coder.Decode("Zm9v****");
    EXPECT_EQ(Decoded(coder), std::string("foo\0\0\0", 6));
    coder.Decode("\xDAm9v");
    EXPECT_EQ(Decoded(coder), "foo");

    // Every byte value, with a length that lands exactly on a buffer boundary.
    std::vector<uint8_t> junk = RandomBytes(4096, 2);
    coder.Decode(reinterpret_cast<const char*>(junk.data()), junk.size());
    EXPECT_LE(coder.DecodedLength(), 3u * 1024);
    EXPECT_LT(coder.DecodedLength(), coder.DecodedCapacity());
    EXPECT_EQ(coder.DecodedData()[coder.DecodedLength()], 0);
}

TEST(Base64Coder, ReserveFollowsTheCapacityRuleAndClears) {
    Base64Coder coder;
    coder.ReserveDecoded(0);
    EXPECT_EQ(coder.DecodedCapacity(), 4096u);
    coder.ReserveDecoded(4095);
    EXPECT_EQ(coder.DecodedCapacity(), 4096u);
    // n bytes and their terminator need n + 1.
    coder.ReserveDecoded(4096);
    EXPECT_EQ(coder.DecodedCapacity(), 8192u);
    coder.ReserveEncoded(10000);
    EXPECT_EQ(coder.EncodedCapacity(), 12288u);

    // A smaller request keeps the buffer but clears it and the length.
    const std::vector<uint8_t> bytes(5000, 0xAB);
    coder.SetDecodedInput(bytes.data(), bytes.size());
    EXPECT_EQ(coder.DecodedLength(), 5000u);
    coder.ReserveDecoded(10);
    EXPECT_EQ(coder.DecodedCapacity(), 8192u);
    EXPECT_EQ(coder.DecodedLength(), 0u);
    const uint8_t* data = coder.DecodedData();
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8192), std::vector<uint8_t>(8192, 0));
}

TEST(Base64Coder, InputFillingAWholeBlockStaysTerminated) {
    const std::string text(4096, 'A');
    Base64Coder coder;
    // Buffers of exactly 4096 bytes already in place: they must grow, not be filled to the brim.
    coder.Encode("x");
    ASSERT_EQ(coder.DecodedCapacity(), 4096u);
    ASSERT_EQ(coder.EncodedCapacity(), 4096u);
    coder.SetDecodedInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(coder.DecodedData())), 4096u);
    coder.Decode(text.c_str());
    EXPECT_EQ(coder.DecodedLength(), 3072u);
    EXPECT_EQ(std::string(coder.EncodedText()), text);
}

TEST(Base64Coder, EncodeReservesTwiceTheInput) {
    const std::vector<uint8_t> bytes = RandomBytes(10000, 3);
    Base64Coder coder;
    coder.Encode(bytes.data(), bytes.size());
    EXPECT_EQ(coder.DecodedCapacity(), 12288u);
    EXPECT_EQ(coder.EncodedCapacity(), 20480u);
}

TEST(Base64Coder, LargeInputRoundTrips) {
    for (size_t n : {size_t{1} << 20, (size_t{1} << 20) + 1, (size_t{1} << 20) + 2}) {
        const std::vector<uint8_t> bytes = RandomBytes(n, static_cast<unsigned>(n));
        Base64Coder coder;
        coder.Encode(bytes.data(), bytes.size());
        ASSERT_EQ(coder.EncodedLength(), 4 * ((n + 2) / 3));
        EXPECT_EQ(std::strlen(coder.EncodedText()), coder.EncodedLength());
        const std::string text = coder.EncodedText();

        coder.Decode(text.c_str(), text.size());
        ASSERT_EQ(coder.DecodedLength(), n);
        EXPECT_EQ(std::memcmp(coder.DecodedData(), bytes.data(), n), 0);
    }
}

TEST(Base64Coder, ReadsItsOwnBuffersAsInput) {
    Base64Coder coder;
    coder.Decode("Zm9vYmFy");
    coder.Encode(coder.DecodedData(), coder.DecodedLength());
    EXPECT_STREQ(coder.EncodedText(), "Zm9vYmFy");
    coder.Decode(coder.EncodedText());
    EXPECT_EQ(Decoded(coder), "foobar");
}

TEST(Base64Coder, JoinGroupUndoesSplitGroup) {
    Base64Coder coder;
    for (const uint8_t b : {uint8_t{0x00}, uint8_t{0x5A}, uint8_t{0xA5}, uint8_t{0xFF}}) {
        Base64Group group;
        group.bytes[0] = b;
        group.bytes[1] = static_cast<uint8_t>(~b);
        group.bytes[2] = static_cast<uint8_t>(b ^ 0x3C);
        group.count = 3;
        const Base64Group values = coder.SplitGroup(group);
        for (const uint8_t v : values.bytes) {
            EXPECT_LT(v, 64);
        }
        const Base64Group joined = coder.JoinGroup(values);
        EXPECT_EQ(std::memcmp(joined.bytes, group.bytes, 3), 0);
    }
}

}  // namespace
