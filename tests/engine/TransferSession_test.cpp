// The shared transfer session behind Download: counted users, connections kept alive from one
// transfer to the next (also across threads and session closes), and many threads at once.
#include "engine/TransferSession.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "core/TextUtil.h"
#include "engine/Download.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a whole transfer; true when it completed.
bool Fetch(const fs::path& file, const std::string& url, uint64_t from, uint64_t to) {
    Download download(Utf8ToWide(file.string()), Utf8ToWide(url), true, from, to);
    while (download.ReadSegment()) {
    }
    return download.Complete() && download.Error() == TransferError::kNone;
}

class TransferSessionTest : public ::testing::Test {
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
        ASSERT_EQ(TransferSession::UserCount(), 0);
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

    static TestStore* store_;
    TempDir dir_;
};

TestStore* TransferSessionTest::store_ = nullptr;

TEST_F(TransferSessionTest, LastUserClosesTheSessionAndTheNextOpensANewOne) {
    store_->PutResource("/files/count.bin", std::string(1000, 'c'));
    const std::u16string url = Utf8ToWide(store_->CdnUrl() + "/files/count.bin");
    EXPECT_FALSE(TransferSession::IsOpen());
    const uint64_t openedBefore = TransferSession::SessionsOpened();
    {
        Download first(Utf8ToWide((dir_.Path() / "a").string()), url, true, 0, 499);
        ASSERT_TRUE(first.Ready());
        EXPECT_EQ(TransferSession::UserCount(), 1);
        EXPECT_TRUE(TransferSession::IsOpen());
        {
            Download second(Utf8ToWide((dir_.Path() / "b").string()), url, true, 500, 999);
            ASSERT_TRUE(second.Ready());
            EXPECT_EQ(TransferSession::UserCount(), 2);
            EXPECT_EQ(TransferSession::SessionsOpened(), openedBefore + 1);
        }
        EXPECT_EQ(TransferSession::UserCount(), 1);
        EXPECT_TRUE(TransferSession::IsOpen());
    }
    EXPECT_EQ(TransferSession::UserCount(), 0);
    EXPECT_FALSE(TransferSession::IsOpen());

    // A transfer that failed after reaching the session still counts until it is destroyed.
    {
        Download failed(Utf8ToWide((dir_.Path() / "c").string()),
                        u"http://127.0.0.1:1/files/none.bin", true, 0, 99);
        EXPECT_EQ(failed.Error(), TransferError::kConnection);
        EXPECT_EQ(TransferSession::UserCount(), 1);
        EXPECT_EQ(TransferSession::SessionsOpened(), openedBefore + 2);
    }
    EXPECT_EQ(TransferSession::UserCount(), 0);
    EXPECT_FALSE(TransferSession::IsOpen());
}

// One request per chunk, on the connection the previous transfer left open, whichever thread
// runs it and although the session closed in between.
TEST_F(TransferSessionTest, ConsecutiveTransfersReuseTheConnection) {
    for (const bool plainHttp : {false, true}) {
        SCOPED_TRACE(plainHttp ? "http" : "https");
        store_->ClearRequests();
        TransferSession::DropIdleHandles();
        const std::string path = plainHttp ? "/files/reuse-http.bin" : "/files/reuse.bin";
        const std::string content = TestStore::GeneratedContent("reuse", 0, 30000);
        store_->PutResource(path, content);
        const std::string url = (plainHttp ? store_->CdnHttpUrl() : store_->CdnUrl()) + path;

        bool firstOk = false;
        std::thread([&] { firstOk = Fetch(dir_.Path() / "a", url, 0, 9999); }).join();
        EXPECT_FALSE(TransferSession::IsOpen());
        bool secondOk = false;
        std::thread([&] { secondOk = Fetch(dir_.Path() / "b", url, 10000, 19999); }).join();
        EXPECT_TRUE(Fetch(dir_.Path() / "c", url, 20000, 29999));
        EXPECT_TRUE(firstOk);
        EXPECT_TRUE(secondOk);
        EXPECT_TRUE(ReadAll(dir_.Path() / "a") + ReadAll(dir_.Path() / "b") +
                        ReadAll(dir_.Path() / "c") ==
                    content);

        const auto requests = RequestsFor(path);
        ASSERT_EQ(requests.size(), 3u);
        for (const StoreRequest& r : requests) {
            EXPECT_EQ(r.status, 206);
            EXPECT_EQ(r.connection, requests[0].connection);
        }
    }
}

// Several workers fetching ranges of one resource at once through the shared session.
TEST_F(TransferSessionTest, ConcurrentRangesOfOneResource) {
    constexpr int kThreads = 6;
    constexpr int kRangesPerThread = 5;
    constexpr uint64_t kRange = 40000;
    const std::string path = "/files/concurrent.bin";
    store_->PutGeneratedResource(path, "concurrent", kThreads * kRangesPerThread * kRange);
    const std::string url = store_->CdnUrl() + path;
    TransferSession::DropIdleHandles();

    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kRangesPerThread; ++k) {
                const uint64_t from = static_cast<uint64_t>(t * kRangesPerThread + k) * kRange;
                const fs::path file =
                    dir_.Path() / ("part" + std::to_string(t) + "_" + std::to_string(k));
                if (!Fetch(file, url, from, from + kRange - 1) ||
                    ReadAll(file) != TestStore::GeneratedContent("concurrent", from, kRange)) {
                    ++failures[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    EXPECT_EQ(TransferSession::UserCount(), 0);

    const auto requests = RequestsFor(path);
    EXPECT_EQ(requests.size(), static_cast<size_t>(kThreads * kRangesPerThread));
    std::set<int> connections;
    for (const StoreRequest& r : requests) {
        EXPECT_EQ(r.status, 206);
        connections.insert(r.connection);
    }
    // Never more connections than transfers running at once.
    EXPECT_LE(connections.size(), static_cast<size_t>(kThreads));
}

}  // namespace
