// Texts from the network on the terminal: the escaping that every line of velkdownloader-cli goes
// through, and a run against the local test store of a game whose title carries a terminal
// sequence and a carriage return, on a pipe (with the log echoed) and on a terminal (rows redrawn
// in place).
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/EscapeControls.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace fs = std::filesystem;

namespace {

TEST(EscapeControlsTest, ControlsAndBrokenUtf8BecomeVisibleEscapes) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"Plain title: 100% & <more>", "Plain title: 100% & <more>"},
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
        {"progress\rFAKE", "progress\\rFAKE"},
        {"a\nb\tc\bd\x7f", "a\\nb\\tc\\x08d\\x7f"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        // C1 controls: U+009B is a one-character CSI on many terminals, U+0085 a line break.
        {"\xC2\x9B"
         "31m \xC2\x85 \xC2\x80",
         "\\u009b31m \\u0085 \\u0080"},
        {"\xE2\x80\xA8 \xE2\x80\xA9", "\\u2028 \\u2029"},
        // Well-formed text beyond ASCII stays; the byte 0x9B alone is not UTF-8.
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
        {"\x9B"
         "31m",
         "\\x9b31m"},
        {"cut \xE6\x97", "cut \\xe6\\x97"},
        {"overlong \xC0\xAF \xE0\x80\xAF", "overlong \\xc0\\xaf \\xe0\\x80\\xaf"},
        {"surrogate \xED\xA0\x80", "surrogate \\xed\\xa0\\x80"},
        {"past the range \xF4\x90\x80\x80", "past the range \\xf4\\x90\\x80\\x80"},
        {"C:\\path\\x1b", "C:\\path\\x1b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeControlsUtf8(c.text), c.shown) << c.shown;
        // Escaping what was escaped changes nothing: a text may pass two careful hands.
        EXPECT_EQ(EscapeControlsUtf8(c.shown), c.shown);
    }
    // The UTF-16 form escapes the same characters; an unpaired surrogate shows its value.
    EXPECT_EQ(EscapeControls(u"\x1b]0;x\x07\r\u0085\u2028"), u"\\x1b]0;x\\x07\\r\\u0085\\u2028");
    EXPECT_EQ(EscapeControls(std::u16string(u"a") + char16_t(0xDC00) + u"\U0001F600"),
              u"a\\udc00\U0001F600");
}

constexpr char kGame[] = "terminal-game";
// ESC ] 0 ; ... BEL would retitle the terminal; CR would draw over the start of the line.
constexpr char kRawTitle[] = "Evil\x1b]0;pwned\x07Title\rOver";
constexpr char kJsonTitle[] = R"("Evil\u001b]0;pwned\u0007Title\rOver")";
constexpr char kShownTitle[] = "Evil\\x1b]0;pwned\\x07Title\\rOver";

class TerminalTextTest : public ::testing::Test {
protected:
    TerminalTextTest() {
        store_.UseInEnvironment();
        store_.AddGame(std::string(R"({"name":")") + kGame + R"(","title":)" + kJsonTitle +
                       R"(,"owned":true,"files":[{"id":0,"path":"t/setup.bin","size":70000,)"
                       R"("seed":"terminal/0","chunk_size":65536,"timestamp":"1714557700"}]})");
    }

    // Runs the download and returns everything it printed.
    std::string Run(CliProcess::Options options) {
        CliProcess run(options);
        const int code = run.Wait(std::chrono::seconds(90));
        const std::string output = run.Out() + run.Err();
        EXPECT_EQ(code, 0) << output;
        return output;
    }

    static void ExpectNoRawTitle(const std::string& output) {
        EXPECT_EQ(output.find("\x1b]"), std::string::npos) << output;
        EXPECT_EQ(output.find('\x07'), std::string::npos) << output;
        EXPECT_EQ(output.find("Title\rOver"), std::string::npos) << output;
        EXPECT_NE(output.find(kShownTitle), std::string::npos) << output;
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_F(TerminalTextTest, OnAPipeWithTheLogEchoedNoSequenceOfTheTitleIsPrinted) {
    const std::string output =
        Run(DemoDownload(home_.Root() / "downloads", kGame, 2, runs_.Path()));
    ExpectNoRawTitle(output);
    // Nothing at all drives the terminal here: the rows are plain lines.
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_NE(output.find(std::string(" (") + kShownTitle + "): completed and verified"),
              std::string::npos)
        << output;
}

TEST_F(TerminalTextTest, OnATerminalOnlyTheRedrawMovesTheCursor) {
    CliProcess::Options options = DemoDownload(home_.Root() / "downloads", kGame, 2, runs_.Path());
    // Without the log, on a pseudo-terminal: the rows are redrawn in place.
    std::erase(options.args, std::string("--verbose"));
    options.wrapper = {"python3", "-c",
                       "import os, pty, sys; "
                       "sys.exit(os.waitstatus_to_exitcode(pty.spawn(sys.argv[1:])))"};
    const std::string output = Run(options);
    ExpectNoRawTitle(output);
    EXPECT_NE(output.find("\x1b[2K"), std::string::npos) << "no line was redrawn:\n" << output;
    EXPECT_NE(output.find(kShownTitle + std::string(" [")), std::string::npos) << output;
}

}  // namespace
