// The program killed at its moving points, then started again: velkdownloader-cli runs as its own
// process against the local test store and is ended with SIGKILL — by the test while a chunk is
// being written, or by itself at a named point (VELKDOWNLOADER_CRASH_AT) — and a second run must
// complete the game. After the crash no finished file exists that did not pass its check and
// every stored record reads whole; after the restart the game is complete and verified, nothing
// of its chunk files is left, the user's own file is untouched and nothing was written outside
// the program's folders. A second part checks, with strace, that what a power cut could take is
// flushed before the step that relies on it.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kChunk = 65536;
constexpr int kKilled = 128 + SIGKILL;

// A game of the given file sizes, one chunk size for all, content from seeds named after it.
std::string GameJson(const std::string& name, const std::vector<uint64_t>& sizes) {
    std::string json =
        R"({"name":")" + name + R"(","title":"Title of )" + name + R"(","owned":true,"files":[)";
    for (size_t i = 0; i < sizes.size(); ++i) {
        json += (i == 0 ? "" : ",") + std::string(R"({"id":)") + std::to_string(i) +
                R"(,"path":")" + name + "/part" + std::to_string(i) + R"(.bin","size":)" +
                std::to_string(sizes[i]) + R"(,"seed":")" + name + "/" + std::to_string(i) +
                R"(","chunk_size":)" + std::to_string(kChunk) + R"(,"timestamp":"1714557700"})";
    }
    return json + "]}";
}

// What is done to the files while the program is down, standing for what a power cut without
// flushing would leave.
enum class Damage { kNone, kFlipByteOfVerifiedChunk, kTruncateVerifiedChunk };

struct CrashCase {
    const char* label;
    // The named point to die at ("point@pass"); empty: the test kills the program while a
    // chunk's partial file grows.
    const char* point;
    std::vector<uint64_t> sizes;
    Damage damage = Damage::kNone;
};

// Named by its label in gtest's messages.
void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.label;
}

const CrashCase kCases[] = {
    {"WhileAChunkIsWritten", "", {6 * kChunk + 1000}},
    {"BetweenAChunksCheckAndItsRename", "chunk-checked@2", {6 * kChunk + 1000}},
    {"WhileJoining", "file-joining@3", {6 * kChunk + 1000}},
    {"AfterTheWholeFileCheckBeforeTheCommit", "file-checked", {6 * kChunk + 1000}},
    {"WhileChunkFilesAreDeleted", "chunks-deleting@2", {6 * kChunk + 1000}},
    {"WhileChunkFilesOfTheFirstOfTwoFilesAreDeleted",
     "chunks-deleting@2",
     {3 * kChunk, kChunk + 7}},
    {"WhileTheFirstRecordIsStored", "record-storing@1", {6 * kChunk + 1000}},
    {"WhileALaterRecordIsStored", "record-storing@3", {6 * kChunk + 1000}},
    {"WithAVerifiedChunkDamagedWhileDown",
     "chunk-checked@4",
     {6 * kChunk + 1000},
     Damage::kFlipByteOfVerifiedChunk},
    {"WithAVerifiedChunkCutShortWhileDown",
     "chunk-checked@4",
     {6 * kChunk + 1000},
     Damage::kTruncateVerifiedChunk},
};

class CrashRestartTest : public ::testing::TestWithParam<CrashCase> {
protected:
    CrashRestartTest() { store_.UseInEnvironment(); }

    fs::path Downloads() const { return home_.Root() / "downloads"; }
    fs::path WorkFolder() const { return home_.Root() / "cwd"; }

    CliProcess::Options Run(const std::string& game, std::vector<std::string> environment = {}) {
        CliProcess::Options options = DemoDownload(Downloads(), game, 2, runs_.Path());
        options.workingFolder = WorkFolder();
        options.environment = std::move(environment);
        return options;
    }

    // The finished files as they must be once the game is complete, relative to Downloads().
    TreeSnapshot Expected(const std::string& game, size_t files) const {
        TreeSnapshot expected;
        for (uint32_t id = 0; id < files; ++id) {
            const StoreGameFile file = store_.GameFile(game, id);
            expected[file.path] = TreeEntry{'f', file.size, store_.ExpectedFileMd5(game, id), {}};
        }
        return expected;
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_P(CrashRestartTest, TheRestartCompletesAndNothingIsLostOrLeftBehind) {
    const CrashCase& c = GetParam();
    FaultFigures figures(std::string("CrashRestart.") + c.label);
    const std::string game = "crash-game";
    store_.AddGame(GameJson(game, c.sizes));
    fs::create_directories(WorkFolder());
    WriteFile(Downloads() / game / "my-notes.txt", "the user's own file");
    const TreeSnapshot homeBefore = SnapshotTree(home_.Root());
    TreeSnapshot kept = Expected(game, c.sizes.size());
    const TreeSnapshot userFiles = SnapshotTree(Downloads());
    kept.insert(userFiles.begin(), userFiles.end());

    figures.Injected();
    const bool failedBefore = HasFailure();
    {
        std::vector<std::string> environment;
        if (*c.point != '\0') {
            environment.push_back(std::string("VELKDOWNLOADER_CRASH_AT=") + c.point);
        } else {
            // Slow enough that the test sees a partial file grow.
            store_.SetFault(R"({"server":"cdn","path_prefix":"/secure/)" + game +
                            R"(/","fail_next":-1,"rate":131072})");
        }
        CliProcess first(Run(game, environment));
        if (*c.point == '\0') {
            const fs::path partial = Downloads() / game / "part0.bin.chunk1_downloading";
            ASSERT_TRUE(WaitFor(
                [&] {
                    std::error_code error;
                    const auto size = fs::file_size(partial, error);
                    return !error && size > 4096 && size < kChunk;
                },
                std::chrono::seconds(30)))
                << first.Out() << first.Err();
            first.Signal(SIGKILL);
        }
        ASSERT_EQ(first.Wait(), kKilled) << first.Out() << first.Err();
    }
    store_.ClearFaults();

