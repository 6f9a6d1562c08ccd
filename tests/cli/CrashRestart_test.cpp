// The program killed at its moving points, then started again: velkdownloader-cli runs as its own
// process against the local test store and is ended with SIGKILL — by the test while a chunk is
// being written, or by itself at a named point (VELKDOWNLOADER_CRASH_AT) — and a second run must
// complete the game. A game's bytes are written to the disk once: a chunk file goes as soon as its
// bytes are in its file's working file (<file>.joining), nothing is flushed per chunk, and the
// working file is flushed at intervals, after each of which the record beside it
// (<file>.joining.state) says how many of its bytes are on the disk for certain. So while the
// program is down the test may also do what a power cut would: lose everything of the working
// file past its record's bytes and every chunk file.
//
// After the crash no finished file exists that did not pass its check and a record beside a
// working file reads whole. After the restart the game is complete and verified, nothing of its
// chunk or working files is left, the user's own file is untouched, nothing was written outside
// the program's folders, and the second run fetched again no more than what the crash and the
// damage took: the bytes of whole chunks still right on the disk are not downloaded twice.
//
// A second part checks, with strace, that what a power cut could take is flushed before the step
// that relies on it, and that nothing else is.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
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
#include "support/JoinState.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kChunk = 65536;
constexpr int kKilled = 128 + SIGKILL;
// Flushes within a small game: every MiB appended (16 chunks here) instead of every 256 MiB.
const std::string kFlushEveryMiB = "VELKDOWNLOADER_JOIN_FLUSH_MIB=1";

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

// What is done to the files while the program is down.
enum class Damage {
    kNone,
    // A byte of a chunk file that waits ahead of the join flipped, or the file cut to a third.
    kFlipByteOfAChunkFile,
    kCutAChunkFileShort,
    // A byte flipped in the working file halfway through what lies past its record's bytes.
    kFlipByteOfTheWorkingFilePastItsRecord,
    // A power cut: every working file cut back to its record's bytes, every chunk file and
    // partial chunk file emptied (what a file system leaves of data it never wrote out).
    kPowerCutTruncating,
    // A power cut under delayed allocation: lengths kept, but zeros in every working file past
    // its record's bytes and in every chunk file and partial chunk file.
    kPowerCutZeroing,
};

struct CrashCase {
    const char* label;
    // The named point to die at ("point@pass"); empty: the test kills the program while a
    // chunk's partial file grows.
    const char* point;
    std::vector<uint64_t> sizes;
    Damage damage = Damage::kNone;
    // Working files flushed every MiB, so that a game of a few MiB has interval flushes.
    bool flushEveryMiB = false;
    // The first request for part0.bin is held back, so that the chunks after it pass their
    // checks and wait in their chunk files ahead of the join.
    bool holdFirstRequest = false;
};

// Named by its label in gtest's messages.
void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.label;
}

const std::vector<uint64_t> kSixChunks = {6 * kChunk + 1000};
const std::vector<uint64_t> kTwoFiles = {3 * kChunk, kChunk + 7};
// 4 MiB: two interval flushes at 1 MiB at least, however late each comes (a flush is not begun
// while another runs, so one may come well past its MiB).
const std::vector<uint64_t> kLargeFile = {64 * kChunk};

