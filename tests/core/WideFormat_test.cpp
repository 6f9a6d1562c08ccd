#include "core/WideFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "core/TextUtil.h"
#include "support/CommaLocale.h"

namespace {

struct Row {
    const char* what;
    std::u16string actual;
    std::u16string expected;
};

void ExpectRows(std::initializer_list<Row> rows) {
    for (const Row& row : rows) {
        EXPECT_EQ(WideToUtf8(row.actual), WideToUtf8(row.expected)) << row.what;
    }
}

TEST(FormatWide, Conversions) {
    const std::u16string name = u"mygame";
    ExpectRows({
        {"plain text", FormatWide(u"no conversions"), u"no conversions"},
        {"%s string", FormatWide(u"Serializing info for %s to registry", name),
         u"Serializing info for mygame to registry"},
        {"%s literal", FormatWide(u"[%s]", u"\u00E9\U0001F600"), u"[\u00E9\U0001F600]"},
        {"%s null", FormatWide(u"[%s]", static_cast<const char16_t*>(nullptr)), u"[]"},
        {"%d", FormatWide(u"%d|%d|%d", 0, -42, 7u), u"0|-42|7"},
        {"%d 64-bit", FormatWide(u"%d", std::numeric_limits<int64_t>::min()),
         u"-9223372036854775808"},
        {"%d unsigned above int range", FormatWide(u"%d", 4000000000u), u"4000000000"},
        {"%u", FormatWide(u"%u", 4294967295u), u"4294967295"},
        {"%I64u", FormatWide(u"%I64u", std::numeric_limits<uint64_t>::max()),
         u"18446744073709551615"},
        {"%I64d", FormatWide(u"%I64d", int64_t{-5000000000}), u"-5000000000"},
        {":%u port", FormatWide(u":%u", 8080), u":8080"},
        {"%.2f", FormatWide(u"%.2f MB", 3.14159), u"3.14 MB"},
        {"%.2f rounds", FormatWide(u"%.2f", 2.999), u"3.00"},
        {"%.2f negative", FormatWide(u"%.2f", -0.5), u"-0.50"},
        {"%.2f of integer", FormatWide(u"%.2f", 3), u"3.00"},
        {"%f default precision", FormatWide(u"%f", 1.5), u"1.500000"},
        {"%.0f", FormatWide(u"%.0f", 2.4), u"2"},
        {"%x %X", FormatWide(u"%x %X", 255, 48879u), u"ff BEEF"},
        {"%c", FormatWide(u"%c%c", 65, 0x20ACu), u"A\u20AC"},
        {"%%", FormatWide(u"100%% of %d%%", 5), u"100% of 5%"},
        {"lone % at end", FormatWide(u"50%"), u"50%"},
        {"unfinished", FormatWide(u"a %0", 1), u"a %0"},
        {"unknown kept", FormatWide(u"%q %d", 3), u"%q 3"},
    });
}

TEST(FormatWide, LogPrefixFields) {
    const char16_t* format = u"[LOG] %d.%03d %02d/%02d/%02d %02d:%02d:%02d  ";
    ExpectRows({
        {"prefix", FormatWide(format, 12u, 7u, 3, 9, 2011, 0, 5, 59),
         u"[LOG] 12.007 03/09/2011 00:05:59  "},
        {"prefix wide fields", FormatWide(format, 4294967u, 295u, 12, 31, 2024, 23, 59, 0),
         u"[LOG] 4294967.295 12/31/2024 23:59:00  "},
    });
}

TEST(FormatWide, WidthFlagsAndPadding) {
    ExpectRows({
        {"%03d", FormatWide(u"%03d", 7), u"007"},
        {"%03d wider value", FormatWide(u"%03d", 1234), u"1234"},
        {"%03d negative: zeros after the sign", FormatWide(u"%03d", -7), u"-07"},
        {"%02d", FormatWide(u"%02d", 5), u"05"},
        {"%02d two digits", FormatWide(u"%02d", 10), u"10"},
        {"%5d", FormatWide(u"[%5d]", 42), u"[   42]"},
        {"%-5d", FormatWide(u"[%-5d]", 42), u"[42   ]"},
        {"%-05d: left wins over zero", FormatWide(u"[%-05d]", 42), u"[42   ]"},
        {"%5s", FormatWide(u"[%5s]", u"ab"), u"[   ab]"},
        {"%-5s", FormatWide(u"[%-5s]", u"ab"), u"[ab   ]"},
        {"%05s pads with blanks", FormatWide(u"[%05s]", u"ab"), u"[   ab]"},
        {"%.2s cuts", FormatWide(u"[%.2s]", u"abcdef"), u"[ab]"},
        {"%08X", FormatWide(u"%08X", 255), u"000000FF"},
        {"%07.2f", FormatWide(u"%07.2f", -1.5), u"-001.50"},
        {"%05f inf",
         FormatWide(u"[%8f]|[%08f]", std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()),
         u"[     inf]|[     inf]"},
    });
}

TEST(FormatWide, NegativeValuesWithUnsignedConversions) {
    ExpectRows({
        // A plain %u shows the 32-bit pattern, as the program's 32-bit values would print.
        {"%u of -1", FormatWide(u"%u", -1), u"4294967295"},
        {"%u of INT32_MIN", FormatWide(u"%u", std::numeric_limits<int32_t>::min()), u"2147483648"},
        {"%x of -1", FormatWide(u"%x", -1), u"ffffffff"},
        // A 64-bit conversion shows all 64 bits.
        {"%I64u of -1", FormatWide(u"%I64u", int64_t{-1}), u"18446744073709551615"},
        {"%llx of -2", FormatWide(u"%llx", int64_t{-2}), u"fffffffffffffffe"},
        {"%u below 32 bits", FormatWide(u"%u", int64_t{-5000000000}), u"18446744068709551616"},
    });
}

TEST(FormatWide, MissingAndWrongKindArgumentsWriteNothing) {
    ExpectRows({
        {"no argument", FormatWide(u"a%sb%dc"), u"abc"},
        {"too few", FormatWide(u"%s and %d", u"x"), u"x and "},
        {"too many", FormatWide(u"%d", 1, 2, 3), u"1"},
        // A mismatched argument is still used up, so the ones after it stay in place.
        {"number for %s", FormatWide(u"[%s|%d]", 5, 6), u"[|6]"},
        {"text for %d", FormatWide(u"[%d|%s]", u"x", u"y"), u"[|y]"},
        {"text for %u", FormatWide(u"[%u]", u"x"), u"[]"},
        {"text for %.2f", FormatWide(u"[%.2f]", u"x"), u"[]"},
        {"text for %c", FormatWide(u"[%c]", u"x"), u"[]"},
        {"bool", FormatWide(u"%d%d", true, false), u"10"},
    });
}

TEST(FormatWide, RealsConvertToIntegersWithoutOverflow) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ExpectRows({
        {"truncates", FormatWide(u"%d %d", 2.9, -2.9), u"2 -2"},
        {"huge", FormatWide(u"%d", 1e300), u"9223372036854775807"},
        {"hugely negative", FormatWide(u"%d", -1e300), u"-9223372036854775808"},
        {"2^63", FormatWide(u"%d", 9223372036854775808.0), u"9223372036854775807"},
        {"nan", FormatWide(u"%d", nan), u"0"},
        {"%u huge", FormatWide(u"%I64u", 1e300), u"18446744073709551615"},
        {"%u negative", FormatWide(u"%u", -3.0), u"0"},
    });
}

