// The downloads manager's retry policy driven by test-store faults and disk faults, removals
// with their files, refused paths, and shutting down.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <optional>

#include "EngineHarness.h"
#include "support/WaitFor.h"

namespace {

using namespace engine_test;
using namespace std::chrono_literals;

const std::string kPath = "/files/retry/chunk.bin";

struct RetryCase {
    std::string label;
    // Arms the fault; may also prepare the disk. Runs before the request.
    std::function<void(TestStore&, const fs::path& downloads)> arm;
    // Runs after the request while the test pumps, for cases that act mid-way.
    std::function<void(EngineFixture&)> during;
    size_t finalMessage = 0;
    // ItemFailed: the reason. ItemResubmit: DiskWrite for a join that could not write.
    ErrorKind finalError = ErrorKind::None;
    uint64_t finalFileId = 0;
    std::vector<std::string> warnings;  // in this order
    // GETs of the file from its first byte the store saw, and requests of the file of any kind.
    std::optional<size_t> fromStart = std::nullopt;
    std::optional<size_t> requests = std::nullopt;
    // Links the workers asked the window for.
    std::optional<size_t> links = std::nullopt;
};

std::vector<RetryCase> RetryCases() {
    std::vector<RetryCase> cases;
    cases.push_back(
        {"same wrong digest four times",
         [](TestStore& store, const fs::path&) {
             store.SetFault(R"({"server":"cdn_http","path":")" + kPath +
                            R"(","fail_next":-1,"corrupt":true})");
         },
         {},
         kEventKind<ItemFailed>,
         ErrorKind::FileGaveUp,
         0,
         {"again 2 more times", "again 1 more times", "again 0 more times",
          "It was always the same md5. Probably invalid file on server. Permanent failure."},
         4});
    cases.push_back(
        {"a different wrong digest every time",
         [](TestStore& store, const fs::path&) {
             for (int at = 1; at <= 10; ++at) {
                 store.SetFault(R"({"server":"cdn_http","path":")" + kPath +
                                R"(","corrupt_range":[)" + std::to_string(at * 100) + "," +
                                std::to_string(at * 100) + "]}");
             }
         },
         {},
         kEventKind<ItemFailed>,
         ErrorKind::FileGaveUp,
         0,
         // The first failure has a history of one digest, which counts as "always the same":
         // its warning counts against the limit of 3. From the second on they differ.
         {"again 2 more times", "again 8 more times", "again 7 more times", "again 6 more times",
          "again 5 more times", "again 4 more times", "again 3 more times", "again 2 more times",
          "again 1 more times", "had invalid md5. Permanent failure."},
         10});
    cases.push_back(
        {"a busy server is waited for until it answers",
         [](TestStore& store, const fs::path&) {
             store.SetFault(R"({"server":"cdn_http","path":")" + kPath +
                            R"(","fail_next":-1,"status":500})");
         },
         [](EngineFixture& f) {
             ASSERT_TRUE(f.window.PumpUntil([&] {
                 return f.log.CountContaining("the server is busy (status 500). Will retry") >= 8;
             }));
             EXPECT_EQ(f.window.Count(kEventKind<ItemFailed>), 0u);
             f.store.ClearFaults();
         },
         kEventKind<ItemFinished>,
         ErrorKind::None,
         0,
         {"the server is busy (status 500). Will retry", "Combine task (retry) completed."}});
    cases.push_back(
        {"bodies cut short are resumed from what arrived",
         [](TestStore& store, const fs::path&) {
             for (int cut = 1; cut <= 10; ++cut) {
                 store.SetFault(R"({"server":"cdn_http","path":")" + kPath + R"(","cut_after":)" +
                                std::to_string(cut * 1000 + 7) + "}");
             }
         },
         {},
         kEventKind<ItemFinished>,
         ErrorKind::None,
         0,
         {"closed before the body's end", "aborted due to internet problem. Will retry.",
          "Combine task (retry) completed."},
         1,
         11,
         1});  // the link that delivered bytes serves every resumption
    cases.push_back({"a partial file that is whole already is taken on its digest alone",
                     [](TestStore& store, const fs::path& downloads) {
                         WriteFile(downloads / "chunk.bin.chunk0_downloading",
                                   Content("retry", {"chunk.bin", kChunk}));
                         // Links signed for GET alone refuse anything else.
                         store.SetFault(R"({"server":"cdn_http","method":"HEAD","path":")" + kPath +
                                        R"(","fail_next":-1,"status":403})");
                     },
                     {},
                     kEventKind<ItemFinished>,
                     ErrorKind::None,
                     0,
                     {"chunk.bin.chunk0) completed.", "Combine task (retry) completed."},
                     0,
                     0});
    cases.push_back(
        {"a range answered whole every time ends the file after five fresh links",
         [](TestStore& store, const fs::path&) {
             store.SetFault(R"({"server":"cdn_http","path":")" + kPath +
                            R"(","fail_next":-1,"ignore_range":true})");
         },
         {},
         kEventKind<ItemFailed>,
         ErrorKind::FileGaveUp,
         0,
         {"refused by the server (not the bytes asked for). Will retry 4 more times",
          "refused by the server (not the bytes asked for). Will retry 1 more times",
          "refused by the server (not the bytes asked for) 5 times. Permanent failure."},
         std::nullopt,
         10,  // each attempt asks, then insists once
         5});
    cases.push_back({"a link that always answers 404 ends the file after five fresh links",
                     [](TestStore& store, const fs::path&) {
                         store.SetFault(R"({"server":"cdn_http","path":")" + kPath +
                                        R"(","fail_next":-1,"status":404})");
                     },
                     {},
                     kEventKind<ItemFailed>,
                     ErrorKind::FileGaveUp,
                     0,
                     {"refused by the server (status 404). Will retry 4 more times",
                      "refused by the server (status 404) 5 times. Permanent failure."},
                     std::nullopt,
                     5,
                     5});
    cases.push_back(
        {"a kept link that is refused later is replaced, uncounted",
         [](TestStore& store, const fs::path&) {
             // Cut short: the link is good and kept. Then it has expired.
             store.SetFault(R"({"server":"cdn_http","path":")" + kPath + R"(","cut_after":5000})");
             store.SetFault(R"({"server":"cdn_http","path":")" + kPath + R"(","status":403})");
         },
         {},
         kEventKind<ItemFinished>,
         ErrorKind::None,
         0,
         {"closed before the body's end", "its link was refused (status 403). Asking for a fresh",
          "Combine task (retry) completed."},
         1,
         3,
         2});
    cases.push_back({"disk failures three times",
                     [](TestStore&, const fs::path& downloads) {
                         // A folder where the partial file must go: it can never be opened.
                         fs::create_directories(downloads / "chunk.bin.chunk0_downloading");
                     },
                     {},
                     kEventKind<ItemFailed>,
                     ErrorKind::DiskWrite,
                     0,
                     {"aborted due to disk problem. Will retry 2 times.",
                      "aborted due to disk problem. Will retry 1 times.",
                      "aborted due to disk problem. Permanent failure."}});
    cases.push_back({"a chunk file missing at joining",
                     [](TestStore&, const fs::path&) {},
                     {},
                     kEventKind<ItemResubmit>,
                     ErrorKind::None,
                     kAllBits,
                     {"Combine task (retry) failed due missing files. Will schedule redownload."}});
    return cases;
}

