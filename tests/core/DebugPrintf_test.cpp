#include "core/DebugPrintf.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "core/HeldLogLines.h"
#include "core/TextUtil.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

class FakeClock final : public Clock {
public:
    uint32_t TickCount() const override { return tick.load(); }
    LocalTime Now() const override { return now; }
    std::atomic<uint32_t> tick{0};
    LocalTime now{2011, 3, 3, 14, 5, 9, 0};
};

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// The file without its byte-order mark, as text; fails the test when the mark is missing.
std::u16string ReadLog(const fs::path& path) {
    const std::string bytes = ReadBytes(path);
    EXPECT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE", 2));
    EXPECT_EQ(bytes.size() % 2, 0u);
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return text;
}

const std::u16string kFreshHead = u"VelkDownloader, ver. 0.9.0.1336 (release)\r\n------\r\n";

std::vector<std::u16string> Lines(const std::u16string& body) {
    std::vector<std::u16string> lines;
    size_t start = 0;
    while (start < body.size()) {
        const size_t end = body.find(u"\r\n", start);
        if (end == std::u16string::npos) {
            lines.push_back(body.substr(start));  // a line without its end: the test will see it
            break;
        }
        lines.push_back(body.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class DebugPrintfTest : public ::testing::Test {
protected:
    CDebugPrintf::Options Options() {
        CDebugPrintf::Options options;
        options.path = dir.Path() / "output.log";
        options.clock = &clock;
        options.echoFd = -1;
        return options;
    }
    fs::path LogPath() const { return dir.Path() / "output.log"; }

    TempDir dir;
    FakeClock clock;
};

TEST_F(DebugPrintfTest, WritesHeaderAndLinesWithTheThreePrefixes) {
    clock.tick = 1000;
    CDebugPrintf log(Options());
    EXPECT_TRUE(log.StartedLog());
    clock.tick = 1000 + 12345;
    log.Log(u"Requesting details for game: %s", std::u16string(u"mygame"));
    log.Warning(u"Request failed (error: %d) for %s. Response: %s", 404, u"x", u"");
    clock.tick = 1000 + 7;
    log.Error(u"");

    const std::u16string text = ReadLog(LogPath());
    ASSERT_EQ(text.substr(0, kFreshHead.size()), kFreshHead);
    EXPECT_EQ(text.substr(kFreshHead.size()),
              u"[LOG] 12.345 03/03/2011 14:05:09  Requesting details for game: mygame\r\n"
              u"[WRN] 12.345 03/03/2011 14:05:09  Request failed (error: 404) for x. Response: \r\n"
              u"[ERR] 0.007 03/03/2011 14:05:09  \r\n");
}

TEST_F(DebugPrintfTest, ElapsedTimeWrapsAroundThe32BitTickCount) {
    clock.tick = 0xFFFFFF00u;
    CDebugPrintf log(Options());
    clock.tick = 0x00000100u;  // 512 ms later, across the wrap
    log.Log(u"x");
    const auto lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 11), u"[LOG] 0.512");
}

TEST_F(DebugPrintfTest, LongMessagesAreCutTo1024Characters) {
    CDebugPrintf log(Options());
    log.Log(u"%s", std::u16string(3000, u'a'));
    // A surrogate pair straddling the cut is dropped whole rather than split.
    log.Log(u"%s\U0001F600tail", std::u16string(1023, u'b'));
    const auto lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), 2u);
    const size_t prefix = std::u16string(u"[LOG] 0.000 03/03/2011 14:05:09  ").size();
    EXPECT_EQ(lines[0].size(), prefix + 1024);
    EXPECT_EQ(lines[1].size(), prefix + 1023);
    EXPECT_EQ(lines[1].back(), u'b');
}

