// Download against the local test store: whole-file and range modes, resuming, the answers that
// must fail (and how), early ends, stalls, local file problems and write failures.
#include "engine/Download.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "core/DebugPrintf.h"
#include "core/EscapeControls.h"
#include "core/TextUtil.h"
#include "engine/TransferSession.h"
#include "platform/Event.h"
#include "support/FileFixtures.h"
#include "support/LogCapture.h"
#include "support/StalledNetwork.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    bool ready = false;
    bool complete = false;
    TransferError error = TransferError::kNone;
    uint64_t existing = 0;
    uint64_t transferred = 0;
    uint64_t largestStep = 0;
};

// Drives a transfer the way a worker does and notes the largest step of one ReadSegment.
Outcome RunToEnd(Download& download) {
    Outcome out;
    out.ready = download.Ready();
    if (out.ready) {
        uint64_t before = download.Transferred();
        while (download.ReadSegment()) {
            out.largestStep = std::max(out.largestStep, download.Transferred() - before);
            before = download.Transferred();
        }
        out.largestStep = std::max(out.largestStep, download.Transferred() - before);
    }
    out.complete = download.Complete();
    out.error = download.Error();
    out.existing = download.Existing();
    out.transferred = download.Transferred();
    return out;
}

class DownloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        store_ = new TestStore();
        store_->UseInEnvironment();
    }
    static void TearDownTestSuite() {
        delete store_;
        store_ = nullptr;
    }

    void SetUp() override {
        store_->ClearFaults();
        store_->ClearRequests();
    }

    // A resource path of this test's own.
    static std::string ResourcePath(const std::string& suffix = "") {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name() + suffix;
        for (char& c : name) {
            if (c == '/') {
                c = '_';
            }
        }
        return "/files/" + name + ".bin";
    }
    // A new transfer of bytes 0..199999 into `file`, which holds the first `kept` of them, asks
    // only for the rest and leaves the whole `resource` in the file.
    static void ExpectResumedAfter(const fs::path& file, const std::string& path, uint64_t kept,
                                   const std::string& resource) {
        Download resumed(Wide(file), Url(path), false, 0, 199999);
        EXPECT_EQ(resumed.RangeHeader(), "Range:bytes=" + std::to_string(kept) + "-199999");
        const Outcome out = RunToEnd(resumed);
        EXPECT_TRUE(out.complete);
        EXPECT_EQ(out.existing, kept);
        EXPECT_TRUE(ReadFile(file) == resource);
    }
    static std::u16string Url(const std::string& path, bool plainHttp = false) {
        return Utf8ToWide((plainHttp ? store_->CdnHttpUrl() : store_->CdnUrl()) + path);
    }
    static std::vector<StoreRequest> RequestsFor(const std::string& path) {
        std::vector<StoreRequest> matching;
        for (StoreRequest& r : store_->Requests()) {
            if (r.path == path) {
                matching.push_back(std::move(r));
            }
        }
        return matching;
    }
    std::u16string LocalFile(const std::string& name) const { return Wide(dir_.Path() / name); }

    static TestStore* store_;
    // Handed to the transfers whose network failures a test looks at.
    Event problem_{true, false};
    TempDir dir_;
};

TestStore* DownloadTest::store_ = nullptr;

struct TransferCase {
    const char* name;
    size_t resourceSize;
    size_t existing;  // bytes in the file before; right ones, or junk when truncating
    bool truncate;
    uint64_t from, to;
    bool plainHttp;
    const char* method;  // the one request the store must see; "" for none at all
    const char* range;   // its Range header, "" for none
    uint64_t transferred;
    bool wholeFile = false;  // whole-file mode; from and to are then unused
};