class RetryFixture : public EngineFixture {
public:
    void Run(const RetryCase& c) {
        // One chunk, so that every fault on the file hits the same chunk; two for the joining
        // case, so that one chunk file can go missing while the other stays.
        const bool joining = c.finalMessage == kEventKind<ItemResubmit>;
        const FileSpec file{"chunk.bin", joining ? 2 * kChunk : kChunk};
        const DownloadInfo game = Game("retry", {file});
        if (joining) {
            // Both chunks are on disk, so the combine task is queued at once; the workers are
            // held (signed out) until a chunk file is gone.
            const std::string bytes = Content("retry", file);
            WriteFile(downloads / "chunk.bin.chunk0", bytes.substr(0, kChunk));
            WriteFile(downloads / "chunk.bin.chunk1", bytes.substr(kChunk));
            engineSignals.loggedIn->Reset();
        }
        c.arm(store, downloads);
        StartEngine(6);
        engine->RequestDownload(game);
        if (c.finalMessage == kEventKind<ItemResubmit>) {
            ASSERT_TRUE(window.PumpUntil(
                [&] { return log.CountContaining("Adding new combine task for: retry") == 1; }));
            fs::remove(downloads / "chunk.bin.chunk1");
            engineSignals.loggedIn->Set();
        }
        if (c.during) {
            c.during(*this);
        }
        ASSERT_TRUE(window.PumpUntil([&] { return window.Count(c.finalMessage) > 0; }));
        const Seen& final = *window.Last(c.finalMessage);
        if (c.finalMessage == kEventKind<ItemFinished>) {
            EXPECT_FALSE(final.partially);
        } else if (c.finalMessage == kEventKind<ItemResubmit>) {
            EXPECT_EQ(final.diskProblem, c.finalError == ErrorKind::DiskWrite);
        } else {
            EXPECT_EQ(final.error, c.finalError);
        }
        if (c.finalMessage != kEventKind<ItemFinished>) {
            EXPECT_EQ(final.fileId, c.finalFileId);
            // The failure stops the download: it is reported paused and nothing is left queued.
            ASSERT_TRUE(
                window.PumpUntil([&] { return window.Count(kEventKind<ItemPaused>) == 1; }));
            EXPECT_EQ(window.Count(kEventKind<ItemFinished>), 0u);
            EXPECT_EQ(engine->QueuedTaskCount(), 0u);
            EXPECT_EQ(engine->CurrentDownloadName(), u"");
        } else {
            ASSERT_TRUE(WaitFor(
                [&] { return log.CountContaining("Combine task (retry) completed.") == 1; }));
            EXPECT_EQ(ReadFile(downloads / "chunk.bin"), Content("retry", file));
            // Nothing that arrived was thrown away on the way.
            EXPECT_EQ(log.CountContaining("does not match"), 0u);
        }
        std::vector<std::string> expected;
        for (const std::string& warning : c.warnings) {
            expected.push_back(warning);
        }
        EXPECT_TRUE(log.InOrder(expected));
        size_t fromStart = 0;
        size_t requests = 0;
        for (const StoreRequest& request : store.Requests()) {
            if (request.path == kPath) {
                ++requests;
                fromStart += request.method == "GET" && request.range.find("bytes=0-") == 0;
            }
        }
        if (c.fromStart) {
            EXPECT_EQ(fromStart, *c.fromStart);
        }
        if (c.requests) {
            EXPECT_EQ(requests, *c.requests);
        }
        if (c.links) {
            EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), *c.links);
        }
        if (c.finalMessage == kEventKind<ItemResubmit>) {
            const size_t reset = window.IndexOf(kEventKind<CombineReset>);
            EXPECT_LT(reset, window.IndexOf(kEventKind<ItemResubmit>));
            EXPECT_EQ(window.seen[reset].name, u"retry");
            EXPECT_FALSE(fs::exists(downloads / "chunk.bin"));
            // The chunk before the missing one stays joined for the download again.
            EXPECT_EQ(ReadFile(downloads / "chunk.bin.joining"),
                      Content("retry", FileSpec{"chunk.bin", 2 * kChunk}).substr(0, kChunk));
            EXPECT_FALSE(fs::exists(downloads / "chunk.bin.chunk0"));
        }
    }
};

