// End to end through the headless front end: velkdownloader-cli runs as its own process against
// the local test store, each test in a home of its own, and the tests look at what it leaves on
// disk, in the settings store and in the store's request log.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/CVelkDownloaderApp.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "engine/Md5Context.h"
#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FileFixtures.h"
#include "support/StalledNetwork.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitInterrupted = 130;

// One run of the headless front end as built, its output going to files in `folder`.
class CliRun : public CliProcess {
public:
    CliRun(const fs::path& folder, const std::vector<std::string>& args,
           const std::string& input = {})
        : CliProcess(Options{VELK_CLI_PROGRAM, args, folder, {}, {}, {}, input}) {}
};

std::string FileMd5(const fs::path& path) {
    const std::string bytes = ReadFile(path);
    Md5Context md5;
    md5.Update(bytes.data(), bytes.size());
    md5.Finalize();
    return WideToUtf8(md5.HexDigest());
}

// A game of the given file sizes, one chunk size for all, content from seeds named after it.
std::string GameJson(const std::string& name, const std::vector<uint64_t>& sizes,
                     uint64_t chunkSize, const std::vector<std::string>& paths = {}) {
    std::string json =
        R"({"name":")" + name + R"(","title":"Title of )" + name + R"(","owned":true,"files":[)";
    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string path =
            i < paths.size() ? paths[i] : name + "/part" + std::to_string(i) + ".bin";
        json += (i == 0 ? "" : ",") + std::string(R"({"id":)") + std::to_string(i) +
                R"(,"path":")" + path + R"(","size":)" + std::to_string(sizes[i]) + R"(,"seed":")" +
                name + "/" + std::to_string(i) + R"(","chunk_size":)" + std::to_string(chunkSize) +
                R"(,"timestamp":"1714557700"})";
    }
    return json + "]}";
}

// Body bytes the CDN served for the file at `path` of `game` (both listeners, every range).
uint64_t ServedBytes(const TestStore& store, const std::string& game, const std::string& path) {
    const std::string wanted = "/secure/" + game + "/" + path;
    uint64_t total = 0;
    for (const StoreRequest& request : store.Requests()) {
        if ((request.server == "cdn" || request.server == "cdn_http") && request.path == wanted) {
            total += request.bytesSent;
        }
    }
    return total;
}

// Sends `signal` to the run and expects it to end as interrupted within `bound` (a correctness
// bound with room for a loaded machine); prints the time it took, which is the measure.
void QuitAndTime(CliRun& run, const std::string& what, int signal = SIGTERM,
                 std::chrono::seconds bound = std::chrono::seconds(3)) {
    const auto signalled = std::chrono::steady_clock::now();
    run.Signal(signal);
    EXPECT_EQ(run.Wait(), kExitInterrupted) << run.Out() << run.Err();
    const auto took = std::chrono::steady_clock::now() - signalled;
    std::printf(
        "[stop] %s ended the program %lld ms after it, %s\n",
        signal == SIGTERM ? "SIGTERM" : "SIGINT",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        what.c_str());
    EXPECT_LT(took, bound);
}

class CliTest : public ::testing::Test {
protected:
    CliTest() { store_.UseInEnvironment(); }

    fs::path Downloads() const { return home_.Root() / "downloads"; }

    // A run signed in with the demo account, downloading into Downloads().
    std::vector<std::string> Args(std::vector<std::string> games) const {
        return DemoDownloadArgs(Downloads(), games);
    }

