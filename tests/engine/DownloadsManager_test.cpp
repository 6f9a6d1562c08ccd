// The downloads manager against the test store: a whole game from request to joined files, the
// number of workers at work, resuming from what an earlier run left, unavailable files, another
// request or a lost connection stopping the work, and pausing.
#include "engine/DownloadsManager.h"

#include <gtest/gtest.h>

#include "EngineHarness.h"
#include "support/WaitFor.h"

namespace {

using namespace engine_test;
using namespace std::chrono_literals;

TEST_F(EngineFixture, DownloadsVerifiesAndJoinsAThreeFileGame) {
    const std::vector<FileSpec> files = {
        {"setup/game.bin", 3 * kChunk + 1000}, {"data.bin", 2 * kChunk}, {"docs/readme.bin", 500}};
    const DownloadInfo game = Game("three-files", files);
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    ASSERT_TRUE(
        WaitFor([&] { return log.CountContaining("Combine task (three-files) completed.") == 1; }));

    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(engine->CurrentDownloadName(), u"");
    // The finished files hold the store's bytes; no chunk file is left.
    EXPECT_EQ(FilesBelow(downloads),
              (std::vector<std::string>{"data.bin", "docs/readme.bin", "setup/game.bin"}));
    for (const FileSpec& file : files) {
        EXPECT_EQ(ReadFile(downloads / file.name), Content("three-files", file)) << file.name;
    }
    EXPECT_EQ(log.CountContaining("downloaded and verified"), 7u);
    EXPECT_EQ(log.CountContaining("Adding new download task for: "), 7u);

    // Every chunk asked for a link from one of the six enabled workers and was reported whole.
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 7u);
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> lastBytes;
    size_t firstCombine = window.IndexOf(FileProgressReset::Reason::kCombineStarting);
    for (size_t i = 0; i < window.seen.size(); ++i) {
        const Seen& s = window.seen[i];
        if (s.kind == kEventKind<LinkNeeded>) {
            EXPECT_LT(s.slot, 6u);
            EXPECT_LT(i, firstCombine);
        }
        if (s.kind == kEventKind<ChunkProgress>) {
            EXPECT_LT(i, firstCombine) << "a chunk reported after the joining began";
            lastBytes[{s.fileId, s.chunkId}] = s.bytes;
        }
    }
    ASSERT_EQ(lastBytes.size(), 7u);
    for (const auto& [key, bytes] : lastBytes) {
        EXPECT_EQ(bytes, game.files[key.first].chunks[key.second].Length());
    }
    // Joining and checking in file order, each file joined before it is checked, and the
    // download reported finished last.
    ASSERT_LT(firstCombine, window.seen.size());
    size_t at = firstCombine;
    for (uint64_t fileId = 0; fileId < 3; ++fileId) {
        const size_t joined = window.IndexOf(kEventKind<CombineProgress>, at);
        ASSERT_LT(joined, window.seen.size());
        EXPECT_EQ(window.seen[joined].fileId, fileId);
        const size_t reset = window.IndexOf(kEventKind<FileProgressReset>, joined);
        ASSERT_LT(reset, window.seen.size());
        EXPECT_EQ(window.seen[reset].fileId, fileId);
        EXPECT_EQ(window.seen[reset - 1].chunkId, kAllBits) << "joining ends before its check";
        const size_t checkEnd = window.IndexOf(kEventKind<CheckProgress>, reset);
        ASSERT_LT(checkEnd, window.seen.size());
        at = checkEnd + 1;
    }
    for (size_t i = window.IndexOf(kEventKind<ItemFinished>) + 1; i < window.seen.size(); ++i) {
        EXPECT_NE(window.seen[i].kind, kEventKind<CombineProgress>);
        EXPECT_NE(window.seen[i].kind, kEventKind<ChunkProgress>);
    }
}