    // What the crash left: a finished file only if it passed its check, whole records only.
    const TreeSnapshot crashed = SnapshotTree(Downloads());
    for (const auto& [path, entry] : Expected(game, c.sizes.size())) {
        const auto found = crashed.find(path);
        if (found != crashed.end()) {
            EXPECT_EQ(found->second, entry) << path << " is there without having passed its check";
        }
    }
    for (const StoredRecord& record : StoredRecords(Registry::DefaultPath())) {
        EXPECT_TRUE(record.readable) << record.name;
        EXPECT_EQ(record.recordName, record.name);
    }

    if (c.damage != Damage::kNone) {
        // Whichever chunks the workers had verified by then: with two of them, the one on the
        // first chunk may still be behind when the other reaches the fourth check.
        static const std::regex kVerified(R"(part0\.bin\.chunk[0-9]+)");
        fs::path chunk;
        for (const auto& entry : fs::directory_iterator(Downloads() / game)) {
            if (std::regex_match(entry.path().filename().string(), kVerified)) {
                chunk = entry.path();
                break;
            }
        }
        ASSERT_FALSE(chunk.empty()) << "the crash came before any chunk was verified";
        std::string bytes = ReadFile(chunk);
        if (c.damage == Damage::kFlipByteOfVerifiedChunk) {
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
        } else {
            bytes.resize(bytes.size() / 3);
        }
        WriteFile(chunk, bytes);
    }

    CliProcess second(Run(game));
    ASSERT_EQ(second.Wait(), 0) << second.Out() << second.Err();

    // Complete and verified, the user's file as it was, not one chunk, partial or working file
    // left.
    const TreeSnapshot after = SnapshotTree(Downloads());
    figures.Lost(LostBytes(kept, after));
    std::set<std::string> files;
    for (const auto& [path, entry] : after) {
        if (entry.type != 'd') {
            files.insert(path);
        }
    }
    std::set<std::string> wanted;
    for (const auto& [path, entry] : kept) {
        if (entry.type != 'd') {
            wanted.insert(path);
        }
    }
    EXPECT_EQ(files, wanted);

    const std::vector<StoredRecord> records = StoredRecords(Registry::DefaultPath());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].readable);
    EXPECT_EQ(records[0].name, game);
    EXPECT_TRUE(records[0].completed);
    uint64_t total = 0;
    for (const uint64_t size : c.sizes) {
        total += size;
    }
    EXPECT_EQ(records[0].total, total);

    // Nothing outside the downloads folder and the program's own settings, data and runtime
    // folders; nothing in the folder it was started in.
    std::vector<std::string> allowed = home_.ProgramFolders();
    allowed.push_back("downloads");
    figures.WrittenOutside(ChangedOutside(homeBefore, SnapshotTree(home_.Root()), allowed));
    EXPECT_TRUE(fs::is_empty(WorkFolder()));
    if (!HasFailure() || failedBefore) {
        figures.Survived();
    }
}

INSTANTIATE_TEST_SUITE_P(Points, CrashRestartTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CrashCase>& param) {
                             return std::string(param.param.label);
                         });

// The system calls of one thread, in order, from strace's output for it.
std::vector<std::string> TraceLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Starts(const std::string& line, const std::string& call) {
    return line.rfind(call + "(", 0) == 0;
}