// What a message argument holds, and what the line shows of it: every line stays one line, and
// nothing in it acts on a terminal showing the echo.
TEST_F(DebugPrintfTest, ControlCharactersInAMessageAreWrittenAsEscapes) {
    const struct {
        std::u16string argument;
        std::u16string shown;
    } cases[] = {
        {u"reply\r\n[ERR] forged line", u"reply\\r\\n[ERR] forged line"},
        {u"a\nb\rc\td", u"a\\nb\\rc\\td"},
        {u"x\u2028y\u2029z\u0085w", u"x\\u2028y\\u2029z\\u0085w"},
        {u"\x1b]0;title\x07\x1b[2J\b\x7f", u"\\x1b]0;title\\x07\\x1b[2J\\x08\\x7f"},
        {u"c1 \u009b31m \u0080", u"c1 \\u009b31m \\u0080"},
        {std::u16string(u"lone ") + char16_t(0xD800) + u" end", u"lone \\ud800 end"},
        // Ordinary text, backslashes and characters past Latin-1 stay as they are.
        {u"C:\\games caf\u00e9 \u65e5\u672c \U0001F600",
         u"C:\\games caf\u00e9 \u65e5\u672c \U0001F600"},
        // The cut counts the escapes and never splits one.
        {std::u16string(1021, u'a') + u"\nz", std::u16string(1021, u'a') + u"\\nz"},
        {std::u16string(1023, u'a') + u"\r", std::u16string(1023, u'a')},
    };
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    CDebugPrintf::Options options = Options();
    options.echoFd = pipeFds[1];
    {
        CDebugPrintf log(options);
        for (const auto& c : cases) {
            log.Warning(u"%s", c.argument);
        }
    }
    close(pipeFds[1]);
    std::string echo;
    char buffer[4096];
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        echo.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);

    const std::u16string prefix = u"[WRN] 0.000 03/03/2011 14:05:09  ";
    const auto lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), std::size(cases));
    std::string expectedEcho;
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(lines[i], prefix + cases[i].shown) << "case " << i;
        expectedEcho += WideToUtf8(prefix + cases[i].shown) + "\r\n";
    }
    EXPECT_EQ(echo, expectedEcho);
}

TEST_F(DebugPrintfTest, FirstLoggerRotatesBackupsAndLaterOnesAppend) {
    std::ofstream(LogPath()) << "run 2";
    std::ofstream(LogPath().string() + "~") << "run 1";
    std::ofstream(LogPath().string() + "~~") << "run 0";
    {
        CDebugPrintf first(Options());
        EXPECT_TRUE(first.StartedLog());
        EXPECT_EQ(ReadBytes(LogPath().string() + "~"), "run 2");
        EXPECT_EQ(ReadBytes(LogPath().string() + "~~"), "run 1");
        first.Log(u"from first");

        CDebugPrintf second(Options());  // the log is already open elsewhere: no rotation
        EXPECT_FALSE(second.StartedLog());
        second.Log(u"from second");
        EXPECT_EQ(ReadBytes(LogPath().string() + "~"), "run 2");

        const auto lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(u"from first"), std::u16string::npos);
        EXPECT_NE(lines[1].find(u"from second"), std::u16string::npos);
    }
    CDebugPrintf next(Options());  // everyone closed it: the next start rotates again
    EXPECT_TRUE(next.StartedLog());
    EXPECT_EQ(ReadBytes(LogPath().string() + "~~"), "run 2");
}

TEST_F(DebugPrintfTest, MissingFolderLosesNothingOnceTheFolderExists) {
    CDebugPrintf::Options options = Options();
    options.path = dir.Path() / "later" / "output.log";
    CDebugPrintf log(options);
    log.Log(u"before the folder");  // returns normally; nothing can be written yet
    EXPECT_FALSE(fs::exists(options.path));
    EXPECT_TRUE(log.FilePath().empty());

    fs::create_directory(dir.Path() / "later");
    log.Log(u"after the folder");
    const std::u16string text = ReadLog(options.path);
    ASSERT_EQ(text.substr(0, kFreshHead.size()), kFreshHead);
    const auto lines = Lines(text.substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(u"after the folder"), std::u16string::npos);
}