const TransferCase kTransfers[] = {
    {"whole_fresh", 50000, 0, false, 0, 0, false, "GET", "bytes=0-", 50000, true},
    {"whole_resume", 50000, 20000, false, 0, 0, false, "GET", "bytes=20000-", 30000, true},
    {"whole_plain_http", 30000, 0, false, 0, 0, true, "GET", "bytes=0-", 30000, true},
    {"whole_truncates_junk", 30000, 5000, true, 0, 0, false, "GET", "bytes=0-", 30000, true},
    {"whole_already_complete", 3000, 3000, false, 0, 0, false, "GET", "bytes=3000-", 0, true},
    {"whole_empty_resource", 0, 0, false, 0, 0, false, "GET", "bytes=0-", 0, true},
    {"range_fresh", 300, 0, false, 100, 199, false, "GET", "bytes=100-199", 100},
    {"range_resume_40", 300, 40, false, 100, 199, false, "GET", "bytes=140-199", 60},
    {"range_resume_99", 300, 99, false, 100, 199, false, "GET", "bytes=199-199", 1},
    {"range_single_byte", 300, 0, false, 150, 150, false, "GET", "bytes=150-150", 1},
    // The file's first byte alone is a range like any other, never the whole resource.
    {"range_first_byte", 300, 0, false, 0, 0, false, "GET", "bytes=0-0", 1},
    {"range_truncates_junk", 300, 30, true, 100, 199, false, "GET", "bytes=100-199", 100},
    {"range_many_blocks", 200000, 0, false, 1000, 150999, true, "GET", "bytes=1000-150999", 150000},
    // The server's own end comes first: the transfer ends there, and the chunk's digest
    // check rejects a chunk that the resource can't fill.
    {"range_past_resource_end", 300, 0, false, 200, 399, false, "GET", "bytes=200-399", 100},
    // Nothing is asked for what the file holds already: its digest decides, and a link signed
    // for GET alone would refuse a status request.
    {"range_already_complete", 300, 100, false, 100, 199, false, "", "", 0},
    {"range_of_length_zero", 300, 0, false, 100, 99, false, "", "", 0},
    // How an empty file's index writes its one chunk: from 0 to -1.
    {"range_of_length_zero_at_start", 300, 0, false, 0, UINT64_MAX, false, "", "", 0},
};

void PrintTo(const TransferCase& c, std::ostream* out) {
    *out << c.name;
}

class DownloadTransferTest : public DownloadTest,
                             public ::testing::WithParamInterface<TransferCase> {};

TEST_P(DownloadTransferTest, FetchesExactlyTheMissingBytesWithOneRequest) {
    const TransferCase& c = GetParam();
    const std::string path = ResourcePath();
    const std::string resource = Pattern(c.resourceSize, 3);
    store_->PutResource(path, resource);
    const bool wholeFile = c.wholeFile;
    const std::string expected =
        wholeFile ? resource : (c.to >= c.from ? resource.substr(c.from, c.to - c.from + 1) : "");
    const std::u16string file = LocalFile("target");
    WriteFile(fs::path(WideToUtf8(file)),
              c.truncate ? std::string(c.existing, 'x') : expected.substr(0, c.existing));

    Outcome out;
    {
        std::optional<Download> made;
        if (wholeFile) {
            made.emplace(file, Url(path, c.plainHttp), c.truncate, Download::kWholeResource,
                         Clock::System(), Download::Interruption{}, &problem_);
        } else {
            made.emplace(file, Url(path, c.plainHttp), c.truncate, c.from, c.to, Clock::System(),
                         Download::Interruption{}, &problem_);
        }
        Download& download = *made;
        EXPECT_EQ(download.RangeHeader(), *c.range ? std::string("Range:") + c.range : "");
        out = RunToEnd(download);
        EXPECT_EQ(download.ContentLength(), expected.size());
    }
    EXPECT_TRUE(out.ready);
    EXPECT_TRUE(out.complete);
    EXPECT_EQ(out.error, TransferError::kNone);
    EXPECT_EQ(out.existing, c.truncate ? 0 : c.existing);
    EXPECT_EQ(out.transferred, c.transferred);
    EXPECT_LE(out.largestStep, Download::kBlockSize);
    EXPECT_TRUE(ReadFile(fs::path(WideToUtf8(file))) == expected);
    EXPECT_FALSE(problem_.IsSet());
    const auto requests = RequestsFor(path);
    if (*c.method == '\0') {
        EXPECT_TRUE(requests.empty());
        return;
    }
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, c.method);
    EXPECT_EQ(requests[0].range, c.range);
}

