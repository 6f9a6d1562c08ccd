#include "core/NormalisePath.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    std::u16string input;
    std::u16string path;
    std::u16string folder;
};

TEST(NormalisePath, SeparatorsBecomeSingleSlashes) {
    const Case cases[] = {
        {u"D:/Games//New", u"D:/Games/New", u"D:/Games/New/"},
        {u"/games\\\\x//y", u"/games/x/y", u"/games/x/y/"},
        {u"\\\\server\\share\\", u"/server/share/", u"/server/share/"},
        {u"/a////b\\/\\c", u"/a/b/c", u"/a/b/c/"},
        {u"", u"", u"/"},
        {u"/", u"/", u"/"},
        {u"relative\\name", u"relative/name", u"relative/name/"},
        {u"/home/u/Velkora Downloads/", u"/home/u/Velkora Downloads/",
         u"/home/u/Velkora Downloads/"},
        {u"/h\u00e9/\U0001F600//x", u"/h\u00e9/\U0001F600/x", u"/h\u00e9/\U0001F600/x/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NormalisePath(c.input), c.path);
        EXPECT_EQ(NormaliseFolder(c.input), c.folder);
    }
}

}  // namespace