// A game may hold empty files: their index lists no chunk. Each is made empty and checked
// against the digest of no bytes, beside a file with bytes, and the game completes.
TEST_F(EngineFixture, EmptyFilesAreMadeCheckedAndComplete) {
    const std::vector<FileSpec> files = {
        {"first.bin", 1000}, {"setup/empty.bin", 0}, {"last.bin", 0}};
    const DownloadInfo game = Game("empty-files", files);
    ASSERT_TRUE(game.files[1].chunks.empty());
    ASSERT_EQ(game.files[1].md5, u"d41d8cd98f00b204e9800998ecf8427e");
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(window.Count(kEventKind<FileUnavailable>), 0u);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 1u) << "no link is asked for an empty file";
    EXPECT_EQ(FilesBelow(downloads),
              (std::vector<std::string>{"first.bin", "last.bin", "setup/empty.bin"}));
    EXPECT_EQ(ReadFile(downloads / "first.bin"), Content("empty-files", files[0]));
    EXPECT_EQ(fs::file_size(downloads / "setup/empty.bin"), 0u);
    EXPECT_EQ(fs::file_size(downloads / "last.bin"), 0u);
    EXPECT_EQ(log.CountContaining("does not match"), 0u);
}

TEST_F(EngineFixture, OnlyEnabledWorkersTakeTasksAndMoreStartWithoutRestart) {
    const DownloadInfo game = Game("many-chunks", {{"big.bin", 12 * kChunk}});
    window.answerLinks = false;  // each asking worker stays busy with its task
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return window.held.size() == 6; }));
    window.PumpFor(150ms);
    std::set<uint32_t> slots;
    for (const Seen& request : window.held) {
        slots.insert(request.slot);
    }
    EXPECT_EQ(slots, (std::set<uint32_t>{0, 1, 2, 3, 4, 5}));

    engine->SetConcurrentConnections(10);
    ASSERT_TRUE(window.PumpUntil([&] { return window.held.size() == 10; }));
    window.PumpFor(150ms);
    slots.clear();
    for (const Seen& request : window.held) {
        slots.insert(request.slot);
    }
    EXPECT_EQ(slots, (std::set<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(engine->QueuedTaskCount(), 2u);

    window.answerLinks = true;
    window.AnswerHeld();
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    for (const Seen& s : window.seen) {
        if (s.kind == kEventKind<LinkNeeded>) {
            EXPECT_LT(s.slot, 10u);
        }
    }
    EXPECT_EQ(ReadFile(downloads / "big.bin"), Content("many-chunks", {"big.bin", 12 * kChunk}));
}

TEST_F(EngineFixture, ResumesFromChunkFilesOfAnEarlierRun) {
    const FileSpec file{"setup/resume.bin", 4 * kChunk};
    const DownloadInfo game = Game("resume", {file});
    const std::string bytes = Content("resume", file);
    const fs::path base = downloads / "setup/resume.bin";
    // Chunk 0 verified, chunk 1 partly and chunk 2 almost wholly transferred, chunk 3 nothing.
    WriteFile(base.string() + ".chunk0", bytes.substr(0, kChunk));
    WriteFile(base.string() + ".chunk1_downloading", bytes.substr(kChunk, 1000));
    WriteFile(base.string() + ".chunk2_downloading", bytes.substr(2 * kChunk, kChunk - 1));

    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(ReadFile(base), bytes);
    EXPECT_EQ(FilesBelow(downloads), (std::vector<std::string>{"setup/resume.bin"}));
    EXPECT_EQ(BytesServed("resume", file.name), (kChunk - 1000) + 1 + kChunk);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 3u);
    std::set<std::string> ranges;
    for (const StoreRequest& request : store.Requests()) {
        ranges.insert(request.range);
    }
    EXPECT_TRUE(ranges.count("bytes=" + std::to_string(kChunk + 1000) + "-" +
                             std::to_string(2 * kChunk - 1)));
    EXPECT_TRUE(ranges.count("bytes=" + std::to_string(3 * kChunk - 1) + "-" +
                             std::to_string(3 * kChunk - 1)));
}