INSTANTIATE_TEST_SUITE_P(Modes, DownloadTransferTest, ::testing::ValuesIn(kTransfers),
                         [](const auto& param) { return std::string(param.param.name); });

// The first answer's status decides; 300 passes, and the bytes then come from a ranged request.
struct StatusCase {
    const char* name;
    const char* fault;  // without the path
    bool wholeFile;
    TransferError error;  // kNone: the transfer succeeds
    size_t requests;
};

const StatusCase kStatuses[] = {
    {"not_found_whole", R"("status":404)", true, TransferError::kHttpStatus, 1},
    {"server_error_range", R"("status":500)", false, TransferError::kHttpStatus, 1},
    {"moved_range", R"("redirect":"/files/elsewhere.bin","status":301)", false,
     TransferError::kHttpStatus, 1},
    {"no_content_length_whole", R"("no_content_length":true)", true, TransferError::kWrongAnswer,
     1},
    {"no_content_length_range", R"("no_content_length":true)", false, TransferError::kNone, 1},
    {"multiple_choices_range", R"("status":300)", false, TransferError::kNone, 2},
    {"multiple_choices_whole", R"("status":300)", true, TransferError::kNone, 2},
};

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

class DownloadStatusTest : public DownloadTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DownloadStatusTest, JudgesTheFirstAnswer) {
    const StatusCase& c = GetParam();
    const std::string path = ResourcePath();
    const std::string resource = Pattern(5000, 5);
    store_->PutResource(path, resource);
    store_->SetFault(std::string(R"({"server":"cdn","path":")") + path + "\"," + c.fault + "}");
    const std::string expected = c.wholeFile ? resource : resource.substr(1000, 2000);
    const fs::path file = dir_.Path() / "target";
    WriteFile(file, expected.substr(0, 10));
    LogCapture log;

    Outcome out;
    {
        std::optional<Download> download;
        if (c.wholeFile) {
            download.emplace(Wide(file), Url(path), false, Download::kWholeResource,
                             Clock::System(), Download::Interruption{}, &problem_);
        } else {
            download.emplace(Wide(file), Url(path), false, 1000, 2999, Clock::System(),
                             Download::Interruption{}, &problem_);
        }
        out = RunToEnd(*download);
    }
    EXPECT_EQ(RequestsFor(path).size(), c.requests);
    if (c.error == TransferError::kNone) {
        EXPECT_TRUE(out.complete);
        EXPECT_EQ(out.error, TransferError::kNone);
        EXPECT_TRUE(ReadFile(file) == expected);
        EXPECT_FALSE(problem_.IsSet());
        return;
    }
    EXPECT_FALSE(out.ready);
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(out.error, c.error);
    // A server that answered, just not with the bytes, is no sign of an offline computer.
    EXPECT_EQ(problem_.IsSet(), c.error == TransferError::kHttpStatus);
    EXPECT_TRUE(ReadFile(file) == expected.substr(0, 10));  // untouched
    EXPECT_EQ(log.Warnings(),
              std::vector<std::u16string>{u"Cannot query file length for: " + Url(path)});
}

INSTANTIATE_TEST_SUITE_P(Answers, DownloadStatusTest, ::testing::ValuesIn(kStatuses),
                         [](const auto& param) { return std::string(param.param.name); });