TEST_F(RetryFixture, FollowsTheRetryTable) {
    for (const RetryCase& c : RetryCases()) {
        SCOPED_TRACE(c.label);
        Run(c);
        engine->Shutdown();
        engine.reset();
        window.seen.clear();
        log.Clear();
        store.ClearFaults();
        store.ClearRequests();
        fs::remove_all(downloads);
        fs::create_directories(downloads);
        engineSignals.loggedIn->Set();
    }
}

TEST_F(EngineFixture, RemovalWithFilesDeletesOnlyThatGamesFiles) {
    // "shared" has no folder part in its first file: the folder the window passes is the
    // downloads folder itself. "other" sits beside it, also in setup/.
    const DownloadInfo other = Game("other", {{"other.bin", 100}, {"setup/other-setup.bin", 100}});
    const DownloadInfo shared =
        Game("shared", {{"shared.bin", 3 * kChunk}, {"setup/shared-setup.bin", 2 * kChunk}});
    const DownloadInfo own = Game("own", {{"own/game.bin", 1000}});
    WriteFile(downloads / "other.bin", std::string(100, 'o'));
    WriteFile(downloads / "setup/other-setup.bin", std::string(100, 'o'));
    WriteFile(downloads / "other.bin.chunk0", std::string(10, 'o'));
    WriteFile(downloads / "own/game.bin", Content("own", {"own/game.bin", 1000}));
    WriteFile(downloads / "shared.bin.chunk0", Content("shared", {"shared.bin", kChunk}));
    store.SetFault(
        R"({"server":"cdn_http","path_prefix":"/files/shared/","fail_next":-1,"rate":100000})");

    StartEngine(6);
    engine->RequestDownload(shared);
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ChunkProgress>) >= 3; }));
    engine->RequestRemoval(shared, true, Utf8ToWide(downloads.string()) + u"/");
    engine->RequestRemoval(own, true, Utf8ToWide((downloads / "own").string()));
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ItemReleased>) == 2; }));
    window.PumpFor(100ms);

    EXPECT_EQ(window.Count(kEventKind<ItemReleased>, u"shared"), 1u);
    EXPECT_EQ(window.Count(kEventKind<ItemPaused>, u"shared"), 1u);
    EXPECT_LT(window.IndexOf(kEventKind<ItemPaused>), window.IndexOf(kEventKind<ItemReleased>));
    EXPECT_EQ(window.Count(kEventKind<ItemPaused>), 1u) << "\"own\" was not the current download";
    EXPECT_EQ(FilesBelow(downloads),
              (std::vector<std::string>{"other.bin", "other.bin.chunk0", "setup/other-setup.bin"}));
    EXPECT_TRUE(fs::is_directory(downloads));
    EXPECT_FALSE(fs::exists(downloads / "own")) << "its emptied folder goes too";
}