    // Every regular file under the downloads folder, relative to it.
    std::set<std::string> FilesOnDisk() const {
        std::set<std::string> files;
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(Downloads(), error)) {
            if (entry.is_regular_file()) {
                files.insert(fs::relative(entry.path(), Downloads()).string());
            }
        }
        return files;
    }

    std::shared_ptr<Registry> OpenRegistry() const {
        return Registry::Open(Registry::DefaultPath());
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_F(CliTest, MultiFileGameDownloadsVerifiesAndIsStoredForTheWindow) {
    store_.AddGame(GameJson("cli-multi", {300000, 131072, 5000}, 65536,
                            {"setup/cli-multi.bin", "data/cli-data.bin", "readme.bin"}));
    CliRun run(runs_.Path(), Args({"cli-multi"}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();

    // Exactly the three finished files: the chunk files went when the files were joined.
    EXPECT_EQ(FilesOnDisk(),
              (std::set<std::string>{"setup/cli-multi.bin", "data/cli-data.bin", "readme.bin"}));
    const char* const paths[] = {"setup/cli-multi.bin", "data/cli-data.bin", "readme.bin"};
    for (uint32_t id = 0; id < 3; ++id) {
        EXPECT_EQ(FileMd5(Downloads() / paths[id]), store_.ExpectedFileMd5("cli-multi", id))
            << paths[id];
    }
    const std::string out = run.Out();
    EXPECT_NE(out.find("cli-multi (Title of cli-multi): completed and verified"), std::string::npos)
        << out;
    EXPECT_NE(out.find("300000 bytes"), std::string::npos) << out;
    // The log is not echoed without --verbose (it is still written to its file).
    EXPECT_EQ(out.find("[LOG]"), std::string::npos) << out;

    // The record is where the window will look for it, completed.
    std::optional<RegistryKey> key = OpenDownloadsKey(OpenRegistry());
    ASSERT_TRUE(key);
    const auto records = LoadDownloadRecords(*key);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name, u"cli-multi");
    EXPECT_TRUE(records[0]->completed);
    EXPECT_EQ(records[0]->total, 436072u);
}

// A speed limit holds all connections together to it: from the command line for one run, and
// from the stored setting (KB/s) otherwise. Only the lower bound of the time is looked at: the
// limit must not let more through, while a loaded machine may make any run slower.
TEST_F(CliTest, ASpeedLimitHoldsAllConnectionsTogetherToIt) {
    constexpr uint64_t kSize = 3 << 20;
    const struct {
        const char* what;
        std::vector<std::string> extra;  // before the game's address
        uint32_t stored;                 // the MaxDownloadRate setting, KB/s (0: none stored)
        double atLeast;                  // seconds the run must take
    } cases[] = {
        // 3 MiB at 1 MiB/s, the first tenth of a second's worth free: 2.9 s.
        {"--limit-rate 1M", {"--connections", "6", "--limit-rate", "1M"}, 0, 2.7},
        {"--limit-rate in bytes", {"--connections", "3", "--limit-rate", "2097152"}, 0, 1.35},
        {"the stored setting", {"--connections", "6"}, 1024, 2.7},
        // The command line's 0 lifts a stored limit for the run.
        {"--limit-rate 0 over a stored limit", {"--limit-rate", "0"}, 64, 0.0},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string game = "cli-limited-" + std::to_string(round++);
        store_.AddGame(GameJson(game, {kSize}, 262144));
        if (c.stored > 0) {
            std::optional<RegistryKey> settings =
                RegistryKey::Create(OpenRegistry(), CVelkDownloaderApp::kSettingsKeyPath);
            ASSERT_TRUE(settings);
            ASSERT_TRUE(settings->SetDword(u"MaxDownloadRate", c.stored));
        }
        std::vector<std::string> args = Args({});
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back("velkdownloader://" + game);
        const auto start = std::chrono::steady_clock::now();
        CliRun run(runs_.Path(), args);
        ASSERT_EQ(run.Wait(std::chrono::seconds(60)), 0) << run.Out() << run.Err();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, c.atLeast);
        if (c.atLeast == 0.0) {
            // 64 KB/s would have taken 48 s.
            EXPECT_LT(seconds, 40.0);
        }
        EXPECT_EQ(FileMd5(Downloads() / (game + "/part0.bin")), store_.ExpectedFileMd5(game, 0));
    }
}

TEST_F(CliTest, TwoGamesDownloadOneAfterTheOtherInListOrder) {
    store_.AddGame(GameJson("cli-first", {400000}, 65536));
    store_.AddGame(GameJson("cli-second", {200000}, 65536));
    CliRun run(runs_.Path(), Args({"cli-first", "cli-second"}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_EQ(FileMd5(Downloads() / "cli-first/part0.bin"), store_.ExpectedFileMd5("cli-first", 0));
    EXPECT_EQ(FileMd5(Downloads() / "cli-second/part0.bin"),
              store_.ExpectedFileMd5("cli-second", 0));

    // Every piece of the first game's file was asked for before any of the second's.
    const std::vector<StoreRequest> requests = store_.Requests();
    size_t lastFirst = 0;
    size_t firstSecond = requests.size();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].path == "/secure/cli-first/cli-first/part0.bin") {
            lastFirst = i;
        } else if (requests[i].path == "/secure/cli-second/cli-second/part0.bin" &&
                   firstSecond == requests.size()) {
            firstSecond = i;
        }
    }
    ASSERT_LT(firstSecond, requests.size());
    EXPECT_LT(lastFirst, firstSecond);
    const std::string out = run.Out();
    EXPECT_LT(out.find("cli-first (Title"), out.find("cli-second (Title")) << out;
}