// A range answered with other bytes than those asked for never reaches the chunk's file.
TEST_F(DownloadTest, RangeAnsweredWithOtherBytesFailsWithoutWriting) {
    // The last: the bytes asked for, in a range that ends past the total it names.
    const char* faults[] = {R"("ignore_range":true)", R"("wrong_content_range":true)",
                            R"("wrong_content_range":"bytes 0-99/5000")",
                            R"("wrong_content_range":"bytes 1010-1999/1500")"};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        store_->ClearFaults();
        store_->ClearRequests();
        problem_.Reset();
        const std::string path = ResourcePath();
        store_->PutResource(path, Pattern(5000, 6));
        store_->SetFault(std::string(R"({"server":"cdn","fail_next":-1,"path":")") + path + "\"," +
                         fault + "}");
        const fs::path file = dir_.Path() / "chunk";
        WriteFile(file, Pattern(5000, 6).substr(1000, 10));
        LogCapture log;

        Download download(Wide(file), Url(path), false, 1000, 1999, Clock::System(), {}, &problem_);
        EXPECT_FALSE(download.Ready());
        EXPECT_EQ(download.Error(), TransferError::kWrongAnswer);
        EXPECT_FALSE(download.ReadSegment());
        EXPECT_FALSE(problem_.IsSet());
        EXPECT_TRUE(ReadFile(file) == Pattern(5000, 6).substr(1000, 10));
        EXPECT_EQ(RequestsFor(path).size(), 2u);  // the status check, then the insisting one
        EXPECT_EQ(log.Warnings(),
                  std::vector<std::u16string>{u"Cannot query file length for: " + Url(path)});
    }
}

TEST_F(DownloadTest, RangeIgnoredOnceIsAskedForAgain) {
    const std::string path = ResourcePath();
    const std::string resource = Pattern(5000, 7);
    store_->PutResource(path, resource);
    store_->SetFault(R"({"server":"cdn","ignore_range":true,"path":")" + path + "\"}");
    const fs::path file = dir_.Path() / "chunk";

    Download download(Wide(file), Url(path), true, 1000, 1999);
    const Outcome out = RunToEnd(download);
    EXPECT_TRUE(out.complete);
    EXPECT_TRUE(ReadFile(file) == resource.substr(1000, 1000));
    const auto requests = RequestsFor(path);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[1].status, 206);
}

// Whole-file mode may take the whole resource instead: it replaces what the file held.
TEST_F(DownloadTest, WholeFileFromServerWithoutRangesStartsOver) {
    const std::string path = ResourcePath();
    const std::string resource = Pattern(30000, 8);
    store_->PutResource(path, resource);
    store_->SetFault(R"({"server":"cdn","ignore_range":true,"path":")" + path + "\"}");
    const fs::path file = dir_.Path() / "index";
    WriteFile(file, resource.substr(0, 1000));

    Download download(Wide(file), Url(path), false, Download::kWholeResource);
    const Outcome out = RunToEnd(download);
    EXPECT_TRUE(out.complete);
    EXPECT_EQ(out.existing, 0u);
    EXPECT_EQ(out.transferred, resource.size());
    EXPECT_TRUE(ReadFile(file) == resource);
    EXPECT_EQ(RequestsFor(path).size(), 1u);
}

// A body that ends before its length is a broken connection, not a finished chunk: the bytes
// that came stay in the file, and the next transfer asks for the rest alone.
TEST_F(DownloadTest, EarlyEndOfBodyFailsAndTheNextTransferResumesAfterIt) {
    const std::string path = ResourcePath();
    const std::string resource = Pattern(200000, 9);
    store_->PutResource(path, resource);
    const fs::path file = dir_.Path() / "chunk";
    // Cut where no block ends, within the first write batch and after it.
    for (const uint64_t kept : {uint64_t{25000}, uint64_t{140001}}) {
        SCOPED_TRACE(kept);
        fs::remove(file);
        store_->SetFault(R"({"server":"cdn","cut_after":)" + std::to_string(kept) + R"(,"path":")" +
                         path + "\"}");
        LogCapture log;
        {
            Download download(Wide(file), Url(path), false, 0, 199999, Clock::System(), {},
                              &problem_);
            const Outcome out = RunToEnd(download);
            EXPECT_TRUE(out.ready);
            EXPECT_FALSE(out.complete);
            EXPECT_EQ(out.error, TransferError::kBodyCutShort);
            EXPECT_EQ(out.transferred, kept);
        }
        EXPECT_TRUE(ReadFile(file) == resource.substr(0, kept));
        // The server answered: no reason to ask whether the computer is offline.
        EXPECT_FALSE(problem_.IsSet());
        EXPECT_EQ(log.Warnings(),
                  std::vector<std::u16string>{u"Transfer failed for file: " + Wide(file) +
                                              u" (the connection closed before the body's end)"});

        ExpectResumedAfter(file, path, kept, resource);
    }
}

