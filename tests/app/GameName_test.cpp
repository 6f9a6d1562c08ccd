// Which names from a velkdownloader:// address the program takes, and how refused ones are logged.
#include <gtest/gtest.h>

#include "app/GameName.h"
#include "core/TextUtil.h"

namespace {

TEST(GameNameTest, OnlyStoreLikeNamesAreAccepted) {
    const std::vector<std::pair<std::u16string, bool>> cases = {
        {u"mygame", true},
        {u"The_Witcher-3.goty", true},
        {std::u16string(128, u'a'), true},
        {std::u16string(129, u'a'), false},
        {u"", false},
        {u".", false},
        {u"..", false},
        {u".hidden", false},
        {u"..\\x", false},
        {u"a\\..\\x", false},
        {u"a b", false},
        {u"a;rm -rf ~", false},
        {u"$(reboot)", false},
        {u"`id`", false},
        {u"a|b", false},
        {u"a&b", false},
        {u"a?b=c", false},
        {u"a%2Fb", false},
        {u"a#b", false},
        {u"tab\tname", false},
        {std::u16string(u"nul\0name", 8), false},
        {u"\u00e9t\u00e9", false},
        {u"\xD800x", false},
    };
    for (const auto& [name, accepted] : cases) {
        EXPECT_EQ(IsAcceptableGameName(name), accepted) << WideToUtf8(PrintableGameName(name));
    }
}

TEST(GameNameTest, PrintableFormIsAsciiAndBounded) {
    EXPECT_EQ(PrintableGameName(u"ok-name"), u"ok-name");
    EXPECT_EQ(PrintableGameName(std::u16string(u"a\nb\0c\u00e9", 6)), u"a?b?c?");
    const std::u16string longName(300, u'x');
    EXPECT_EQ(PrintableGameName(longName), std::u16string(128, u'x') + u"...");
}

}  // namespace