TEST_F(EngineFixture, ASecondRemovalOfTheSameNameWhileTheFirstWaitsIsIgnored) {
    const DownloadInfo own = Game("own", {{"own/game.bin", 1000}});
    WriteFile(downloads / "own/game.bin", Content("own", {"own/game.bin", 1000}));
    // Both requests wait for the scheduler, which only starts with the engine.
    MakeEngine();
    engine->RequestRemoval(own, true, Utf8ToWide((downloads / "own").string()));
    engine->RequestRemoval(own, true, Utf8ToWide((downloads / "own").string()));
    StartEngine();
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ItemReleased>) == 1; }));
    window.PumpFor(100ms);
    EXPECT_EQ(window.Count(kEventKind<ItemReleased>), 1u);
    EXPECT_EQ(log.CountContaining("Deleted 1 files of own."), 1u);
    EXPECT_FALSE(fs::exists(downloads / "own"));
}

TEST_F(EngineFixture, ChunkPathsThatDoNotFitAreRefused) {
    const std::string longName(250, 'n');
    const DownloadInfo game = Game("long-name", {{longName, 1000}});
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ItemFailed>) == 1; }));
    EXPECT_EQ(window.Last(kEventKind<ItemFailed>)->error, ErrorKind::DiskWrite);
    EXPECT_EQ(window.Last(kEventKind<ItemFailed>)->fileId, 0u);
    EXPECT_EQ(log.CountContaining("Chunk file path does not fit in a file name"), 1u);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 0u);
}