TEST_F(CliTest, AGameTheAccountDoesNotOwnIsRefusedWithTheStoresMessage) {
    store_.AddGame(GameJson("cli-owned", {70000}, 65536));
    store_.AddGame(GameJson("cli-not-owned", {70000}, 65536));
    store_.SetOwned("cli-not-owned", false);
    CliRun run(runs_.Path(), Args({"cli-not-owned", "cli-owned"}));
    EXPECT_EQ(run.Wait(), 1);
    const std::string err = run.Err();
    EXPECT_NE(err.find("cli-not-owned: You do not own this game"), std::string::npos) << err;
    // The other game still downloads; the refused one leaves no record behind.
    EXPECT_EQ(FileMd5(Downloads() / "cli-owned/part0.bin"), store_.ExpectedFileMd5("cli-owned", 0));
    std::optional<RegistryKey> key = OpenDownloadsKey(OpenRegistry());
    ASSERT_TRUE(key);
    const auto records = LoadDownloadRecords(*key);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name, u"cli-owned");
}

TEST_F(CliTest, AWrongPasswordFailsClearlyAndStoresNoToken) {
    CliRun run(runs_.Path(), {"--email", TestStore::DemoEmail(), "--password", "wrong",
                              "velkdownloader://single-file-game"});
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_NE(run.Err().find("sign-in failed for demo@velkora.test: the store refused the "
                             "e-mail address or password"),
              std::string::npos)
        << run.Err();
    std::optional<RegistryKey> settings =
        RegistryKey::Open(OpenRegistry(), CVelkDownloaderApp::kSettingsKeyPath);
    ASSERT_TRUE(settings);
    EXPECT_FALSE(settings->Query(u"token"));
}

TEST_F(CliTest, WithoutAnySignInItSaysHowToSignIn) {
    CliRun run(runs_.Path(), {"velkdownloader://single-file-game"});
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_NE(run.Err().find("not signed in"), std::string::npos) << run.Err();
}

// `velkdownloader-cli --verbose ... | head`: standard output is a pipe whose reader is gone before
// the first line. Every echoed log line and progress line then fails to arrive; the download still
// completes and the run ends with 0, not with SIGPIPE's 141. The wrapper resets SIGPIPE to its
// default first (Python ignores it, and an ignored signal would be inherited).
TEST_F(CliTest, AnOutputPipeWithoutReaderDoesNotEndTheDownload) {
    store_.AddGame(GameJson("cli-piped", {300000}, 65536));
    std::vector<std::string> args = Args({"cli-piped"});
    args.insert(args.begin(), "--verbose");
    CliProcess::Options options{VELK_CLI_PROGRAM, args, runs_.Path(), {}, {}, {}, {}};
    options.wrapper = {"/usr/bin/python3", "-c",
                       "import os, signal, sys\n"
                       "signal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
                       "reader, writer = os.pipe()\n"
                       "os.close(reader)\n"
                       "os.dup2(writer, 1)\n"
                       "os.execv(sys.argv[1], sys.argv[1:])\n"};
    CliProcess run(options);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(FileMd5(Downloads() / "cli-piped/part0.bin"), store_.ExpectedFileMd5("cli-piped", 0));
}

