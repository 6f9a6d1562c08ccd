#include "platform/Trim.h"

#include <gtest/gtest.h>

TEST(Trim, CutsOnlyTheNamedBlanksAndOnlyAtTheEnds) {
    const struct {
        std::string_view text;
        std::string_view blanks;
        std::string_view start, end, both;
    } cases[] = {
        {" \t a b \r\n", kAsciiBlanks, "a b \r\n", " \t a b", "a b"},
        {"\v\f", kAsciiBlanks, "", "", ""},
        {"", kAsciiBlanks, "", "", ""},
        {"x", kAsciiBlanks, "x", "x", "x"},
        // A desktop entry's blanks leave a line feed, a header's leading ones a carriage return.
        {"\n k=v \r", " \t\r", "\n k=v \r", "\n k=v", "\n k=v"},
        {"\r 5\t", " \t", "\r 5\t", "\r 5", "\r 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(TrimStart(c.text, c.blanks), c.start);
        EXPECT_EQ(TrimEnd(c.text, c.blanks), c.end);
        EXPECT_EQ(Trim(c.text, c.blanks), c.both);
    }
}