// A resumed download joins as it goes, like a fresh one: the chunks verified in an earlier run
// are handed to the running join, which appends them ahead of the first chunk that arrives, so
// the combine task takes over the whole file and reads no chunk again (it reports each chunk in
// one step then; a chunk it joins itself starts with a step of 0 bytes).
TEST_F(EngineFixture, AResumedDownloadJoinsTheChunksFoundOnDiskAsItGoes) {
    const FileSpec file{"resumed.bin", 4 * kChunk};
    const DownloadInfo game = Game("resume-join", {file});
    const std::string bytes = Content("resume-join", file);
    const fs::path base = downloads / "resumed.bin";
    WriteFile(base.string() + ".chunk0", bytes.substr(0, kChunk));
    WriteFile(base.string() + ".chunk1", bytes.substr(kChunk, kChunk));

    StartEngine(1);  // one worker: the chunks arrive in order and the join is whole in time
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(ReadFile(base), bytes);
    EXPECT_EQ(BytesServed("resume-join", file.name), 2 * kChunk);
    std::vector<std::pair<uint64_t, uint64_t>> steps;
    for (const Seen& s : window.seen) {
        if (s.kind == kEventKind<CombineProgress> && s.chunkId != kAllBits) {
            steps.emplace_back(s.chunkId, s.bytes);
        }
    }
    const std::vector<std::pair<uint64_t, uint64_t>> whole = {
        {0, kChunk}, {1, kChunk}, {2, kChunk}, {3, kChunk}};
    EXPECT_EQ(steps, whole);
}

// A file that changed at the store loses its old bytes once. The record handed over again still
// asks for the restart (the window's copy learns of it through a posted message that a new
// request can overtake): the finished file that arrived since is kept and nothing is fetched.
TEST_F(EngineFixture, ARestartIsCarriedOutOnceAndLaterPlansKeepWhatArrived) {
    const FileSpec file{"changed.bin", 4 * kChunk};
    DownloadInfo game = Game("restart-once", {file});
    game.files[0].restart = true;
    game.files[0].timestamp = u"t2";
    const std::string bytes = Content("restart-once", file);
    const fs::path base = downloads / "changed.bin";
    // The old version: a finished file of the same size and a verified chunk of the same length.
    WriteFile(base, std::string(bytes.size(), 'o'));
    WriteFile(base.string() + ".chunk1", std::string(kChunk, 'o'));
    WriteFile(base.string() + ".chunk2_downloading", std::string(100, 'o'));
    const auto restartsReported = [this] {
        return std::count_if(window.seen.begin(), window.seen.end(), [](const Seen& s) {
            return s.reset == FileProgressReset::Reason::kRestartCarriedOut && s.fileId == 0 &&
                   s.name == u"restart-once";
        });
    };

    StartEngine(2);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(ReadFile(base), bytes);
    EXPECT_EQ(BytesServed("restart-once", file.name), 4 * kChunk);
    EXPECT_EQ(restartsReported(), 1);

    store.ClearRequests();
    const size_t finishedBefore = window.Count(kEventKind<ItemFinished>);
    engine->RequestDownload(game);
    ASSERT_TRUE(
        window.PumpUntil([&] { return window.Count(kEventKind<ItemFinished>) > finishedBefore; }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(ReadFile(base), bytes);
    EXPECT_EQ(BytesServed("restart-once", file.name), 0u);
    EXPECT_EQ(restartsReported(), 1);
    EXPECT_EQ(FilesBelow(downloads), (std::vector<std::string>{"changed.bin"}));
}

// Finished files of the right size are taken for done only once their bytes match the file's
// digest: an intact game is reported complete without a byte fetched, and one whose file was
// replaced by another of the same size gets that file fetched again.
TEST_F(EngineFixture, FinishedFilesCountOnlyWhenTheirDigestsMatch) {
    const std::vector<FileSpec> files = {{"setup/game.bin", 2 * kChunk + 100},
                                         {"data.bin", kChunk}};
    const DownloadInfo game = Game("on-disk", files);
    for (const FileSpec& file : files) {
        WriteFile(downloads / file.name, Content("on-disk", file));
    }
    const auto rounds = [&] { return window.Count(kEventKind<ItemFinished>, game.name); };
    const auto checkedBytes = [&](uint64_t fileId) {
        uint64_t last = 0;
        for (const Seen& s : window.seen) {
            if (s.kind == kEventKind<CheckProgress> && s.fileId == fileId) {
                last = s.bytes;
            }
        }
        return last;
    };
    StartEngine(6);

    // Intact: read whole, reported complete, nothing asked of the store.
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return rounds() == 1; }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(checkedBytes(0), files[0].size);
    EXPECT_EQ(checkedBytes(1), files[1].size);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 0u);
    EXPECT_EQ(BytesServed("on-disk", "setup/game.bin") + BytesServed("on-disk", "data.bin"), 0u);

    // Planned again in this run while the files stay the same: not read a second time.
    const size_t checksBefore = window.Count(kEventKind<CheckProgress>);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return rounds() == 2; }));
    EXPECT_EQ(window.Count(kEventKind<CheckProgress>), checksBefore);

    // data.bin replaced by another file of the same size: deleted with a warning, fetched again,
    // and only then is the game complete, with the store's bytes.
    std::string other = Content("on-disk", files[1]);
    other[other.size() / 2] ^= 0x5A;
    WriteFile(downloads / "data.next", other);
    fs::rename(downloads / "data.next", downloads / "data.bin");
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return rounds() == 3; }));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, false);
    EXPECT_EQ(log.CountContaining("does not match its digest; it is downloaded again"), 1u);
    EXPECT_EQ(Md5Hex(ReadFile(downloads / "data.bin")), game.files[1].md5);
    EXPECT_EQ(BytesServed("on-disk", "data.bin"), files[1].size);
    EXPECT_EQ(BytesServed("on-disk", "setup/game.bin"), 0u);
    EXPECT_EQ(FilesBelow(downloads), (std::vector<std::string>{"data.bin", "setup/game.bin"}));
}