TEST_F(DownloadTest, StalledBodyEndsByTheLowSpeedLimit) {
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(50000, 10));
    store_->SetFault(R"({"server":"cdn","stall_after_headers":12,"path":")" + path + "\"}");
    const fs::path file = dir_.Path() / "chunk";
    LogCapture log;

    Download download(Wide(file), Url(path), true, 0, 49999, Clock::System(), {}, &problem_);
    const Outcome out = RunToEnd(download);
    EXPECT_TRUE(out.ready);
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(out.error, TransferError::kBodyCutShort);
    EXPECT_EQ(out.transferred, 0u);
    EXPECT_TRUE(problem_.IsSet());
    EXPECT_EQ(log.Warnings(),
              std::vector<std::u16string>{u"Transfer failed for file: " + Wide(file)});
}

TEST_F(DownloadTest, UnreachableServerIsAConnectionFailure) {
    const std::u16string url = u"http://127.0.0.1:1/files/none.bin";
    LogCapture log;
    Download download(LocalFile("chunk"), url, true, 0, 99, Clock::System(), {}, &problem_);
    EXPECT_FALSE(download.Ready());
    EXPECT_EQ(download.Error(), TransferError::kConnection);
    EXPECT_TRUE(problem_.IsSet());
    EXPECT_EQ(log.Warnings(),
              std::vector<std::u16string>{u"Connection failure with download of: " + url});
}

// Files that must not be written: through a link, not a file, or a name cut short.
TEST_F(DownloadTest, UnusableLocalPathsAreRefusedBeforeAnyRequest) {
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(300, 11));
    const fs::path victim = dir_.Path() / "victim";
    WriteFile(victim, "keep me");
    fs::create_symlink(victim, dir_.Path() / "link");
    fs::create_directory(dir_.Path() / "folder");
    const std::u16string paths[] = {
        LocalFile("link"),
        LocalFile("folder"),
        LocalFile(std::string(Download::kMaxLocalPathBytes, 'a')),
        LocalFile("name") + std::u16string(1, u'\0') + u"more",
        LocalFile("missing/folder/file"),
    };
    const int usersBefore = TransferSession::UserCount();
    for (const std::u16string& local : paths) {
        SCOPED_TRACE(WideToUtf8(local).substr(0, 100));
        LogCapture log;
        Download download(local, Url(path), true, 0, 99, Clock::System(), {}, &problem_);
        EXPECT_FALSE(download.Ready());
        EXPECT_EQ(download.Error(), TransferError::kLocalFile);
        EXPECT_EQ(TransferSession::UserCount(), usersBefore);
        // The logger shows the NUL as an escape and cuts long lines to its limit.
        const std::u16string line = u"Cannot open file " + local + u" for binary writing";
        EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{
                                      EscapeControls(line, CDebugPrintf::kMaxMessageLength)});
    }
    EXPECT_EQ(ReadFile(victim), "keep me");
    EXPECT_FALSE(problem_.IsSet());
    EXPECT_TRUE(RequestsFor(path).empty());
}

