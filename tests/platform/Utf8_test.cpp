#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8Codec, ConvertsZerosLikeAnyOtherCharacter) {
    // The registry keeps whatever text it is given; only core's helpers stop at a zero.
    const std::u16string wide(u"a\0\u00e9\U0001F600", 5);
    const std::string utf8("a\0\xc3\xa9\xf0\x9f\x98\x80", 8);
    EXPECT_EQ(EncodeUtf8(wide), utf8);
    EXPECT_EQ(DecodeUtf8(utf8), wide);
}

TEST(Utf8Codec, OneStepTellsAWellFormedSequenceFromTheBytesToReplace) {
    const struct {
        const char* name;
        std::string text;
        bool valid;
        size_t length;
        char32_t point;  // when valid
    } cases[] = {
        {"ascii", "A", true, 1, U'A'},
        {"two bytes", "\xc3\xa9", true, 2, U'\u00e9'},
        {"three bytes", "\xe2\x82\xac", true, 3, U'\u20ac'},
        {"four bytes", "\xf0\x9f\x98\x80", true, 4, U'\U0001F600'},
        {"stray continuation", "\x80", false, 1, 0},
        {"overlong lead", "\xc0\xaf", false, 1, 0},
        {"overlong three", "\xe0\x80\xaf", false, 1, 0},
        {"encoded surrogate", "\xed\xa0\x80", false, 1, 0},
        {"past U+10FFFF", "\xf4\x90\x80\x80", false, 1, 0},
        {"cut short at the end", "\xf0\x9f\x98", false, 3, 0},
        {"cut short by a new lead",
         "\xe2\x82"
         "A",
         false, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Utf8Sequence sequence = DecodeUtf8Sequence(c.text, 0);
        EXPECT_EQ(sequence.valid, c.valid);
        EXPECT_EQ(sequence.length, c.length);
        if (c.valid) {
            EXPECT_EQ(sequence.point, c.point);
        }
    }
}