// SIGKILL ends the program where it stands, SIGINT lets it stop its engines in the quit order
// (exit 130). Either way the next run keeps every chunk that was verified.
TEST_F(CliTest, AnInterruptedDownloadResumesWithoutFetchingVerifiedChunksAgain) {
    constexpr uint64_t kChunk = 131072;
    constexpr uint64_t kSize = 8 * kChunk;
    for (const int signal : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(signal == SIGKILL ? "SIGKILL" : "SIGINT");
        const std::string game = signal == SIGKILL ? "cli-killed" : "cli-interrupted";
        const std::string path = game + "/part0.bin";
        store_.AddGame(GameJson(game, {kSize}, kChunk));
        // One connection, each chunk taking about half a second.
        store_.SetFault(R"({"server":"cdn","path_prefix":"/secure/)" + game +
                        R"(/","fail_next":-1,"rate":262144})");
        store_.ClearRequests();
        std::vector<std::string> args = Args({game});
        args.insert(args.begin(), {"--connections", "1"});
        {
            CliRun first(runs_.Path(), args);
            // A third range asked for: the first two chunks are verified and in place.
            const auto ranges = [&] {
                int count = 0;
                for (const StoreRequest& request : store_.Requests()) {
                    count += request.path == "/secure/" + game + "/" + path ? 1 : 0;
                }
                return count;
            };
            ASSERT_TRUE(WaitFor([&] { return ranges() >= 3; }, std::chrono::seconds(20)))
                << first.Out() << first.Err();
            first.Signal(signal);
            EXPECT_EQ(first.Wait(), signal == SIGKILL ? 128 + SIGKILL : kExitInterrupted)
                << first.Out() << first.Err();
        }
        store_.ClearFaults();
        store_.ClearRequests();

        CliRun second(runs_.Path(), args);
        ASSERT_EQ(second.Wait(), 0) << second.Out() << second.Err();
        EXPECT_EQ(FileMd5(Downloads() / path), store_.ExpectedFileMd5(game, 0));
        for (const StoreRequest& request : store_.Requests()) {
            if (request.path == "/secure/" + game + "/" + path) {
                EXPECT_NE(request.range.rfind("bytes=0-", 0), 0u) << request.range;
                EXPECT_NE(request.range.rfind("bytes=131072-", 0), 0u) << request.range;
            }
        }
        EXPECT_LE(ServedBytes(store_, game, path), kSize - 2 * kChunk);
    }
}

// A store that trickles every answer (a byte now and then, enough to pass the low-speed limit)
// holds no thread of the program once it is told to quit.
TEST_F(CliTest, SignalsEndTheProgramPromptlyWhileTheStoreTrickles) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        store_.ClearFaults();
        store_.SetFault(R"({"server":["api","site","cdn"],"fail_next":-1,"rate":3})");
        store_.ClearRequests();
        CliRun run(runs_.Path(), Args({"single-file-game"}));
        ASSERT_TRUE(WaitFor([&] { return !store_.Requests().empty(); }, std::chrono::seconds(20)))
            << run.Out() << run.Err();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        // The answers would take minutes; the quit order ends in-flight requests at once.
        QuitAndTime(run, "the store trickling", signal, std::chrono::seconds(4));
    }
    store_.ClearFaults();
}

