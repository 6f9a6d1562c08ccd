// The two digest checks of files on disk: the whole-file check and the check of a chunk after
// its transfer.
#include "engine/FileVerifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "engine/ChunkCheck.h"
#include "support/FileFixtures.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

namespace {

namespace fs = std::filesystem;

TEST(FileVerifier, ReadsTheFileBlockByBlock) {
    TempDir dir;
    const std::string content = Pattern(10, 3);
    WriteFile(dir.Path() / "game.bin", content);
    CombineEntry entry;
    entry.finishedPath = Wide(dir.Path() / "game.bin");

    for (const bool right : {true, false}) {
        entry.fileDigest = right ? Md5Hex(content) : Md5Hex("other");
        FileVerifier verifier(entry, 4);
        std::vector<uint64_t> checked;
        while (verifier.Step()) {
            checked.push_back(verifier.BytesChecked());
            EXPECT_TRUE(verifier.Matches()) << "no verdict before the end";
        }
        EXPECT_EQ(checked, (std::vector<uint64_t>{4, 8, 10}));
        EXPECT_TRUE(verifier.Finished());
        EXPECT_EQ(verifier.Matches(), right);
        EXPECT_FALSE(verifier.Step());
    }
}

TEST(FileVerifier, AFileThatDoesNotOpenYieldsNoBytes) {
    TempDir dir;
    CombineEntry entry;
    entry.fileDigest = Md5Hex("x");
    for (const fs::path& path : {dir.Path() / "missing", dir.Path() / "link"}) {
        if (path.filename() == "link") {
            WriteFile(dir.Path() / "x", "x");
            fs::create_symlink(dir.Path() / "x", path);
        }
        entry.finishedPath = Wide(path);
        FileVerifier verifier(entry, 4);
        EXPECT_FALSE(verifier.Step());
        EXPECT_EQ(verifier.BytesChecked(), 0u);
        EXPECT_FALSE(verifier.Matches()) << path;
    }
}

TEST(FileVerifier, AKnownDigestIsCheckedInOneStepWithoutReading) {
    CombineEntry entry;
    entry.finishedPath = u"/nonexistent/never/read";
    entry.fileDigest = Md5Hex("content");

    FileVerifier good(entry, FileVerifier::KnownDigest{Md5Hex("content"), 7});
    EXPECT_TRUE(good.Step());
    EXPECT_EQ(good.BytesChecked(), 7u);
    EXPECT_FALSE(good.Step());
    EXPECT_TRUE(good.Matches());

    FileVerifier bad(entry, FileVerifier::KnownDigest{Md5Hex("tampered"), 8});
    EXPECT_TRUE(bad.Step());
    EXPECT_FALSE(bad.Step());
    EXPECT_FALSE(bad.Matches());

    FileVerifier empty(entry, FileVerifier::KnownDigest{Md5Hex(""), 0});
    EXPECT_FALSE(empty.Step()) << "an empty file has no block to report";
    EXPECT_FALSE(empty.Matches());
}

class ChunkCheckTest : public ::testing::Test {
protected:
    ChunkCheckTest()
        : partial(dir.Path() / "game.bin.chunk4_downloading"),
          verified(dir.Path() / "game.bin.chunk4"),
          content(Pattern(100, 9)) {
        WriteFile(partial, content);
    }

    ChunkCheckResult Check(const std::u16string& expected, const WorkerCheckPoint& points = {},
                           const std::u16string* known = nullptr) {
        return CheckChunk(Wide(partial), Wide(verified), expected, points, known, 16);
    }

