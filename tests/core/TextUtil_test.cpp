#include "core/TextUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct Utf8Case {
    const char* name;
    std::string utf8;
    std::u16string wide;
};

TEST(Utf8ToWide, DecodesValidAndReplacesEachBrokenSequenceOnce) {
    const Utf8Case cases[] = {
        {"ascii", "Hello", u"Hello"},
        {"two bytes", "caf\xC3\xA9", u"caf\u00E9"},
        {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
        {"four bytes", "a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
        {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"stops at zero byte", "ab\0cd"s, u"ab"},
        {"stray continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
        // The byte that breaks a sequence is not swallowed: it starts the next character.
        {"broken before ascii",
         "\xE2\x82"
         "A",
         u"\uFFFDA"},
        {"broken before lead", "\xF0\x9F\x98\xC3\xA9", u"\uFFFD\u00E9"},
        {"overlong two bytes", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid lead", "\xF5\xFF", u"\uFFFD\uFFFD"},
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.name;
    }
}

TEST(WideToUtf8, EncodesPairsAndReplacesUnpairedSurrogates) {
    const Utf8Case cases[] = {
        {"ascii", "Hello", u"Hello"},
        {"two and three bytes", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        {"pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"stops at zero unit", "ab", u"ab\0cd"s},
        {"lone high at end", "a\xEF\xBF\xBD", u"a\xD83D"},
        {"lone low", "\xEF\xBF\xBDz", u"\xDE00z"},
        {"high then ascii", "\xEF\xBF\xBDz", u"\xD83Dz"},
        {"reversed pair", "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDE00\xD83D"},
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.name;
    }
}

TEST(Utf8Conversion, RoundTripsEveryKindOfCharacter) {
    const std::u16string text =
        u"A\u007F\u0080\u07FF\u0800\uD7FF\uE000\uFFFD\uFFFF\U00010000\U0010FFFF";
    EXPECT_EQ(WideToUtf8(text).size(), 2u * 1 + 2u * 2 + 5u * 3 + 2u * 4);
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
}

TEST(HexByte, IsTwoUpperCaseDigitsHighFirst) {
    EXPECT_EQ(HexByte(0x00), u"00");
    EXPECT_EQ(HexByte(0x0F), u"0F");
    EXPECT_EQ(HexByte(0xA0), u"A0");
    EXPECT_EQ(HexByte(0xFF), u"FF");
}

TEST(PercentEncode, KeepsOnlyUnreservedCharacters) {
    const struct {
        std::u16string in;
        std::u16string out;
    } cases[] = {
        {u"a b&c=d", u"a%20b%26c%3Dd"},
        {u"~-_.", u"~-_."},
        {u"AZaz09", u"AZaz09"},
        {u"\u00E9", u"%C3%A9"},
        {u"\U0001F600", u"%F0%9F%98%80"},
        {u"/?#+*%", u"%2F%3F%23%2B%2A%25"},
        {u"", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PercentEncode(c.in), c.out);
    }
}

TEST(NormalizeUrl, KeepsOnlySchemeHostPortAndPath) {
    const struct {
        std::u16string in;
        std::u16string out;
    } cases[] = {
        // The scheme is compared without regard to case, but neither it nor the host is changed.
        {u"HTTPS://Api.Example.com:443/v1/Login", u"HTTPS://Api.Example.com/v1/Login"},
        {u"HtTp://h:80/a", u"HtTp://h/a"},
        {u"http://h:8080/a", u"http://h:8080/a"},
        {u"https://h:80/a", u"https://h:80/a"},
        {u"http://h:443/a", u"http://h:443/a"},
        {u"https://127.0.0.1:39111/en/api", u"https://127.0.0.1:39111/en/api"},
        // Only http and https ever show a port.
        {u"ftp://h:2121/a", u"ftp://h/a"},
        {u"https://h/a/b?x=1#y", u"https://h/a/b"},
        {u"https://h/a#y?x=1", u"https://h/a"},
        {u"https://h?x=1", u"https://h"},
        {u"http://h", u"http://h"},
        {u"http://user:secret@h:81/a", u"http://h:81/a"},
        {u"http://[::1]:8080/a", u"http://[::1]:8080/a"},
        {u"http://[::1]/a", u"http://[::1]/a"},
        {u"http://h:/a", u"http://h/a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeUrl(c.in), c.out);
    }
}

TEST(NormalizeUrl, ReturnsWhatCannotBeSplitUnchanged) {
    const std::u16string cases[] = {
        u"",
        u"not a url",
        u"/relative/path?x=1",
        u"://h/a?x=1",
        u"1http://h/a?x=1",
        u"ht tp://h/a?x=1",
        u"http:///a?x=1",
        u"http://:80/a?x=1",
        u"http://h:99999/a?x=1",
        u"http://h:8o/a?x=1",
    };
    for (const std::u16string& url : cases) {
        EXPECT_EQ(NormalizeUrl(url), url);
    }
}

TEST(SplitString, KeepsOrDropsEmptyPieces) {
    using Pieces = std::vector<std::u16string>;
    const struct {
        std::u16string text;
        bool keepEmpty;
        Pieces pieces;
    } cases[] = {
        {u"a,b,c", true, {u"a", u"b", u"c"}},
        {u",a,,b,", true, {u"", u"a", u"", u"b", u""}},
        {u",a,,b,", false, {u"a", u"b"}},
        {u",,,", true, {u"", u"", u"", u""}},
        {u",,,", false, {}},
        {u"", true, {u""}},
        {u"", false, {}},
        {u"abc", false, {u"abc"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitString(c.text, u',', c.keepEmpty), c.pieces)
            << WideToUtf8(c.text) << " keepEmpty=" << c.keepEmpty;
    }
}

TEST(SplitString, WithEmptiesNSeparatorsGiveNPlusOnePieces) {
    std::u16string text;
    for (size_t n = 0; n < 6; ++n) {
        EXPECT_EQ(SplitString(text, u'&', true).size(), n + 1);
        text += n % 2 ? u"&" : u"x&";
    }
}

TEST(ParseQueryString, TakesNamesAndValuesLiterally) {
    const struct {
        std::u16string query;
        ParameterMap expected;
    } cases[] = {
        {u"oauth_token=abc&oauth_token_secret=def",
         {{u"oauth_token", u"abc"}, {u"oauth_token_secret", u"def"}}},
        {u"a=1&&b=2", {{u"a", u"1"}, {u"b", u"2"}}},
        {u"a=1=2&b", {}},
        {u"a=1&a=2", {{u"a", u"2"}}},
        {u"a=&=b", {{u"a", u""}, {u"", u"b"}}},
        {u"%41=%42+c", {{u"%41", u"%42+c"}}},
        {u"&", {}},
        {u"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseQueryString(c.query), c.expected) << WideToUtf8(c.query);
    }
}

TEST(BuildQueryString, JoinsInCodeUnitOrderWithoutEncoding) {
    EXPECT_EQ(BuildQueryString({}), u"");
    EXPECT_EQ(BuildQueryString({{u"x", u""}}), u"x=");
    // Upper case before lower case, a prefix before its extensions, and a surrogate (D83D)
    // before U+FFFF, as UTF-16 code units compare.
    const ParameterMap parameters = {
        {u"\uFFFF", u"4"}, {u"\U0001F600", u"3"}, {u"ab", u"2"}, {u"a", u"a b&"}, {u"B", u"0"}};
    EXPECT_EQ(BuildQueryString(parameters), u"B=0&a=a b&&ab=2&\U0001F600=3&\uFFFF=4");
}

TEST(QueryString, BuildThenParseGivesTheSameMap) {
    const ParameterMap parameters = {
        {u"oauth_nonce", u"12345"}, {u"oauth_signature", u"abc%2B%3D"}, {u"empty", u""}};
    EXPECT_EQ(ParseQueryString(BuildQueryString(parameters)), parameters);
}

}  // namespace