// A network that drops packets holds the store's requests in their TCP connect or their TLS
// handshake (the API's sign-in and the site's connection check alike): a quit still ends the
// program within a second, as interrupted, and the requests it cut short are not taken for a
// failed connection.
TEST_F(CliTest, SignalsEndTheProgramPromptlyWhileTheNetworkHoldsTheRequests) {
    for (const auto step : {StalledListener::Step::kConnect, StalledListener::Step::kHandshake}) {
        const char* name =
            step == StalledListener::Step::kConnect ? "tcp_connect" : "tls_handshake";
        SCOPED_TRACE(name);
        const StalledListener network(step);
        setenv("VELKDOWNLOADER_API_URL", network.Url().c_str(), 1);
        setenv("VELKDOWNLOADER_SITE_URL", network.Url().c_str(), 1);
        std::vector<std::string> args = Args({"single-file-game"});
        args.insert(args.begin(), "--verbose");  // the log too, to see how the requests ended
        CliRun run(runs_.Path(), args);
        store_.UseInEnvironment();
        // Nothing shows when the requests went out; they are held long before the connect
        // time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(run.Running()) << run.Out() << run.Err();
        QuitAndTime(run, std::string("requests held in their ") + name);
        const std::string output = run.Out() + run.Err();
        EXPECT_EQ(output.find("Connection check of"), std::string::npos) << output;
        EXPECT_EQ(output.find("Timeout was reached"), std::string::npos) << output;
        EXPECT_EQ(output.find("Couldn't connect"), std::string::npos) << output;
    }
}