// Every named point a run reaches. "chunks-deleting" (a finished file's chunk files being
// deleted) is not among them: chunk files are gone by the time their file is finished, and those
// an older run left beside a finished file are removed when the download is planned.
const CrashCase kCases[] = {
    {.label = "WhileAChunkIsWritten", .point = "", .sizes = kSixChunks},
    {.label = "BetweenAChunksCheckAndItsRename", .point = "chunk-checked@2", .sizes = kSixChunks},
    {.label = "WhileJoining", .point = "file-joining@3", .sizes = kSixChunks},
    {.label = "AfterAChunkIsJoinedBeforeItsFileGoes",
     .point = "chunk-joined@3",
     .sizes = kSixChunks},
    {.label = "AfterAChunkIsJoinedInATwoFileGame", .point = "chunk-joined@2", .sizes = kTwoFiles},
    {.label = "AfterAnIntervalFlushBeforeItsRecord",
     .point = "join-flushed@1",
     .sizes = kLargeFile,
     .flushEveryMiB = true},
    {.label = "AfterTheSecondIntervalFlushBeforeItsRecord",
     .point = "join-flushed@2",
     .sizes = kLargeFile,
     .flushEveryMiB = true},
    {.label = "AfterTheWholeFileCheckBeforeTheCommit",
     .point = "file-checked",
     .sizes = kSixChunks},
    {.label = "WhileTheFirstRecordIsStored", .point = "record-storing@1", .sizes = kSixChunks},
    {.label = "WhileALaterRecordIsStored", .point = "record-storing@3", .sizes = kSixChunks},
    {.label = "WithAChunkFileAheadOfTheJoinDamagedWhileDown",
     .point = "chunk-checked@4",
     .sizes = kSixChunks,
     .damage = Damage::kFlipByteOfAChunkFile,
     .holdFirstRequest = true},
    {.label = "WithAChunkFileAheadOfTheJoinCutShortWhileDown",
     .point = "chunk-checked@4",
     .sizes = kSixChunks,
     .damage = Damage::kCutAChunkFileShort,
     .holdFirstRequest = true},
    {.label = "WithTheWorkingFileDamagedPastItsRecord",
     .point = "chunk-joined@2",
     .sizes = kSixChunks,
     .damage = Damage::kFlipByteOfTheWorkingFilePastItsRecord},
    {.label = "WithTheWorkingFileDamagedPastAFlushedRecord",
     .point = "join-flushed@2",
     .sizes = kLargeFile,
     .damage = Damage::kFlipByteOfTheWorkingFilePastItsRecord,
     .flushEveryMiB = true},
    {.label = "PowerCutAfterAChunkIsJoined",
     .point = "chunk-joined@2",
     .sizes = kSixChunks,
     .damage = Damage::kPowerCutTruncating},
    {.label = "PowerCutAfterAnIntervalFlushBeforeItsRecord",
     .point = "join-flushed@2",
     .sizes = kLargeFile,
     .damage = Damage::kPowerCutTruncating,
     .flushEveryMiB = true},
    {.label = "PowerCutLeavingZerosPastAFlushedRecord",
     .point = "join-flushed@2",
     .sizes = kLargeFile,
     .damage = Damage::kPowerCutZeroing,
     .flushEveryMiB = true},
    {.label = "PowerCutLeavingZerosInChunkFilesAheadOfTheJoin",
     .point = "chunk-checked@5",
     .sizes = kSixChunks,
     .damage = Damage::kPowerCutZeroing,
     .holdFirstRequest = true},
    {.label = "PowerCutInTwoFilesLeavingZeros",
     .point = "chunk-joined@2",
     .sizes = kTwoFiles,
     .damage = Damage::kPowerCutZeroing},
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Writes `bytes` over the file at `offset`, keeping the rest of it and its length.
void Overwrite(const fs::path& path, uint64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file) << path;
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

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

    // The bytes of the file's chunk `chunk` as the store serves them.
    std::string ChunkContent(const std::string& game, uint32_t id, uint32_t chunk) const {
        return store_.ExpectedFileContent(game, id, uint64_t{chunk} * kChunk, kChunk);
    }

    // Bytes of the game that are right on the disk now, counted as a restart can use them: a
    // finished file that is whole; else the whole chunks from the first that the working file
    // holds rightly, then each further chunk whose chunk file is whole and right.
    uint64_t BytesStillRight(const std::string& game, size_t files) const {
        uint64_t right = 0;
        for (uint32_t id = 0; id < files; ++id) {
            const StoreGameFile file = store_.GameFile(game, id);
            const fs::path finished = Downloads() / file.path;
            if (fs::exists(finished)) {
                right += FileDigest(finished) == store_.ExpectedFileMd5(game, id) ? file.size : 0;
                continue;
            }
            const auto chunks = static_cast<uint32_t>((file.size + kChunk - 1) / kChunk);
            const std::string working = ReadFile(finished.string() + ".joining");
            uint32_t chunk = 0;
            for (; chunk < chunks; ++chunk) {
                const std::string expected = ChunkContent(game, id, chunk);
                if (working.size() < chunk * kChunk + expected.size() ||
                    working.compare(chunk * kChunk, expected.size(), expected) != 0) {
                    break;
                }
                right += expected.size();
            }
            for (; chunk < chunks; ++chunk) {
                const std::string expected = ChunkContent(game, id, chunk);
                const fs::path chunkFile = finished.string() + ".chunk" + std::to_string(chunk);
                right += ReadFile(chunkFile) == expected ? expected.size() : 0;
            }
        }
        return right;
    }

    // Body bytes the store sent of the game's files to requests that arrived at or after
    // `since` (the store's clock); the chunk indexes do not count.
    uint64_t ServedSince(const std::string& game, size_t files, double since) const {
        std::set<std::string> paths;
        for (uint32_t id = 0; id < files; ++id) {
            paths.insert("/secure/" + game + "/" + store_.GameFile(game, id).path);
        }
        uint64_t served = 0;
        for (const StoreRequest& request : store_.Requests()) {
            if (request.time >= since && request.server == "cdn" && paths.count(request.path)) {
                served += request.bytesSent;
            }
        }
        return served;
    }

    void Damage(const CrashCase& c, const std::string& game);

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

void CrashRestartTest::Damage(const CrashCase& c, const std::string& game) {
    static const std::regex kChunkFile(R"(.*\.chunk[0-9]+)");
    static const std::regex kPartialFile(R"(.*\.chunk[0-9]+_downloading)");
    const fs::path folder = Downloads() / game;
    std::vector<fs::path> chunkFiles;
    std::vector<fs::path> partialFiles;
    std::vector<fs::path> workingFiles;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::regex_match(name, kChunkFile)) {
            chunkFiles.push_back(entry.path());
        } else if (std::regex_match(name, kPartialFile)) {
            partialFiles.push_back(entry.path());
        } else if (EndsWith(name, ".joining")) {
            workingFiles.push_back(entry.path());
        }
    }
    std::sort(chunkFiles.begin(), chunkFiles.end());

    switch (c.damage) {
        case Damage::kNone:
            return;
        case Damage::kFlipByteOfAChunkFile:
        case Damage::kCutAChunkFileShort: {
            std::string seen;
            for (const auto& entry : fs::directory_iterator(folder)) {
                seen += entry.path().filename().string() + "\n";
            }
            ASSERT_FALSE(chunkFiles.empty())
                << "no chunk file waited ahead of the join; the folder held:\n"
                << seen;
            std::string bytes = ReadFile(chunkFiles.front());
            if (c.damage == Damage::kFlipByteOfAChunkFile) {
                bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
            } else {
                bytes.resize(bytes.size() / 3);
            }
            WriteFile(chunkFiles.front(), bytes);
            return;
        }
        case Damage::kFlipByteOfTheWorkingFilePastItsRecord: {
            ASSERT_EQ(workingFiles.size(), 1u);
            const std::optional<JoinState> state = ReadJoinState(workingFiles.front());
            ASSERT_TRUE(state) << workingFiles.front();
            const uint64_t size = fs::file_size(workingFiles.front());
            ASSERT_GT(size, state->bytes) << "nothing past the record to damage";
            const uint64_t at = state->bytes + (size - state->bytes) / 2;
            const std::string bytes = ReadFile(workingFiles.front());
            Overwrite(workingFiles.front(), at,
                      std::string(1, static_cast<char>(bytes[at] ^ 0x20)));
            return;
        }
        case Damage::kPowerCutTruncating:
        case Damage::kPowerCutZeroing: {
            const bool zeros = c.damage == Damage::kPowerCutZeroing;
            ASSERT_FALSE(workingFiles.empty() && chunkFiles.empty() && partialFiles.empty())
                << "the crash left nothing a power cut could take";
            for (const fs::path& working : workingFiles) {
                const std::optional<JoinState> state = ReadJoinState(working);
                ASSERT_TRUE(state) << working << " has no whole record beside it";
                const uint64_t size = fs::file_size(working);
                ASSERT_GE(size, state->bytes) << working;
                if (zeros) {
                    Overwrite(working, state->bytes, std::string(size - state->bytes, '\0'));
                } else {
                    fs::resize_file(working, state->bytes);
                }
            }
            chunkFiles.insert(chunkFiles.end(), partialFiles.begin(), partialFiles.end());
            for (const fs::path& chunk : chunkFiles) {
                if (zeros) {
                    Overwrite(chunk, 0, std::string(fs::file_size(chunk), '\0'));
                } else {
                    fs::resize_file(chunk, 0);
                }
            }
            return;
        }
    }
}

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
        if (c.flushEveryMiB) {
            environment.push_back(kFlushEveryMiB);
        }
        if (*c.point != '\0') {
            environment.push_back(std::string("VELKDOWNLOADER_CRASH_AT=") + c.point);
        } else {
            // Slow enough that the test sees a partial file grow.
            store_.SetFault(R"({"server":"cdn","path_prefix":"/secure/)" + game +
                            R"(/","fail_next":-1,"rate":131072})");
        }
        if (c.holdFirstRequest) {
            store_.SetFault(R"({"server":"cdn","path":"/secure/)" + game + "/" +
                            store_.GameFile(game, 0).path + R"(","stall_seconds":30})");
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

    // What the crash left: a finished file only if it passed its check, whole records only, and
    // a working file at least as long as its record says.
    const TreeSnapshot crashed = SnapshotTree(Downloads());
    for (const auto& [path, entry] : Expected(game, c.sizes.size())) {
        const auto found = crashed.find(path);
        if (found != crashed.end()) {
            EXPECT_EQ(found->second, entry) << path << " is there without having passed its check";
        }
        const fs::path working = Downloads() / (path + ".joining");
        if (fs::exists(working.string() + ".state")) {
            const std::optional<JoinState> state = ReadJoinState(working);
            ASSERT_TRUE(state) << working << ".state is not one whole record";
            EXPECT_LE(state->bytes, fs::exists(working) ? fs::file_size(working) : 0) << working;
        }
    }
    for (const StoredRecord& record : StoredRecords(Registry::DefaultPath())) {
        EXPECT_TRUE(record.readable) << record.name;
        EXPECT_EQ(record.recordName, record.name);
    }

    Damage(c, game);
    if (HasFailure()) {
        return;
    }
    uint64_t allowance = 0;
    if (c.damage == Damage::kPowerCutZeroing) {
        // A zeroed partial file is resumed where it ends and found out by its chunk's check, so
        // its chunk comes again whole once more.
        for (const auto& entry : fs::directory_iterator(Downloads() / game)) {
            if (EndsWith(entry.path().string(), "_downloading")) {
                allowance += kChunk;
            }
        }
    }
    uint64_t total = 0;
    for (const uint64_t size : c.sizes) {
        total += size;
    }
    const uint64_t right = BytesStillRight(game, c.sizes.size());

    store_.ClearRequests();
    CliProcess second(
        Run(game, c.flushEveryMiB ? std::vector{kFlushEveryMiB} : std::vector<std::string>{}));
    ASSERT_EQ(second.Wait(), 0) << second.Out() << second.Err();

    // Only what the crash and the damage took came again. A request of the first run that the
    // store answers late (the held one) arrived before any request of the second.
    double since = 1e300;
    for (const StoreRequest& request : store_.Requests()) {
        if (request.server == "api") {
            since = std::min(since, request.time);
        }
    }
    const uint64_t fetched = ServedSince(game, c.sizes.size(), since);
    std::cout << "[refetch] " << c.label << ": " << right << " of " << total
              << " bytes right on the disk, " << fetched << " fetched again\n";
    EXPECT_LE(fetched, total - right + allowance) << second.Out();

    // Complete and verified, the user's file as it was, not one chunk, partial or working file
    // or record left.
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