// The paths named in a traced call: "<path>" after a descriptor, or a quoted path argument.
std::vector<std::string> Paths(const std::string& line) {
    std::vector<std::string> paths;
    static const std::regex kPath(R"re(<(/[^>]*)>|"(/[^"]*)")re");
    for (std::sregex_iterator it(line.begin(), line.end(), kPath), end; it != end; ++it) {
        paths.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return paths;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class DurabilityTest : public ::testing::Test {
protected:
    DurabilityTest() { store_.UseInEnvironment(); }
    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

// A verified chunk is flushed before it takes its verified name and the name is made durable; a
// finished file is flushed and put in place before any of its chunk files goes. One flush per
// chunk or file, not one per block.
TEST_F(DurabilityTest, WhatAPowerCutCouldTakeIsFlushedBeforeTheStepThatReliesOnIt) {
    if (!fs::exists("/usr/bin/strace")) {
        GTEST_SKIP() << "strace is not installed (scripts/packages.txt lists it)";
    }
    FaultFigures figures("Durability");
    const std::string game = "durable-game";
    store_.AddGame(GameJson(game, {5 * kChunk + 10, 2 * kChunk}));
    const fs::path downloads = home_.Root() / "downloads";
    const fs::path traces = runs_.Path() / "trace";
    CliProcess::Options options;
    options.program = VELK_CLI_PROGRAM;
    options.args = {"--email",
                    TestStore::DemoEmail(),
                    "--password",
                    TestStore::DemoPassword(),
                    "--folder",
                    downloads.string(),
                    "--connections",
                    "3",
                    "velkdownloader://" + game};
    options.logFolder = runs_.Path();
    options.wrapper = {"strace", "-ff",
                       "-y",     "-qq",
                       "-o",     traces.string(),
                       "-e",     "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat"};
    // The leak check can't run under a tracer; in a sanitizer build it would fail the run.
    options.environment.push_back("LSAN_OPTIONS=detect_leaks=0");
    CliProcess run(options);
    ASSERT_EQ(run.Wait(std::chrono::seconds(120)), 0) << run.Out() << run.Err();

    // A power cut at any rename or unlink below is one fault the order must survive.
    size_t chunkRenames = 0;
    size_t fileRenames = 0;
    std::map<std::string, int> flushesOf;
    std::map<std::string, bool> committed;  // finished file -> renamed into place
    for (const auto& entry : fs::directory_iterator(runs_.Path())) {
        if (entry.path().filename().string().rfind("trace.", 0) != 0) {
            continue;
        }
        std::set<std::string> flushed;
        const std::vector<std::string> lines = TraceLines(entry.path());
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            const std::vector<std::string> paths = Paths(line);
            if (Starts(line, "fsync") || Starts(line, "fdatasync")) {
                if (!paths.empty()) {
                    flushed.insert(paths[0]);
                    ++flushesOf[paths[0]];
                }
                continue;
            }
            const bool rename =
                Starts(line, "rename") || Starts(line, "renameat") || Starts(line, "renameat2");
            if (rename && paths.size() >= 2) {
                const std::string& from = paths[paths.size() - 2];
                const std::string& to = paths.back();
                if (!EndsWith(from, "_downloading") && !EndsWith(from, ".joining")) {
                    continue;
                }
                figures.Injected();
                EXPECT_TRUE(flushed.count(from)) << from << " was renamed before it was flushed";
                // The next flush in this thread is the folder's, which makes the new name last.
                bool folderFlushed = false;
                for (size_t k = i + 1; k < lines.size() && !folderFlushed; ++k) {
                    if (Starts(lines[k], "fsync") && !Paths(lines[k]).empty()) {
                        folderFlushed = Paths(lines[k])[0] == fs::path(to).parent_path().string();
                        break;
                    }
                }
                EXPECT_TRUE(folderFlushed) << "the folder of " << to << " was not flushed";
                if (EndsWith(from, ".joining")) {
                    committed[to] = true;
                    ++fileRenames;
                } else {
                    ++chunkRenames;
                }
                if (!HasFailure()) {
                    figures.Survived();
                }
                continue;
            }
            const bool deleted = EndsWith(line, "= 0");
            if ((Starts(line, "unlink") || Starts(line, "unlinkat")) && deleted && !paths.empty()) {
                const std::string& gone = paths.back();
                const size_t at = gone.rfind(".chunk");
                if (at != std::string::npos && !EndsWith(gone, "_downloading")) {
                    figures.Injected();
                    EXPECT_TRUE(committed[gone.substr(0, at)])
                        << gone << " was deleted before its finished file was in place";
                    if (!HasFailure()) {
                        figures.Survived();
                    }
                }
            }
        }
    }
    EXPECT_EQ(chunkRenames, 8u);
    EXPECT_EQ(fileRenames, 2u);
    // Cheap: one flush per chunk file; a finished file is flushed by the worker that appended its
    // last chunk and once more (finding nothing left to write) before it takes its name.
    for (const auto& [path, count] : flushesOf) {
        if (EndsWith(path, "_downloading")) {
            EXPECT_EQ(count, 1) << path;
        } else if (EndsWith(path, ".joining")) {
            EXPECT_GE(count, 1) << path;
            EXPECT_LE(count, 2) << path;
        }
    }
    for (uint32_t id = 0; id < 2; ++id) {
        const StoreGameFile file = store_.GameFile(game, id);
        EXPECT_EQ(FileDigest(downloads / file.path), store_.ExpectedFileMd5(game, id));
    }
}

}  // namespace