TEST(FormatWide, AbsurdWidthsAreBounded) {
    const std::u16string wide = FormatWide(u"%99999999999999999999999d", 5);
    EXPECT_LE(wide.size(), 4096u);
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(wide.back(), u'5');
    EXPECT_EQ(FormatWide(u"%.99999999999999999999s", u"abc"), u"abc");
    EXPECT_EQ(FormatWide(u"%.99999999999999999999f", 0.5).substr(0, 4), u"0.50");
}

TEST(FormatWide, RealsKeepTheirPointUnderADesktopLocaleWithACommaSeparator) {
    const CommaLocale german;
    ASSERT_TRUE(german.Active()) << german.Error();
    // The locale is really in force: the C library's own printf now writes a comma.
    char viaPrintf[16];
    std::snprintf(viaPrintf, sizeof viaPrintf, "%.2f", 33.333);
    ASSERT_STREQ(viaPrintf, "33,33");
    ExpectRows({
        {"%.2f", FormatWide(u"%.2f%%", 33.333), u"33.33%"},
        {"%f", FormatWide(u"%f", 1.5), u"1.500000"},
        {"%07.2f", FormatWide(u"%07.2f", -1.5), u"-001.50"},
        {"%.0f", FormatWide(u"%.0f", 2.5), u"2"},
        {"integers", FormatWide(u"%d %I64u", -1234567, uint64_t{9876543210}),
         u"-1234567 9876543210"},
    });
}

}  // namespace