TEST_F(EngineFixture, SignedOutWorkersWaitAndAnEmptyLinkIsRetried) {
    const FileSpec file{"gated.bin", 3 * kChunk};
    const DownloadInfo game = Game("gated", {file});
    engineSignals.loggedIn->Reset();
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return engine->QueuedTaskCount() == 3; }));
    window.PumpFor(150ms);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 0u);
    EXPECT_EQ(engine->QueuedTaskCount(), 3u);

    // The first two links come back empty: those tasks wait a pause and ask again.
    int emptyLinks = 2;
    window.linkFor = [&](const std::u16string& name, uint64_t fileId) {
        return emptyLinks-- > 0 ? std::u16string() : LinkOf(name, fileId);
    };
    engineSignals.loggedIn->Set();
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), 5u);
    EXPECT_EQ(log.CountContaining("got no download link. Will retry in"), 2u);
    EXPECT_EQ(BytesServed("gated", file.name), file.size);
    EXPECT_EQ(ReadFile(downloads / file.name), Content("gated", file));
}

TEST_F(EngineFixture, GameWithAnUnavailableFileFinishesWithoutJoining) {
    const DownloadInfo game =
        Game("unavailable", {{"here.bin", 2 * kChunk}, {"later.bin", kChunk, false}});
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));

    const size_t unavailable = window.IndexOf(kEventKind<FileUnavailable>);
    ASSERT_LT(unavailable, window.seen.size());
    EXPECT_EQ(window.seen[unavailable].fileId, 1u);
    EXPECT_LT(unavailable, window.IndexOf(kEventKind<ItemFinished>));
    EXPECT_EQ(window.Last(kEventKind<ItemFinished>)->partially, true);
    EXPECT_EQ(window.Count(FileProgressReset::Reason::kCombineStarting), 0u);
    EXPECT_EQ(window.Count(kEventKind<CombineProgress>), 0u);
    EXPECT_EQ(log.CountContaining("Adding new combine task"), 0u);
    // The available file stays joined, unchecked, in its working file with its record, for
    // when the other file can be had; nothing of the other was asked for.
    EXPECT_EQ(FilesBelow(downloads),
              (std::vector<std::string>{"here.bin.joining", "here.bin.joining.state"}));
    EXPECT_EQ(ReadFile(downloads / "here.bin.joining"),
              Content("unavailable", {"here.bin", 2 * kChunk}));
    EXPECT_NE(ReadFile(downloads / "here.bin.joining.state").find("\nclean 1\nchunks 2\n"),
              std::string::npos);
    EXPECT_EQ(BytesServed("unavailable", "later.bin"), 0u);
}