TEST_F(EngineFixture, ShutdownReturnsWhileWorkersWaitOrTransfer) {
    const DownloadInfo stalled = Game("stalled", {{"s.bin", 4 * kChunk}});
    store.SetFault(
        R"({"server":"cdn_http","path_prefix":"/files/stalled/","fail_next":2,"stall_after_headers":30})");
    window.answerLinks = true;
    StartEngine(6);
    engine->RequestDownload(stalled);
    // Two workers sit in stalled transfers, the others wait for links nobody answers.
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<LinkNeeded>) >= 4; }));
    window.answerLinks = false;
    window.PumpFor(100ms);
    const auto start = std::chrono::steady_clock::now();
    engine->Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(engine->QueuedTaskCount(), 0u);
}

TEST_F(EngineFixture, ShutdownReturnsWhenNeverStartedOrTwice) {
    DownloadsManager idle(window.queue, MakeEngineSignals());
    idle.Shutdown();
    idle.Shutdown();
    StartEngine(3);
    engine->Pause();
    engine->Shutdown();
    engine->Shutdown();
    EXPECT_FALSE(engine->IsPaused());
    EXPECT_TRUE(log.InOrder({"Pausing", "Unpausing"}));
}

}  // namespace

namespace {

// Seconds from each answer of `status` to the next request for the same path.
std::vector<double> GapsAfter(const std::vector<StoreRequest>& requests, const std::string& path,
                              int status) {
    std::vector<double> gaps;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].path != path || requests[i].status != status) {
            continue;
        }
        for (size_t j = i + 1; j < requests.size(); ++j) {
            if (requests[j].path == path) {
                gaps.push_back(requests[j].time - requests[i].time);
                break;
            }
        }
    }
    return gaps;
}

}  // namespace

TEST_F(EngineFixture, ABusyServerIsAskedAgainOnlyOnceItsRetryAfterHasPassed) {
    // One chunk, so that every request after a busy answer is the chunk asked again. The second
    // row gives the wait as a date, a few seconds on.
    const FileSpec file{"busy.bin", kChunk};
    const DownloadInfo game = Game("busy", {file});
    const std::string path = "/files/busy/busy.bin";
    const char* waits[] = {R"("retry_after":1)", nullptr};
    for (const char* wait : waits) {
        std::string retryAfter = wait != nullptr ? wait : "";
        double asked = 1.0;  // seconds
        // A date is a moment, the same in every answer that gives it: after the first wait it
        // has passed. One busy answer, then.
        int busyAnswers = 2;
        if (wait == nullptr) {
            char date[64];
            const time_t when = time(nullptr) + 4;
            struct tm parts {};
            gmtime_r(&when, &parts);
            strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &parts);
            retryAfter = std::string(R"("retry_after":")") + date + "\"";
            // A date has whole seconds, and the engine's start takes some of them.
            asked = 1.0;
            busyAnswers = 1;
        }
        SCOPED_TRACE(retryAfter);
        store.ClearRequests();
        store.SetFault(R"({"server":"cdn_http","path":")" + path + R"(","status":503,)" +
                       retryAfter + R"(,"fail_next":)" + std::to_string(busyAnswers) + "}");
        StartEngine(6);
        engine->RequestDownload(game);
        ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
        const std::vector<StoreRequest> requests = store.Requests();
        const std::vector<double> gaps = GapsAfter(requests, path, 503);
        ASSERT_EQ(gaps.size(), static_cast<size_t>(busyAnswers));
        for (double gap : gaps) {
            EXPECT_GE(gap, asked);
        }
        EXPECT_EQ(log.CountContaining("the server is busy (status 503). Will retry in"),
                  static_cast<size_t>(busyAnswers));
        EXPECT_EQ(ReadFile(downloads / file.name), Content("busy", file));
        engine->Shutdown();
        engine.reset();
        window.seen.clear();
        log.Clear();
        fs::remove_all(downloads);
        fs::create_directories(downloads);
    }
}