// One system call from `strace -f`'s output, put together from its "<unfinished ...>" and
// "<... resumed>" lines when another thread's call came between: where it began and ended in the
// trace (line numbers), so that calls of different threads can be put in order.
struct TracedCall {
    int pid = 0;
    std::string name;
    std::string args;  // everything between the parentheses, as strace printed it
    long long result = -1;
    size_t begin = 0;
    size_t end = 0;
};

std::vector<TracedCall> TracedCalls(const fs::path& file) {
    static const std::regex kWhole(R"re(^(\d+) +(\w+)\((.*)\) += (-?\d+).*$)re");
    static const std::regex kUnfinished(R"re(^(\d+) +(\w+)\((.*) <unfinished \.\.\.>$)re");
    static const std::regex kResumed(R"re(^(\d+) +<\.\.\. (\w+) resumed>(.*)\) += (-?\d+).*$)re");
    std::vector<TracedCall> calls;
    std::map<int, TracedCall> pending;
    std::ifstream in(file);
    size_t number = 0;
    for (std::string line; std::getline(in, line); ++number) {
        std::smatch match;
        if (std::regex_match(line, match, kWhole)) {
            calls.push_back(
                {std::stoi(match[1]), match[2], match[3], std::stoll(match[4]), number, number});
        } else if (std::regex_match(line, match, kUnfinished)) {
            pending[std::stoi(match[1])] = {
                std::stoi(match[1]), match[2], match[3], -1, number, number};
        } else if (std::regex_match(line, match, kResumed)) {
            const auto found = pending.find(std::stoi(match[1]));
            if (found != pending.end() && found->second.name == match[2].str()) {
                TracedCall call = found->second;
                pending.erase(found);
                call.args += match[3].str();
                call.result = std::stoll(match[4]);
                call.end = number;
                calls.push_back(call);
            }
        }
    }
    // Each call takes effect where it ended.
    std::stable_sort(calls.begin(), calls.end(),
                     [](const TracedCall& a, const TracedCall& b) { return a.end < b.end; });
    return calls;
}