TEST_F(EngineFixture, AnotherRequestAbortsTheRunningDownloadAndPlansTheNewOne) {
    const DownloadInfo first = Game("first", {{"first.bin", 4 * kChunk}});
    const DownloadInfo second = Game("second", {{"second.bin", 2 * kChunk}});
    window.answerLinks = false;
    StartEngine(6);
    engine->RequestDownload(first);
    ASSERT_TRUE(window.PumpUntil([&] { return window.held.size() == 4; }));
    // The same download again, not forced, changes nothing.
    engine->RequestDownload(first);
    window.PumpFor(100ms);
    EXPECT_EQ(window.Count(kEventKind<ItemPaused>), 0u);
    EXPECT_EQ(engine->CurrentDownloadName(), u"first");

    window.held.clear();  // those requests go unanswered: the workers are told to stop
    window.answerLinks = true;
    engine->RequestDownload(second);
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(second.name); }));
    EXPECT_EQ(window.Count(kEventKind<ItemPaused>, u"first"), 1u);
    EXPECT_LT(window.IndexOf(kEventKind<ItemPaused>), window.IndexOf(kEventKind<ItemFinished>));
    EXPECT_EQ(window.Count(kEventKind<ItemFinished>), 1u);
    EXPECT_EQ(ReadFile(downloads / "second.bin"), Content("second", {"second.bin", 2 * kChunk}));
    EXPECT_FALSE(fs::exists(downloads / "first.bin"));
    EXPECT_EQ(BytesServed("first", "first.bin"), 0u);
}

TEST_F(EngineFixture, ALinkThatAnswersABrokenOffTaskIsDropped) {
    const DownloadInfo first = Game("late-first", {{"first.bin", 3 * kChunk}});
    const DownloadInfo second = Game("late-second", {{"second.bin", 3 * kChunk}});
    window.answerLinks = false;
    StartEngine(3);
    engine->RequestDownload(first);
    ASSERT_TRUE(window.PumpUntil([&] { return window.held.size() == 3; }));
    const std::vector<Seen> stale = window.held;
    window.held.clear();
    // The same workers now wait for links of the other game; the old answers come late.
    engine->RequestDownload(second);
    ASSERT_TRUE(window.PumpUntil([&] { return window.held.size() == 3; }));
    for (const Seen& request : stale) {
        engine->DeliverLink(request.slot, window.linkFor(request.name, request.fileId),
                            request.passThrough);
    }
    EXPECT_TRUE(WaitFor([&] { return log.CountContaining("arrived late and was dropped") == 3; }));
    window.PumpFor(200ms);
    EXPECT_EQ(BytesServed("late-first", "first.bin"), 0u);
    EXPECT_EQ(log.CountContaining("had invalid md5"), 0u);

    window.answerLinks = true;
    window.AnswerHeld();
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(second.name); }));
    EXPECT_EQ(ReadFile(downloads / "second.bin"),
              Content("late-second", {"second.bin", 3 * kChunk}));
    EXPECT_EQ(log.CountContaining("had invalid md5"), 0u);
}

TEST_F(EngineFixture, LosingTheConnectionStopsTheWorkers) {
    const DownloadInfo game = Game("offline", {{"slow.bin", 6 * kChunk}});
    store.SetFault(
        R"({"server":"cdn_http","path_prefix":"/files/offline/","fail_next":-1,"rate":60000})");
    StartEngine(6);
    engine->RequestDownload(game);
    // The workers publish their speeds while they transfer.
    ASSERT_TRUE(window.PumpUntil([&] {
        const auto speeds = engine->SpeedSnapshot();
        return std::any_of(speeds.begin(), speeds.end(), [](uint32_t s) { return s > 0; });
    }));
    for (int slot = 6; slot < DownloadsManager::kWorkerCount; ++slot) {
        EXPECT_EQ(engine->WorkerSpeed(slot), 0u);
    }

    online = false;
    engineSignals.connectivity.problemReported->Set();
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ItemPaused>) == 1; }));
    EXPECT_EQ(window.Last(kEventKind<ConnectionStatus>)->online, false);
    EXPECT_EQ(engine->CurrentDownloadName(), u"");
    EXPECT_EQ(engine->QueuedTaskCount(), 0u);
    const size_t links = window.Count(kEventKind<LinkNeeded>);
    window.PumpFor(200ms);
    EXPECT_EQ(window.Count(kEventKind<LinkNeeded>), links);
    EXPECT_FALSE(Finished(game.name));
    EXPECT_EQ(engine->SpeedSnapshot(), (std::array<uint32_t, DownloadsManager::kWorkerCount>{}));
}

