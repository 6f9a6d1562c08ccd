#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct InterpretCase {
    std::u16string line;
    std::optional<std::u16string> game;
    bool minimized;
};

TEST(CommandLine, InterpretsUrlAndMinimized) {
    const InterpretCase cases[] = {
        {u"", std::nullopt, false},
        {u"/minimized", std::nullopt, true},
        {u"--x /minimized --y", std::nullopt, true},
        {u"velkdownloader://mygame", u"mygame", false},
        {u"velkdownloader://mygame/", u"mygame", false},
        {u"\"velkdownloader://mygame/\"", u"mygame", false},
        // The URL's removals take the slash of "/minimized" with them.
        {u"\"velkdownloader://mygame\" /minimized", u"mygame minimized", false},
        {u"/minimized velkdownloader://g", u"minimized g", false},
        {u"velkdownloader://", u"", false},
        {u"velkdownloader://a/velkdownloader://b", u"ab", false},
        // The scheme is matched exactly, as the browser hands it over.
        {u"VELKDOWNLOADER://game", std::nullopt, false},
        {u"velkdownloader://sp\u00e4ce game", u"sp\u00e4ce game", false},
    };
    for (const InterpretCase& c : cases) {
        const CommandLineRequest request = InterpretCommandLine(c.line);
        EXPECT_EQ(request.gameName, c.game) << std::string(c.line.begin(), c.line.end());
        EXPECT_EQ(request.minimized, c.minimized) << std::string(c.line.begin(), c.line.end());
    }
}

struct JoinCase {
    std::vector<const char*> argv;
    std::u16string line;
};

TEST(CommandLine, JoinsArgumentsAfterTheProgramPath) {
    const JoinCase cases[] = {
        {{"/usr/bin/velkdownloader"}, u""},
        {{"prog", "velkdownloader://mygame/"}, u"velkdownloader://mygame/"},
        {{"prog", "velkdownloader://mygame", "/minimized"}, u"velkdownloader://mygame /minimized"},
        {{"prog", "/minimized"}, u"/minimized"},
        {{"prog", "two words", "x"}, u"\"two words\" x"},
        {{"prog", ""}, u"\"\""},
        {{"prog", "say \"hi\""}, u"\"say \\\"hi\\\"\""},
        {{"prog", "tab\there\\"}, u"\"tab\there\\\\\""},
        {{"prog", "back\\slash"}, u"back\\slash"},
        {{"prog", "gr\xc3\xbc\xc3\x9f"}, u"gr\u00fc\u00df"},
    };
    for (const JoinCase& c : cases) {
        EXPECT_EQ(JoinCommandLine(c.argv), c.line) << (c.argv.size() > 1 ? c.argv[1] : "");
    }
}

TEST(CommandLine, JoinedArgumentsReadAsTheWindowsLineWould) {
    // A browser passing the URL, and a shortcut passing the URL and "/minimized" as one quoted
    // argument followed by another: neither starts minimised.
    const std::vector<const char*> browser{"prog", "velkdownloader://mygame/"};
    EXPECT_EQ(InterpretCommandLine(JoinCommandLine(browser)).gameName, u"mygame");
    const std::vector<const char*> autostart{"prog", "/minimized"};
    EXPECT_TRUE(InterpretCommandLine(JoinCommandLine(autostart)).minimized);
    const std::vector<const char*> both{"prog", "velkdownloader://my game", "/minimized"};
    const CommandLineRequest request = InterpretCommandLine(JoinCommandLine(both));
    EXPECT_EQ(request.gameName, u"my game minimized");
    EXPECT_FALSE(request.minimized);
}

}  // namespace
