// A full disk under velkdownloader-cli, run as its own process against the local test store: the
// downloads folder is a small tmpfs that the test fills up while a chunk is written or while the
// last chunk arrives (its bytes must go into the working file while its chunk file still holds
// them), or one that is too small from the start. The game then fails with the row's "Error
// writing file to disk..." (or, before it starts, with how much more room it needs), no finished
// file is kept, a working file left behind holds only whole checked chunks (as many as the
// record beside it names, and right), the records stored before stay as they were, and removing
// the game's files still works on the full disk. A full settings disk still lets the program keep
// its records.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/DownloadInfo.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "engine/RemovalFiles.h"
#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/JoinState.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/TmpfsMount.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kChunk = 65536;
constexpr uint64_t kFileSize = 16 * kChunk;  // 1 MiB
constexpr int kExitFailed = 1;

std::string GameJson(const std::string& name, uint64_t size) {
    return R"({"name":")" + name + R"(","title":"Title of )" + name +
           R"(","owned":true,"files":[{"id":0,"path":")" + name + R"(/setup.bin","size":)" +
           std::to_string(size) + R"(,"seed":")" + name + R"(/0","chunk_size":)" +
           std::to_string(kChunk) + R"(,"timestamp":"1714557700"}]})";
}

enum class When { kBeforeStart, kDuringAChunkWrite, kBeforeJoining };

struct DiskFullCase {
    const char* label;
    When when;
    uint64_t diskBytes;
    const char* status;  // the row's text the run ends with
};

// Named by its label in gtest's messages.
void PrintTo(const DiskFullCase& c, std::ostream* out) {
    *out << c.label;
}

const DiskFullCase kCases[] = {
    {"DuringAChunkWrite", When::kDuringAChunkWrite, 4 * kFileSize, "Error writing file to disk..."},
    {"DuringJoining", When::kBeforeJoining, 4 * kFileSize, "Error writing file to disk..."},
    // The file and room for a chunk beyond it (one connection) do not fit.
    {"TooSmallBeforeTheStart", When::kBeforeStart, kFileSize + kChunk / 2,
     "Not enough free disk space: 1 MB more needed"},
};

class DiskFullTest : public ::testing::TestWithParam<DiskFullCase> {
protected:
    DiskFullTest() { store_.UseInEnvironment(); }

    CliProcess::Options Run(const fs::path& folder, const std::string& game) const {
        return DemoDownload(folder, game, 1, runs_.Path());
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_P(DiskFullTest, TheGameFailsClearlyAndKeepsNothingHalfDone) {
    const DiskFullCase& c = GetParam();
    FaultFigures figures(std::string("DiskFull.") + c.label);
    TmpfsMount disk(home_.Root() / "disk", c.diskBytes);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Reason();
    }
    const fs::path downloads = disk.Path() / "downloads";

    // A game completed before, whose file and record must come through untouched.
    store_.AddGame(GameJson("earlier-game", 3000));
    {
        CliProcess earlier(Run(home_.Root() / "elsewhere", "earlier-game"));
        ASSERT_EQ(earlier.Wait(), 0) << earlier.Out() << earlier.Err();
    }
    const std::vector<StoredRecord> recordsBefore = StoredRecords(Registry::DefaultPath());
    ASSERT_EQ(recordsBefore.size(), 1u);
    WriteFile(downloads / "full-game" / "my-notes.txt", "the user's own file");
    const TreeSnapshot kept = SnapshotTree(downloads);

    const std::string game = "full-game";
    store_.AddGame(GameJson(game, kFileSize));
    if (c.when != When::kBeforeStart) {
        store_.SetFault(R"({"server":"cdn","path_prefix":"/secure/)" + game +
                        R"(/","fail_next":-1,"rate":262144})");
    }
    figures.Injected();
    const bool failedBefore = HasFailure();
    CliProcess run(Run(downloads, game));
    const fs::path folder = downloads / game;
    if (c.when == When::kDuringAChunkWrite) {
        ASSERT_TRUE(WaitFor([&] { return fs::exists(folder / "setup.bin.chunk1_downloading"); },
                            std::chrono::seconds(30)))
            << run.Out() << run.Err();
        ASSERT_TRUE(disk.FillLeaving(0));
    } else if (c.when == When::kBeforeJoining) {
        // The last chunk is on its way: room for it, not for the joined copy.
        ASSERT_TRUE(WaitFor([&] { return fs::exists(folder / "setup.bin.chunk15_downloading"); },
                            std::chrono::seconds(30)))
            << run.Out() << run.Err();
        ASSERT_TRUE(disk.FillLeaving(kChunk + 16384));
    }
    EXPECT_EQ(run.Wait(std::chrono::seconds(90)), kExitFailed) << run.Out() << run.Err();
    EXPECT_NE(run.Err().find(game + ": " + c.status), std::string::npos) << run.Err();
    if (c.when == When::kBeforeStart) {
        EXPECT_NE(run.Out().find("Not enough free disk space for full-game"), std::string::npos)
            << run.Out();
    }

    // No finished file; a working file only with whole chunks that are the game's, from the
    // first, and a whole record beside it naming no more of them (on a disk too full for the
    // record to be written anew it stays unclean, and a restart checks the rest by digest); the
    // user's file and the earlier game as they were.
    EXPECT_FALSE(fs::exists(folder / "setup.bin"));
    const fs::path working = folder / "setup.bin.joining";
    if (fs::exists(working)) {
        const std::optional<JoinState> state = ReadJoinState(working);
        ASSERT_TRUE(state) << "no whole record beside " << working;
        const uint64_t size = fs::file_size(working);
        EXPECT_EQ(size % kChunk, 0u) << working << " ends inside a chunk";
        EXPECT_EQ(state->bytes, state->chunks * kChunk);
        EXPECT_LE(state->bytes, size);
        EXPECT_TRUE(ReadFile(working) == store_.ExpectedFileContent(game, 0, 0, size))
            << working << " holds bytes that are not the game's";
    }
    figures.Lost(LostBytes(kept, SnapshotTree(downloads)));
    const std::vector<StoredRecord> recordsAfter = StoredRecords(Registry::DefaultPath());
    ASSERT_FALSE(recordsAfter.empty());
    EXPECT_EQ(recordsAfter[0], recordsBefore[0]);
    EXPECT_EQ(FileDigest(home_.Root() / "elsewhere/earlier-game/setup.bin"),
              store_.ExpectedFileMd5("earlier-game", 0));

    // Removal with the disk still full: the game's own files go, the user's file stays.
    std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
    std::optional<RegistryKey> key = OpenDownloadsKey(registry);
    ASSERT_TRUE(key);
    std::unique_ptr<DownloadInfo> record;
    for (auto& stored : LoadDownloadRecords(*key)) {
        if (stored->name == Utf8ToWide(game)) {
            record = std::move(stored);
        }
    }
    ASSERT_TRUE(record);
    DeleteDownloadFiles(*record);
    std::vector<std::string> left;
    for (const auto& [path, entry] : SnapshotTree(downloads)) {
        left.push_back(path);
    }
    EXPECT_EQ(left, (std::vector<std::string>{"full-game", "full-game/my-notes.txt"}));
    figures.Lost(LostBytes(kept, SnapshotTree(downloads)));
    if (!HasFailure() || failedBefore) {
        figures.Survived();
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, DiskFullTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DiskFullCase>& param) {
                             return std::string(param.param.label);
                         });

}  // namespace