// The paths named in a traced call: "<path>" after a descriptor, or a quoted path argument.
std::vector<std::string> Paths(const std::string& args) {
    std::vector<std::string> paths;
    static const std::regex kPath(R"re(<(/[^>]*)>|"(/[^"]*)")re");
    for (std::sregex_iterator it(args.begin(), args.end(), kPath), end; it != end; ++it) {
        paths.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return paths;
}

bool IsWrite(const TracedCall& call) {
    return call.name == "write" || call.name == "pwrite64";
}

// The descriptor a call names first ("7</path>" -> "7</path>"), as a key for its offset.
std::string Descriptor(const std::string& args) {
    return args.substr(0, args.find(','));
}

// The second argument of a call as a number ("fd, 1048576, SEEK_SET" -> 1048576).
uint64_t SecondNumber(const std::string& args) {
    const size_t comma = args.find(", ");
    return comma == std::string::npos ? 0 : std::stoull(args.substr(comma + 2));
}

// Failures the running test has had so far.
int Failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

class DurabilityTest : public ::testing::Test {
protected:
    DurabilityTest() { store_.UseInEnvironment(); }
    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

// Each byte is written once: no chunk file or partial chunk file is ever flushed, since a chunk
// file goes as soon as its bytes are in the working file (which must have happened by then), and
// after an abrupt stop every chunk file is checked by its digest anyway. What a power cut could
// take and a later step relies on is flushed first: the working file before it takes its
// finished name and the folder after; a record's temporary before it takes the record's name and
// the folder after; and the working file, as far as a record says its bytes are, before that
// record takes its name. Flushes stay cheap: a working file is flushed about once per flush
// interval (1 MiB here) and once at the end.
TEST_F(DurabilityTest, WhatAPowerCutCouldTakeIsFlushedBeforeTheStepThatReliesOnIt) {
    if (!fs::exists("/usr/bin/strace")) {
        GTEST_SKIP() << "strace is not installed (scripts/packages.txt lists it)";
    }
    FaultFigures figures("Durability");
    const std::string game = "durable-game";
    const std::vector<uint64_t> sizes = {64 * kChunk + 10, 2 * kChunk};
    store_.AddGame(GameJson(game, sizes));
    const fs::path downloads = home_.Root() / "downloads";
    const fs::path trace = runs_.Path() / "trace";
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
    // -f into one file: the order of calls across threads is the order of its lines. The
    // record's text is short enough to show whole.
    options.wrapper = {"strace",
                       "-f",
                       "-y",
                       "-qq",
                       "-s",
                       "120",
                       "-o",
                       trace.string(),
                       "-e",
                       "trace=write,pwrite64,ftruncate,lseek,fsync,fdatasync,rename,renameat,"
                       "renameat2,unlink,unlinkat"};
    options.environment.push_back(kFlushEveryMiB);
    // The leak check can't run under a tracer; in a sanitizer build it would fail the run.
    options.environment.push_back("LSAN_OPTIONS=detect_leaks=0");
    CliProcess run(options);
    ASSERT_EQ(run.Wait(std::chrono::seconds(120)), 0) << run.Out() << run.Err();

    std::map<std::string, uint64_t> sizeOf;      // working file -> bytes written into it
    std::map<std::string, uint64_t> offsetOf;    // descriptor -> where its next write goes
    std::map<std::string, uint64_t> flushedOf;   // working file -> bytes a flush covered
    std::map<std::string, size_t> lastWriteEnd;  // path -> line where its last write ended
    // path -> lines where its last flush began and ended
    std::map<std::string, std::pair<size_t, size_t>> lastFlush;
    std::map<std::string, std::string> recordText;  // record temporary -> what was written
    std::map<std::string, int> flushesOf;
    std::map<std::string, uint64_t> fileSize;  // working file -> the finished file's size
    for (uint32_t id = 0; id < sizes.size(); ++id) {
        fileSize[(downloads / store_.GameFile(game, id).path).string() + ".joining"] = sizes[id];
    }
    static const std::regex kChunkFile(R"((.*)\.chunk([0-9]+))");
    static const std::regex kRecordBytes(R"(\\nbytes ([0-9]+)\\n)");
    // Flushed after its last write: a flush began after that write ended, and has ended.
    const auto flushedSinceWritten = [&](const std::string& path, size_t before) {
        const auto flushed = lastFlush.find(path);
        return flushed != lastFlush.end() && flushed->second.second < before &&
               flushed->second.first > lastWriteEnd[path];
    };

    const std::vector<TracedCall> calls = TracedCalls(trace);
    ASSERT_FALSE(calls.empty()) << "strace wrote nothing we could read";
    size_t fileRenames = 0;
    size_t recordRenames = 0;
    size_t intervalRecords = 0;
    size_t chunkDeletes = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const TracedCall& call = calls[i];
        const std::vector<std::string> paths = Paths(call.args);
        if (paths.empty() || call.result < 0) {
            continue;
        }
        const std::string& path = paths.front();
        if (IsWrite(call)) {
            lastWriteEnd[path] = call.end;
            if (EndsWith(path, ".joining")) {
                // A positioned write says where; a plain one goes where the descriptor stands.
                uint64_t at = 0;
                if (call.name == "pwrite64") {
                    at = std::stoull(call.args.substr(call.args.rfind(", ") + 2));
                } else {
                    at = offsetOf[Descriptor(call.args)];
                    offsetOf[Descriptor(call.args)] = at + static_cast<uint64_t>(call.result);
                }
                sizeOf[path] = std::max(sizeOf[path], at + static_cast<uint64_t>(call.result));
            } else if (EndsWith(path, ".joining.state.new")) {
                recordText[path] = call.args;
            }
        } else if (call.name == "lseek" && EndsWith(path, ".joining")) {
            offsetOf[Descriptor(call.args)] = static_cast<uint64_t>(call.result);
        } else if (call.name == "ftruncate" && EndsWith(path, ".joining")) {
            sizeOf[path] = SecondNumber(call.args);
            flushedOf[path] = std::min(flushedOf[path], sizeOf[path]);
        } else if (call.name == "fsync" || call.name == "fdatasync") {
            ++flushesOf[path];
            EXPECT_FALSE(EndsWith(path, "_downloading") || std::regex_match(path, kChunkFile))
                << path << " was flushed: its bytes are written once, into the working file";
            // What was written before the flush began is on the disk once it has ended.
            lastFlush[path] = {call.begin, call.end};
            uint64_t covered = sizeOf[path];
            for (size_t k = i; k-- > 0 && calls[k].end > call.begin;) {
                // A write that ended after this flush began is not covered by it.
                if (IsWrite(calls[k]) && !Paths(calls[k].args).empty() &&
                    Paths(calls[k].args).front() == path) {
                    covered -= std::min<uint64_t>(covered, static_cast<uint64_t>(calls[k].result));
                }
            }
            flushedOf[path] = std::max(flushedOf[path], covered);
        } else if (call.name.rfind("rename", 0) == 0 && paths.size() >= 2) {
            const std::string& from = paths[paths.size() - 2];
            const std::string& to = paths.back();
            const bool finishing = EndsWith(from, ".joining");
            const bool recording = EndsWith(from, ".joining.state.new");
            if (!finishing && !recording) {
                continue;
            }
            // A power cut right after this rename is one fault the order must survive.
            figures.Injected();
            const int failuresBefore = Failures();
            EXPECT_TRUE(flushedSinceWritten(from, call.begin))
                << from << " was renamed before what was written to it was flushed";
            if (recording) {
                ++recordRenames;
                std::smatch bytes;
                ASSERT_TRUE(std::regex_search(recordText[from], bytes, kRecordBytes))
                    << recordText[from];
                const uint64_t recorded = std::stoull(bytes[1]);
                const std::string working = to.substr(0, to.size() - std::string(".state").size());
                EXPECT_LE(recorded, flushedOf[working])
                    << to << " vouches for " << recorded << " bytes of " << working << ", only "
                    << flushedOf[working] << " of them were flushed";
                intervalRecords += recorded > 0 ? 1 : 0;
            } else {
                ++fileRenames;
                EXPECT_EQ(sizeOf[from], fileSize[from]) << from;
            }
            // The next flush of this thread is the folder's, which makes the new name last.
            bool folderFlushed = false;
            for (size_t k = i + 1; k < calls.size(); ++k) {
                if (calls[k].pid == call.pid &&
                    (calls[k].name == "fsync" || calls[k].name == "fdatasync")) {
                    const std::vector<std::string> flushed = Paths(calls[k].args);
                    folderFlushed =
                        !flushed.empty() && flushed.front() == fs::path(to).parent_path().string();
                    break;
                }
            }
            EXPECT_TRUE(folderFlushed) << "the folder of " << to << " was not flushed";
            if (Failures() == failuresBefore) {
                figures.Survived();
            }
        } else if (call.name.rfind("unlink", 0) == 0) {
            std::smatch chunk;
            const std::string& gone = paths.back();
            if (!std::regex_match(gone, chunk, kChunkFile)) {
                continue;
            }
            // A chunk file goes only once its bytes are in the working file.
            ++chunkDeletes;
            figures.Injected();
            const int failuresBefore = Failures();
            const std::string working = chunk[1].str() + ".joining";
            const uint64_t end =
                std::min<uint64_t>(fileSize[working], (std::stoull(chunk[2]) + 1) * kChunk);
            EXPECT_GE(sizeOf[working], end)
                << gone << " was deleted before its bytes were in " << working;
            if (Failures() == failuresBefore) {
                figures.Survived();
            }
        }
    }
    EXPECT_EQ(fileRenames, 2u);
    // At least one record per file when its join was taken up, and the interval ones.
    EXPECT_GE(recordRenames, 2u + intervalRecords);
    EXPECT_GE(intervalRecords, 2u) << "the 4 MiB file passed two flush intervals";
    EXPECT_EQ(chunkDeletes, 67u);
    // Cheap: a working file is flushed once per interval its bytes pass and about once at the
    // end (the last interval flush and the final one may find the same bytes).
    for (const auto& [working, size] : fileSize) {
        EXPECT_GE(flushesOf[working], 1) << working;
        EXPECT_LE(flushesOf[working], static_cast<int>(size / (uint64_t{1} << 20)) + 2) << working;
    }
    for (uint32_t id = 0; id < sizes.size(); ++id) {
        const StoreGameFile file = store_.GameFile(game, id);
        EXPECT_EQ(FileDigest(downloads / file.path), store_.ExpectedFileMd5(game, id));
    }
}

}  // namespace