TEST_F(EngineFixture, PauseHoldsWorkersMidChunkAndResumeContinues) {
    const FileSpec file{"paused.bin", 2 * kChunk};
    const DownloadInfo game = Game("pause", {file});
    store.SetFault(
        R"({"server":"cdn_http","path_prefix":"/files/pause/","fail_next":-1,"rate":100000})");
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ChunkProgress>) > 0; }));

    engine->Pause();
    EXPECT_TRUE(engine->IsPaused());
    const auto sizes = [&] {
        std::vector<uint64_t> result;
        for (int chunk = 0; chunk < 2; ++chunk) {
            const fs::path partial =
                downloads / ("paused.bin.chunk" + std::to_string(chunk) + "_downloading");
            result.push_back(fs::exists(partial) ? fs::file_size(partial) : 0);
        }
        return result;
    };
    // A worker first finishes the block it was reading and writes what it holds; on a busy
    // machine that may take a while, so the files are watched until they stay still.
    std::vector<uint64_t> before = sizes();
    for (int look = 0; look < 20; ++look) {
        window.PumpFor(250ms);
        const std::vector<uint64_t> now = sizes();
        if (now == before) {
            break;
        }
        before = now;
    }
    EXPECT_GT(before[0] + before[1], 0u);
    EXPECT_LT(before[0] + before[1], 2 * kChunk);
    window.PumpFor(400ms);
    EXPECT_EQ(sizes(), before) << "a paused worker made progress";
    EXPECT_FALSE(Finished(game.name));

    engine->Resume();
    ASSERT_TRUE(window.PumpUntil([&] { return Finished(game.name); }));
    EXPECT_EQ(ReadFile(downloads / "paused.bin"), Content("pause", file));
    EXPECT_TRUE(log.InOrder({"Pausing", "Unpausing"}));
    EXPECT_EQ(BytesServed("pause", file.name), 2 * kChunk) << "resumed, not fetched again";
}

TEST_F(EngineFixture, AbortWhilePausedLeavesTheEnginePaused) {
    const DownloadInfo game = Game("abort-paused", {{"a.bin", 3 * kChunk}});
    store.SetFault(
        R"({"server":"cdn_http","path_prefix":"/files/abort-paused/","fail_next":-1,"rate":100000})");
    StartEngine(6);
    engine->RequestDownload(game);
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ChunkProgress>) > 0; }));
    engine->Pause();

    // Removing the current download makes the scheduler abort the workers' tasks.
    engine->RequestRemoval(game, false, Utf8ToWide(downloads.string()));
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(kEventKind<ItemReleased>) == 1; }));
    EXPECT_EQ(window.Count(kEventKind<ItemPaused>, game.name), 1u);
    EXPECT_LT(window.IndexOf(kEventKind<ItemPaused>), window.IndexOf(kEventKind<ItemReleased>));
    EXPECT_TRUE(log.InOrder({"Pausing", "Aborting worker tasks", "Unpausing", "Pausing"}));
    EXPECT_TRUE(engine->IsPaused());
    EXPECT_EQ(engine->QueuedTaskCount(), 0u);
    // Without delete files, what was fetched stays.
    EXPECT_FALSE(FilesBelow(downloads).empty());

    // Shutting down while paused still ends every thread.
    engine->Shutdown();
    EXPECT_FALSE(engine->IsPaused());
}

}  // namespace