    TempDir dir;
    fs::path partial;
    fs::path verified;
    std::string content;
    LogCapture log;
};

TEST_F(ChunkCheckTest, AMatchingChunkMovesToItsVerifiedName) {
    const ChunkCheckResult result = Check(Md5Hex(content));
    EXPECT_EQ(result.outcome, ChunkCheckResult::Outcome::kAccepted);
    EXPECT_EQ(result.digest, Md5Hex(content));
    EXPECT_EQ(result.bytes, 100u);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(ReadFile(verified), content);
    EXPECT_TRUE(log.Contains(u"Chunk " + Wide(partial) +
                             u" downloaded and verified. Changing to: " + Wide(verified)));
}

TEST_F(ChunkCheckTest, AWrongChunkIsDeletedAndItsDigestReturned) {
    const std::u16string expected = Md5Hex("what the index says");
    const ChunkCheckResult result = Check(expected);
    EXPECT_EQ(result.outcome, ChunkCheckResult::Outcome::kRejected);
    EXPECT_EQ(result.digest, Md5Hex(content));
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(verified));
    EXPECT_TRUE(log.Contains(u"MD5 for " + Wide(partial) + u" (" + Md5Hex(content) +
                             u") does not match xml (" + expected + u"). Deleting file."));
}

TEST_F(ChunkCheckTest, TheDigestComputedWhileWritingSparesTheRead) {
    // The worker vouches for the bytes it wrote; the file is not read again.
    const std::u16string written = Md5Hex("bytes as the transfer wrote them");
    EXPECT_EQ(Check(written, {}, &written).outcome, ChunkCheckResult::Outcome::kAccepted);
    EXPECT_TRUE(fs::exists(verified));

    WriteFile(partial, content);
    const std::u16string other = Md5Hex("different");
    const ChunkCheckResult rejected = Check(other, {}, &written);
    EXPECT_EQ(rejected.outcome, ChunkCheckResult::Outcome::kRejected);
    EXPECT_EQ(rejected.digest, written);
    EXPECT_FALSE(fs::exists(partial));
}

TEST_F(ChunkCheckTest, FilesThatCannotBeCheckedOrMovedAreDiskProblems) {
    fs::remove(partial);
    EXPECT_EQ(Check(Md5Hex(content)).outcome, ChunkCheckResult::Outcome::kDiskProblem);

    // The verified name cannot be taken (a folder is there): the partial file stays.
    WriteFile(partial, content);
    fs::create_directory(verified);
    WriteFile(verified / "inside", "x");
    EXPECT_EQ(Check(Md5Hex(content)).outcome, ChunkCheckResult::Outcome::kDiskProblem);
    EXPECT_TRUE(fs::exists(partial));
    EXPECT_TRUE(fs::exists(verified / "inside"));
}

TEST_F(ChunkCheckTest, StopEventsEndTheReadBetweenBlocks) {
    Event terminate(true, false);
    Event breakTask(true, false);
    const WorkerCheckPoint points{&terminate, &breakTask, nullptr};

    breakTask.Set();
    ChunkCheckResult result = Check(Md5Hex(content), points);
    EXPECT_EQ(result.outcome, ChunkCheckResult::Outcome::kBroken);
    EXPECT_TRUE(fs::exists(partial)) << "neither moved nor deleted";
    EXPECT_FALSE(fs::exists(verified));

    terminate.Set();
    EXPECT_EQ(Check(Md5Hex(content), points).outcome, ChunkCheckResult::Outcome::kTerminated);

    // A chunk of one block has no check point at all.
    WriteFile(partial, "short");
    EXPECT_EQ(Check(Md5Hex("short"), points).outcome, ChunkCheckResult::Outcome::kAccepted);
}

TEST_F(ChunkCheckTest, APausedWorkerWaitsAtTheGate) {
    Event breakTask(true, false);
    PauseGate gate;
    gate.Pause();
    const WorkerCheckPoint points{nullptr, &breakTask, &gate};
    auto running = std::async(std::launch::async, [&] { return Check(Md5Hex(content), points); });
    gate.Resume();
    EXPECT_EQ(running.get().outcome, ChunkCheckResult::Outcome::kAccepted);

    // Held at the gate, a break still reaches it.
    WriteFile(partial, content);
    gate.Pause();
    auto held = std::async(std::launch::async, [&] { return Check(Md5Hex(content), points); });
    breakTask.Set();
    EXPECT_EQ(held.get().outcome, ChunkCheckResult::Outcome::kBroken);
    EXPECT_TRUE(fs::exists(partial));
}

}  // namespace