// The same for the game's chunk transfers: the file link names a content server whose accept
// queue is full, so every worker's connect is held. The quit ends them at once, and none of
// them is logged as a connection failure (which would also have reported the internet down).
TEST_F(CliTest, SignalsEndTheProgramPromptlyWhileTheNetworkHoldsTheChunkTransfers) {
    const StalledListener content(StalledListener::Step::kConnect);
    const std::string linkPath = "/en/downloader/fileLink/single-file-game/installer/0";
    store_.SetFault(R"({"server":"api","path":")" + linkPath +
                    R"(","fail_next":-1,"body":"<file><cdn_link>)" + content.Url() +
                    R"(/secure/single-file-game/single.bin</cdn_link></file>"})");
    store_.ClearRequests();
    std::vector<std::string> args = Args({"single-file-game"});
    args.insert(args.begin(), "--verbose");
    CliRun run(runs_.Path(), args);
    const auto linkAsked = [&] {
        for (const StoreRequest& request : store_.Requests()) {
            if (request.path == linkPath) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(WaitFor(linkAsked, std::chrono::seconds(20))) << run.Out() << run.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(run.Running()) << run.Out() << run.Err();
    QuitAndTime(run, "chunk transfers held in their tcp_connect");
    const std::string output = run.Out() + run.Err();
    EXPECT_EQ(output.find("Connection failure with download of"), std::string::npos) << output;
    EXPECT_EQ(output.find("Timeout was reached"), std::string::npos) << output;
    store_.ClearFaults();
}

TEST_F(CliTest, AFileChangedOnTheServerIsFetchedAgain) {
    store_.AddGame(GameJson("cli-change", {200000, 90000}, 65536));
    {
        CliRun run(runs_.Path(), Args({"cli-change"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    }
    // Unchanged: a completed game asked for again is compared, not fetched.
    store_.ClearRequests();
    {
        CliRun run(runs_.Path(), Args({"cli-change"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        EXPECT_EQ(ServedBytes(store_, "cli-change", "cli-change/part0.bin"), 0u);
    }

    const std::string before = FileMd5(Downloads() / "cli-change/part0.bin");
    store_.ChangeFile("cli-change", 0, {{"timestamp", "1800000000"}, {"seed", "cli-change/new"}});
    store_.ClearRequests();
    CliRun run(runs_.Path(), Args({"cli-change"}));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string after = FileMd5(Downloads() / "cli-change/part0.bin");
    EXPECT_NE(after, before);
    EXPECT_EQ(after, store_.ExpectedFileMd5("cli-change", 0));
    EXPECT_GE(ServedBytes(store_, "cli-change", "cli-change/part0.bin"), 200000u);
    // The file that did not change stays as it was.
    EXPECT_EQ(ServedBytes(store_, "cli-change", "cli-change/part1.bin"), 0u);
    EXPECT_EQ(FileMd5(Downloads() / "cli-change/part1.bin"),
              store_.ExpectedFileMd5("cli-change", 1));
}

// "Verified" is said of a game only when its digests were checked in this run: a game completed
// in an earlier run is read again before the report, and one whose file was replaced by another
// of the same size is not reported verified.
TEST_F(CliTest, AGameCompletedInAnEarlierRunIsCheckedAgainBeforeItIsReportedVerified) {
    store_.AddGame(GameJson("cli-again", {200000}, 65536));
    {
        CliRun run(runs_.Path(), Args({"cli-again"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    }
    const fs::path file = Downloads() / "cli-again/part0.bin";
    store_.ClearRequests();
    {
        CliRun run(runs_.Path(), Args({"cli-again"}));
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        EXPECT_NE(run.Out().find("cli-again (Title of cli-again): completed and verified"),
                  std::string::npos)
            << run.Out();
    }

    // Another file of the same size in its place.
    WriteFile(Downloads() / "cli-again/other.bin", std::string(200000, 'x'));
    fs::rename(Downloads() / "cli-again/other.bin", file);
    CliRun run(runs_.Path(), Args({"cli-again"}));
    EXPECT_EQ(run.Wait(), 1) << run.Out() << run.Err();
    EXPECT_EQ(run.Out().find("completed and verified"), std::string::npos) << run.Out();
    EXPECT_NE(run.Err().find("cli-again: completed in an earlier run, but " + file.string() +
                             " does not match its digest"),
              std::string::npos)
        << run.Err();
    EXPECT_EQ(ServedBytes(store_, "cli-again", "cli-again/part0.bin"), 0u);
}

TEST_F(CliTest, TheTokenOfTheFirstSignInServesTheNextRun) {
    store_.AddGame(GameJson("cli-token", {70000}, 65536));
    {
        // Only the e-mail: the password is read from standard input (not a terminal here).
        CliRun run(runs_.Path(),
                   {"--email", TestStore::DemoEmail(), "--folder", Downloads().string(),
                    "velkdownloader://cli-token"},
                   TestStore::DemoPassword() + "\n");
        ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
        EXPECT_NE(run.Out().find("Signed in as Demo Player"), std::string::npos) << run.Out();
    }
    std::optional<RegistryKey> settings =
        RegistryKey::Open(OpenRegistry(), CVelkDownloaderApp::kSettingsKeyPath);
    ASSERT_TRUE(settings);
    std::optional<RegistryValue> token = settings->Query(u"token");
    ASSERT_TRUE(token);
    ASSERT_FALSE(token->data.empty());

    store_.ClearRequests();
    CliRun run(runs_.Path(),
               {"--folder", Downloads().string(), "--verbose", "velkdownloader://cli-token"});
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    bool provedToken = false;
    for (const StoreRequest& request : store_.Requests()) {
        EXPECT_EQ(request.path.find("/en/oauth/"), std::string::npos) << request.path;
        provedToken |= request.path == "/en/downloader/userDetails/" && request.status == 200;
    }
    EXPECT_TRUE(provedToken);
    // --verbose echoes the log.
    EXPECT_NE(run.Out().find("[LOG]"), std::string::npos);
}

TEST_F(CliTest, ThePasswordCanComeFromTheFirstLineOfStandardInput) {
    store_.AddGame(GameJson("cli-stdin", {70000}, 65536));
    // Only the first line counts; what follows it is no part of the password.
    CliRun run(runs_.Path(),
               {"--email", TestStore::DemoEmail(), "--password-stdin", "--folder",
                Downloads().string(), "velkdownloader://cli-stdin"},
               TestStore::DemoPassword() + "\nnot the password\n");
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    EXPECT_NE(run.Out().find("Signed in as Demo Player"), std::string::npos) << run.Out();
    EXPECT_EQ(FileMd5(Downloads() / "cli-stdin/part0.bin"), store_.ExpectedFileMd5("cli-stdin", 0));

    // The help says which way to give the password, and what --password costs.
    CliRun help(runs_.Path(), {"--help"});
    ASSERT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out().find("--password-stdin"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("without echo"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("can read a command line"), std::string::npos) << help.Out();
}

TEST(CliUsageTest, UsageErrorsExitWithTwo) {
    TempHome home;
    TempDir runs;
    struct Case {
        std::vector<std::string> args;
        std::string input;    // standard input
        const char* message;  // what the error says, when the case is about it
    };
    const std::string email = "a@b.test";
    const Case cases[] = {
        {{}, "", nullptr},
        {{"--connections", "0", "velkdownloader://g"}, "", nullptr},
        {{"--connections", "21", "velkdownloader://g"}, "", nullptr},
        {{"--limit-rate", "fast", "velkdownloader://g"}, "", "--limit-rate takes"},
        {{"--limit-rate", "1.5M", "velkdownloader://g"}, "", nullptr},
        {{"--limit-rate", "-1", "velkdownloader://g"}, "", nullptr},
        {{"--limit-rate", "K", "velkdownloader://g"}, "", nullptr},
        {{"velkdownloader://g", "--limit-rate"}, "", "--limit-rate needs a value"},
        {{"--password", "p", "velkdownloader://g"}, "", nullptr},
        {{"--email"}, "", nullptr},
        {{"--frobnicate", "velkdownloader://g"}, "", nullptr},
        {{"mygame"}, "", nullptr},
        {{"velkdownloader://"}, "", nullptr},
        {{"--password-stdin", "velkdownloader://g"}, "pw\n", "--password-stdin needs --email"},
        {{"--email", email, "--password", "p", "--password-stdin", "velkdownloader://g"},
         "pw\n",
         "can't be used together"},
        // Standard input without a password on its first line.
        {{"--email", email, "--password-stdin", "velkdownloader://g"}, "", "no password"},
        {{"--email", email, "--password-stdin", "velkdownloader://g"}, "\n", "no password"},
        {{"--email", email, "--password-stdin", "velkdownloader://g"}, "\r\npw\n", "no password"},
        // The commands take their own options only.
        {{"--json", "--verbose", "velkdownloader://g"}, "", "can't be used together"},
        {{"list", "--verbose"}, "", "list takes only --json"},
        {{"list", "velkdownloader://g"}, "", "list takes only --json"},
        {{"--json", "list"}, "", "not a velkdownloader:// URL: list"},
        {{"remove"}, "", "remove needs the game's name"},
        {{"remove", ""}, "", "remove needs the game's name"},
        {{"remove", "--delete-files"}, "", "remove needs the game's name"},
        {{"remove", "a", "b"}, "", "one game at a time"},
        {{"remove", "--json", "a"}, "", "remove takes only GAME and --delete-files"},
        {{"remove", "velkdownloader://"}, "", "no game in velkdownloader://"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args) {
            joined += arg + " ";
        }
        CliRun run(runs.Path(), c.args, c.input);
        EXPECT_EQ(run.Wait(), 2) << joined;
        EXPECT_NE(run.Err().find("usage: velkdownloader-cli"), std::string::npos) << joined;
        if (c.message != nullptr) {
            EXPECT_NE(run.Err().find(c.message), std::string::npos) << joined << run.Err();
        }
    }
}

TEST(CliUsageTest, AnInstanceLockThatCannotBeTakenIsExplained) {
    TempHome home;
    TempDir runs;
    setenv("XDG_RUNTIME_DIR", (home.Root() / "missing").c_str(), 1);
    CliRun run(runs.Path(), {"velkdownloader://g"});
    EXPECT_EQ(run.Wait(), 1);
    EXPECT_NE(run.Err().find("velkdownloader-cli: Cannot tell whether VelkDownloader is already "
                             "running"),
              std::string::npos)
        << run.Err();
    EXPECT_NE(run.Err().find((home.Root() / "missing/velkdownloader.lock").string()),
              std::string::npos)
        << run.Err();
}

}  // namespace