// A partial file longer than its range can't be trusted: it is emptied, never asked for
// "bytes=200-199".
TEST_F(DownloadTest, PartialFileLongerThanItsRangeIsDiscarded) {
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(3000, 12));
    const fs::path chunk = dir_.Path() / "chunk";
    WriteFile(chunk, std::string(150, 'x'));
    {
        Download download(Wide(chunk), Url(path), false, 100, 199, Clock::System(), {}, &problem_);
        EXPECT_FALSE(download.Ready());
        EXPECT_EQ(download.Error(), TransferError::kLocalFile);
    }
    EXPECT_EQ(fs::file_size(chunk), 0u);
    EXPECT_TRUE(RequestsFor(path).empty());

    // Whole-file mode learns the length from the server's answer to the resumed request.
    const fs::path whole = dir_.Path() / "whole";
    WriteFile(whole, std::string(5000, 'x'));
    {
        Download download(Wide(whole), Url(path), false, Download::kWholeResource, Clock::System(),
                          {}, &problem_);
        EXPECT_FALSE(download.Ready());
        EXPECT_EQ(download.Error(), TransferError::kLocalFile);
    }
    EXPECT_EQ(fs::file_size(whole), 0u);
    EXPECT_FALSE(problem_.IsSet());
}

// Offsets past 4 GiB, in both modes; the store makes the bytes on the fly, the local file of
// the whole-file case is sparse.
TEST_F(DownloadTest, OffsetsBeyondFourGibibytes) {
    const std::string path = ResourcePath();
    const uint64_t fourGiB = uint64_t{1} << 32;
    store_->PutGeneratedResource(path, "big", fourGiB + 300);

    const fs::path chunk = dir_.Path() / "chunk";
    const uint64_t from = fourGiB + 150;
    WriteFile(chunk, TestStore::GeneratedContent("big", from, 40));
    {
        Download download(Wide(chunk), Url(path), false, from, from + 99);
        EXPECT_EQ(download.RangeHeader(),
                  "Range:bytes=" + std::to_string(from + 40) + "-" + std::to_string(from + 99));
        EXPECT_TRUE(RunToEnd(download).complete);
    }
    EXPECT_TRUE(ReadFile(chunk) == TestStore::GeneratedContent("big", from, 100));

    const fs::path whole = dir_.Path() / "whole";
    { std::ofstream create(whole); }
    fs::resize_file(whole, fourGiB + 100);
    {
        Download download(Wide(whole), Url(path), false, Download::kWholeResource);
        EXPECT_EQ(download.RangeHeader(), "Range:bytes=" + std::to_string(fourGiB + 100) + "-");
        const Outcome out = RunToEnd(download);
        EXPECT_TRUE(out.complete);
        EXPECT_EQ(out.existing, fourGiB + 100);
        EXPECT_EQ(out.transferred, 200u);
        EXPECT_EQ(download.ContentLength(), fourGiB + 300);
    }
    EXPECT_EQ(fs::file_size(whole), fourGiB + 300);
    std::ifstream in(whole, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(fourGiB + 100));
    std::string tail(200, '\0');
    in.read(tail.data(), 200);
    EXPECT_TRUE(tail == TestStore::GeneratedContent("big", fourGiB + 100, 200));
}

// Stopping between blocks leaves whole blocks behind, and the next transfer resumes there.
TEST_F(DownloadTest, AbandonedTransferResumesWhereItStopped) {
    const std::string path = ResourcePath();
    const std::string resource = Pattern(200000, 14);
    store_->PutResource(path, resource);
    const fs::path file = dir_.Path() / "chunk";
    uint64_t kept = 0;
    {
        Download download(Wide(file), Url(path), true, 0, 199999);
        ASSERT_TRUE(download.ReadSegment());
        ASSERT_TRUE(download.ReadSegment());
        kept = download.Transferred();
    }
    EXPECT_EQ(fs::file_size(file), kept);

    ExpectResumedAfter(file, path, kept, resource);
}

