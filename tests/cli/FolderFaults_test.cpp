// A downloads folder that can't take the game, under velkdownloader-cli run as its own process
// against the local test store: a read-only file system, or a folder that vanished (a drive no
// longer mounted) between a first run that began the game and the next. Either way the run fails
// at once with a clear row text and log line, and nothing is written anywhere else: the vanished
// folder is not made again on another disk.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/TmpfsMount.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kChunk = 65536;
constexpr int kExitFailed = 1;

enum class Fault { kReadOnly, kReadOnlyAndMissing, kVanished };

struct FolderCase {
    const char* label;
    Fault fault;
    const char* error;  // on standard error
    const char* log;    // in the echoed log; empty when the run ends before the engine starts
};

// Named by its label in gtest's messages.
void PrintTo(const FolderCase& c, std::ostream* out) {
    *out << c.label;
}

const FolderCase kCases[] = {
    {"ReadOnlyFileSystem", Fault::kReadOnly, "folder-game: Error writing file to disk...",
     "the downloads folder"},
    {"ReadOnlyFileSystemWithoutTheFolder", Fault::kReadOnlyAndMissing, "cannot create folder", ""},
    {"VanishedSinceTheLastRun", Fault::kVanished, "folder-game: Error writing file to disk...",
     "does not exist"},
};

class FolderFaultsTest : public ::testing::TestWithParam<FolderCase> {
protected:
    FolderFaultsTest() { store_.UseInEnvironment(); }

    CliProcess::Options Run(const fs::path& folder) const {
        CliProcess::Options options = DemoDownload(folder, "folder-game", 1, runs_.Path());
        options.workingFolder = home_.Root() / "cwd";
        return options;
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_P(FolderFaultsTest, TheRunFailsClearlyAndWritesNothingElsewhere) {
    const FolderCase& c = GetParam();
    FaultFigures figures(std::string("FolderFaults.") + c.label);
    TmpfsMount disk(home_.Root() / "disk", 8 * 1048576);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Reason();
    }
    fs::create_directories(home_.Root() / "cwd");
    store_.AddGame(R"({"name":"folder-game","title":"Folder game","owned":true,"files":[)"
                   R"({"id":0,"path":"folder-game/setup.bin","size":)" +
                   std::to_string(8 * kChunk) +
                   R"(,"seed":"folder/0","chunk_size":65536,"timestamp":"1714557700"}]})");
    fs::path folder = disk.Path() / "downloads";
    fs::path given = folder;
    if (c.fault == Fault::kVanished) {
        // The first run begins the game in the folder, then dies: its first chunk is in the
        // working file (its chunk file goes as soon as it is).
        store_.SetFault(R"({"server":"cdn","fail_next":-1,"rate":131072})");
        CliProcess first(Run(folder));
        ASSERT_TRUE(WaitFor(
            [&] {
                std::error_code error;
                const auto size = fs::file_size(folder / "folder-game/setup.bin.joining", error);
                return !error && size >= kChunk;
            },
            std::chrono::seconds(30)))
            << first.Out() << first.Err();
        first.Signal(SIGKILL);
        first.Wait();
        store_.ClearFaults();
        fs::remove_all(folder);
        // The next run is given another folder for new games; the record keeps its own.
        given = home_.Root() / "other-downloads";
    } else {
        if (c.fault == Fault::kReadOnly) {
            fs::create_directories(folder);
        }
        given = folder;
        ASSERT_TRUE(disk.SetReadOnly(true));
    }
    const TreeSnapshot before = SnapshotTree(home_.Root());

    figures.Injected();
    CliProcess run(Run(given));
    EXPECT_EQ(run.Wait(), kExitFailed) << run.Out() << run.Err();
    EXPECT_NE(run.Err().find(c.error), std::string::npos) << run.Err();
    if (*c.log != '\0') {
        EXPECT_NE(run.Out().find(c.log), std::string::npos) << run.Out();
    }

    // Nothing of the game anywhere: not in the vanished folder made anew, not in the folder for
    // new games, not where the program was started. Only the program's own settings, log and
    // runtime files change.
    EXPECT_FALSE(fs::exists(folder / "folder-game"));
    std::vector<std::string> allowed = home_.ProgramFolders();
    if (c.fault == Fault::kVanished) {
        allowed.push_back("other-downloads");  // the folder the command line asked for
        EXPECT_TRUE(SnapshotTree(home_.Root() / "other-downloads").empty());
    }
    figures.WrittenOutside(ChangedOutside(before, SnapshotTree(home_.Root()), allowed));
    if (!HasFailure()) {
        figures.Survived();
    }
    disk.SetReadOnly(false);
}

INSTANTIATE_TEST_SUITE_P(Folders, FolderFaultsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FolderCase>& param) {
                             return std::string(param.param.label);
                         });

}  // namespace