// The settings store's disk is full: the program still starts and downloads, the log says that
// nothing is kept this time, and the records stored before stay as they were, readable.
TEST(DiskFullSettingsTest, TheProgramRunsAndEarlierRecordsStayIntact) {
    FaultFigures figures("DiskFull.DuringASettingsWrite");
    TempHome home;
    TempDir runs;
    TmpfsMount settingsDisk(home.ConfigHome(), 2 * 1048576);
    if (!settingsDisk.Mounted()) {
        GTEST_SKIP() << settingsDisk.Reason();
    }
    TestStore store;
    store.UseInEnvironment();
    const auto run = [&](const std::string& game) {
        return DemoDownload(home.Root() / "downloads", game, 0, runs.Path());
    };
    store.AddGame(GameJson("earlier-game", 3000));
    {
        CliProcess earlier(run("earlier-game"));
        ASSERT_EQ(earlier.Wait(), 0) << earlier.Out() << earlier.Err();
    }
    const std::vector<StoredRecord> before = StoredRecords(Registry::DefaultPath());
    ASSERT_EQ(before.size(), 1u);
    ASSERT_TRUE(before[0].completed);

    figures.Injected();
    ASSERT_TRUE(settingsDisk.FillLeaving(0));
    store.AddGame(GameJson("full-game", 4 * kChunk));
    CliProcess second(run("full-game"));
    EXPECT_EQ(second.Wait(), 0) << second.Out() << second.Err();
    // The store's reserve gives it the room for its log: the program opens its settings and
    // keeps the new game's record too.
    const std::string out = second.Out();
    EXPECT_EQ(out.find("Cannot open the settings store"), std::string::npos) << out;
    EXPECT_EQ(FileDigest(home.Root() / "downloads/full-game/setup.bin"),
              store.ExpectedFileMd5("full-game", 0));

    // The earlier record exactly as it was, the new one whole and complete.
    ASSERT_TRUE(fs::remove(settingsDisk.Path() / ".filler"));
    const std::vector<StoredRecord> after = StoredRecords(Registry::DefaultPath());
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    if (!(after[0] == before[0])) {
        figures.Lost(1);
    }
    EXPECT_TRUE(after[1].readable);
    EXPECT_EQ(after[1].name, "full-game");
    EXPECT_TRUE(after[1].completed);
    if (!HasFailure()) {
        figures.Survived();
    }
}