class FakeClock final : public Clock {
public:
    uint32_t TickCount() const override { return now; }
    LocalTime Now() const override { return {}; }
    uint32_t now = 0;
};

// Bytes per millisecond, renewed once a window of more than 300 ms has passed, and at the end.
TEST_F(DownloadTest, SpeedIsMeasuredOverWindowsOfTheClock) {
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(100000, 15));
    FakeClock clock;
    clock.now = 0xFFFFFF00u;  // the window spans the tick count's wrap
    Download download(LocalFile("chunk"), Url(path), true, 0, 99999, clock);
    ASSERT_TRUE(download.Ready());

    clock.now += 300;
    ASSERT_TRUE(download.ReadSegment());
    EXPECT_EQ(download.Speed(), 0u);  // not more than 300 ms yet

    clock.now += 100;
    ASSERT_TRUE(download.ReadSegment());
    const uint64_t firstWindow = download.Transferred();
    EXPECT_EQ(download.Speed(), firstWindow / 400);

    clock.now += 50;
    while (download.ReadSegment()) {
    }
    ASSERT_TRUE(download.Complete());
    EXPECT_EQ(download.Speed(), (100000 - firstWindow) / 50);
}

// A clock that moves on by a second each time it is read, standing for a transfer that takes
// minutes.
class RunningClock final : public Clock {
public:
    uint32_t TickCount() const override { return now += 1000; }
    LocalTime Now() const override { return {}; }
    mutable uint32_t now = 0;
};

// A server that sends a few bytes now and then passes libcurl's low-speed limit; a minute with
// next to nothing ends the transfer as a broken-off body, while a fast one is left alone.
TEST_F(DownloadTest, ATrickleIsBrokenOffAfterAMinute) {
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(100000, 16));
    {
        RunningClock clock;
        Download fast(LocalFile("fast"), Url(path), true, 0, 99999, clock);
        const Outcome out = RunToEnd(fast);
        EXPECT_TRUE(out.complete);
    }
    store_->SetFault(R"({"server":"cdn","fail_next":-1,"rate":2000,"path":")" + path + "\"}");
    RunningClock clock;
    LogCapture log;
    Download slow(LocalFile("slow"), Url(path), true, 0, 99999, clock);
    ASSERT_TRUE(slow.Ready());
    const Outcome out = RunToEnd(slow);
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(out.error, TransferError::kBodyCutShort);
    EXPECT_LT(slow.Transferred(), 100000u);
    EXPECT_TRUE(log.Contains(u"next to nothing arrived for a minute"));
}

// A full disk or a file size limit: the failed block is cut off again, so the file ends on a
// block that was written whole.
TEST_F(DownloadTest, WriteFailureCutsBackToTheLastWholeBlock) {
    const std::string path = ResourcePath();
    const std::string resource = Pattern(100000, 13);
    store_->PutResource(path, resource);
    const fs::path file = dir_.Path() / "chunk";
    LogCapture log;

    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    Outcome out;
    {
        Download download(Wide(file), Url(path), true, 0, 99999, Clock::System(), {}, &problem_);
        rlimit limited = saved;
        limited.rlim_cur = 25000;
        setrlimit(RLIMIT_FSIZE, &limited);
        out = RunToEnd(download);
        setrlimit(RLIMIT_FSIZE, &saved);
    }
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(out.complete);
    EXPECT_EQ(out.error, TransferError::kLocalFile);
    const std::string kept = ReadFile(file);
    EXPECT_EQ(kept.size(), out.transferred);
    EXPECT_GT(kept.size(), 25000u - Download::kBlockSize);
    EXPECT_LE(kept.size(), 25000u);
    EXPECT_TRUE(kept == resource.substr(0, kept.size()));
    EXPECT_FALSE(problem_.IsSet());
    const std::u16string expected = u"Problem writing file: " + Wide(file) +
                                    u" (!fstream::good()). Rejecting latest data segment.";
    EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{expected});
}