TEST_F(DebugPrintfTest, LinesOfManyThreadsNeverMix) {
    CDebugPrintf log(Options());
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                log.Log(u"thread %d line %d %s", t, i, std::u16string(40, u'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::map<int, int> nextLine;
    for (const auto& line : Lines(ReadLog(LogPath()).substr(kFreshHead.size()))) {
        const std::string text = WideToUtf8(line);
        int thread = -1, index = -1;
        ASSERT_EQ(
            std::sscanf(text.c_str() + text.find("thread"), "thread %d line %d", &thread, &index),
            2)
            << text;
        ASSERT_EQ(text.substr(text.size() - 40), std::string(40, 'x'));
        EXPECT_EQ(index, nextLine[thread]++);  // each thread's lines in order, none lost
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(nextLine[t], kLines);
    }
}

// Lines held on a helper thread wait, in order and with their level, until written out; a hold
// diverts only its own thread, and lines never written out are dropped.
TEST_F(DebugPrintfTest, HeldLinesAreWrittenLaterInTheirOrder) {
    CDebugPrintf log(Options());
    HeldLogLines kept;
    HeldLogLines dropped;
    std::thread helper([&] {
        LogHold hold(kept);
        log.Warning(u"held %d", 1);
        {
            LogHold inner(dropped);
            log.Log(u"never written");
        }
        log.Error(u"held %d\n", 2);
    });
    helper.join();
    log.Log(u"direct");
    EXPECT_FALSE(kept.Empty());
    clock.tick += 250;
    kept.WriteOut();
    EXPECT_TRUE(kept.Empty());
    kept.WriteOut();  // written once only

    const auto lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with(u"[LOG] ") && lines[0].ends_with(u"  direct"));
    EXPECT_TRUE(lines[1].starts_with(u"[WRN] 0.250 ") && lines[1].ends_with(u"  held 1"));
    EXPECT_TRUE(lines[2].starts_with(u"[ERR] ") && lines[2].ends_with(u"  held 2\\n"));
}

TEST_F(DebugPrintfTest, TwoProcessesAppendToOneFile) {
    CDebugPrintf log(Options());
    log.Log(u"first process");
    const std::string path = LogPath().string();
    std::vector<pid_t> children;
    for (const char* tag : {"alpha", "beta"}) {
        const std::string program = HelperProgram("log_writer").string();
        std::vector<std::string> args = {program, path, tag, "200"};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a second process rotated the log or failed";
    }
    log.Log(u"first process again");

    const std::u16string text = ReadLog(LogPath());
    ASSERT_EQ(text.substr(0, kFreshHead.size()), kFreshHead);
    EXPECT_EQ(text.find(u"VelkDownloader, ver.", 1), std::u16string::npos) << "second header";
    std::map<std::string, int> counts;
    for (const auto& line : Lines(text.substr(kFreshHead.size()))) {
        const std::string utf8 = WideToUtf8(line);
        ASSERT_EQ(utf8.rfind("[LOG] ", 0), 0u) << utf8;
        const size_t message = utf8.find("  ");
        ASSERT_NE(message, std::string::npos);
        counts[utf8.substr(message + 2, utf8.find(' ', message + 2) - message - 2)]++;
    }
    EXPECT_EQ(counts["alpha"], 200);
    EXPECT_EQ(counts["beta"], 200);
    EXPECT_EQ(counts["first"], 2);
}

TEST_F(DebugPrintfTest, EchoesEachLineAsUtf8AndTellsTheObserver) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    CDebugPrintf::Options options = Options();
    options.echoFd = pipeFds[1];
    CDebugPrintf log(options);
    std::vector<std::u16string> observed;
    log.SetObserver([&](CDebugPrintf::Level level, std::u16string_view line) {
        EXPECT_EQ(level, CDebugPrintf::Level::Warning);
        observed.emplace_back(line);
    });
    log.Warning(u"caf\u00e9 %s", u"\u65e5\u672c");
    close(pipeFds[1]);
    char buffer[256] = {};
    const ssize_t got = read(pipeFds[0], buffer, sizeof buffer - 1);
    close(pipeFds[0]);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)),
              "[WRN] 0.000 03/03/2011 14:05:09  caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\r\n");
    ASSERT_EQ(observed.size(), 1u);
    EXPECT_EQ(observed[0], u"[WRN] 0.000 03/03/2011 14:05:09  caf\u00e9 \u65e5\u672c");
}

// `... --verbose | head`: the echo's reader is gone. The default action of SIGPIPE would end the
// process (this test with it); the lines must go on to the file, from any thread, and the thread's
// signal mask and pending set must be as they were.
TEST_F(DebugPrintfTest, AnEchoWhoseReaderWentAwayNeverStopsTheProgram) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    CDebugPrintf::Options options = Options();
    options.echoFd = pipeFds[1];
    sigset_t maskBefore;
    pthread_sigmask(SIG_SETMASK, nullptr, &maskBefore);
    {
        CDebugPrintf log(options);
        log.Log(u"first");
        std::thread other([&] { log.Warning(u"from another thread"); });
        other.join();
        log.Error(u"last");
    }
    close(pipeFds[1]);

    sigset_t maskAfter;
    pthread_sigmask(SIG_SETMASK, nullptr, &maskAfter);
    EXPECT_EQ(sigismember(&maskAfter, SIGPIPE), sigismember(&maskBefore, SIGPIPE));
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    const std::vector<std::u16string> lines = Lines(ReadLog(LogPath()).substr(kFreshHead.size()));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].ends_with(u"  first"));
    EXPECT_TRUE(lines[1].ends_with(u"  from another thread"));
    EXPECT_TRUE(lines[2].ends_with(u"  last"));
}

}  // namespace