// ---- A stop in every step of a request -------------------------------------------------------

// Where the network holds the request when the caller is told to stop.
enum class Held { kLookup, kConnect, kHandshake, kAnswer, kBody };

struct StopCase {
    const char* name;
    Held held;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

const StopCase kStops[] = {
    {"name_lookup", Held::kLookup},
    {"tcp_connect", Held::kConnect},
    {"tls_handshake", Held::kHandshake},
    {"answer_headers", Held::kAnswer},
    {"body", Held::kBody},
};

class DownloadStopTest : public DownloadTest, public ::testing::WithParamInterface<StopCase> {
protected:
    void TearDown() override { ReleaseStalledLookups(); }
};

// Quit, pause or another game, while a packet-dropping network holds the request in any of its
// steps: the caller gets control back within a second, and taking the request down does not
// wait for the network either (nor for a name lookup still running). Stopped before the answer,
// the transfer is unready and interrupted, with no log line and no internet problem reported:
// the network did nothing wrong that anyone knows of. Stopped in the body, it simply goes no
// further.
TEST_P(DownloadStopTest, EndsWithinASecondAsInterrupted) {
    const StopCase& c = GetParam();
    const std::string path = ResourcePath();
    store_->PutResource(path, Pattern(50000, 4));
    std::optional<StalledListener> listener;
    std::u16string url = Url(path);
    std::function<bool()> held = [] { return true; };
    switch (c.held) {
        case Held::kLookup:
            url = Utf8ToWide("https://" + StalledLookupHost() + path);
            held = [] { return StalledLookups() > 0; };
            break;
        case Held::kConnect:
        case Held::kHandshake:
            // Nothing tells when the SYN or the ClientHello went out: the stop comes a little
            // later, far inside the connect time-out.
            listener.emplace(c.held == Held::kConnect ? StalledListener::Step::kConnect
                                                      : StalledListener::Step::kHandshake);
            url = Utf8ToWide(listener->Url() + path);
            break;
        case Held::kAnswer:
            store_->SetFault(R"({"server":"cdn","stall_seconds":20,"path":")" + path + "\"}");
            held = [path] { return !RequestsFor(path).empty(); };
            break;
        case Held::kBody:
            store_->SetFault(R"({"server":"cdn","stall_after_headers":20,"path":")" + path + "\"}");
            break;
    }
    constexpr std::chrono::milliseconds kHeldAtLeast{300};
    LogCapture log;
    Event stop(true, false);
    bool ready = false;
    TransferError error = TransferError::kNone;
    uint64_t transferred = 0;
    std::chrono::steady_clock::time_point stopped;
    {
        std::optional<StopWhen> stopper;
        if (c.held != Held::kBody) {
            stopper.emplace(stop, held, kHeldAtLeast);
        }
        Download download(LocalFile("chunk"), url, true, 0, 49999, Clock::System(),
                          {&stop, nullptr}, &problem_);
        ready = download.Ready();
        if (ready) {
            if (!stopper) {
                stopper.emplace(stop, held, kHeldAtLeast);
            }
            while (download.ReadSegment() && !stop.IsSet()) {
            }
        }
        error = download.Error();
        transferred = download.Transferred();
        stopped = stopper->SetAt();
    }  // the request is taken down here
    const auto took = std::chrono::steady_clock::now() - stopped;
    std::printf("[stop] a transfer held in its %s ended %lld ms after the stop\n", c.name,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    // A correctness bound with room for a loaded machine; the figure above is the measure.
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(ready, c.held == Held::kBody);
    EXPECT_EQ(error, c.held == Held::kBody ? TransferError::kNone : TransferError::kInterrupted);
    EXPECT_EQ(transferred, 0u);
    EXPECT_FALSE(problem_.IsSet());
    EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{});
}

INSTANTIATE_TEST_SUITE_P(Steps, DownloadStopTest, ::testing::ValuesIn(kStops),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
