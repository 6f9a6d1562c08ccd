// The connections manager's request thread and queue against the local test store: details
// posted as title then full record, the store's refusal, retries up to the tenth attempt,
// cancellation, the link cache and its clock, the debug link rewrite, the gate on sign-in, and
// Stop while the thread waits or a request stalls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/ConnectionsManager.h"
#include "core/AppEvent.h"
#include "core/DebugFlags.h"
#include "core/DownloadInfo.h"
#include "core/MessageQueue.h"
#include "core/TextUtil.h"
#include "engine/ConnectivityCheck.h"
#include "engine/EngineSignals.h"
#include "platform/Clock.h"
#include "support/ExpectEvent.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kMessageLimit = 30s;

class FakeClock final : public Clock {
public:
    uint32_t TickCount() const override { return tick.load(); }
    LocalTime Now() const override { return CurrentLocalTime(); }
    std::atomic<uint32_t> tick{0xFFFFF000u};  // close to the wrap, which must not matter
};

// The real manager, with a hook that runs on the request's thread before each API request goes
// to the store (to hold a request at a known point).
class HookedManager final : public ConnectionsManager {
public:
    using ConnectionsManager::ConnectionsManager;
    ~HookedManager() override { Stop(); }

    using ConnectionsManager::ExecuteRequest;
    bool ExecuteRequest(const std::u16string& path, const ParameterMap& parameters,
                        std::u16string& reply) override {
        std::function<void(const std::u16string&)> hook;
        {
            std::lock_guard lock(lock_);
            hook = hook_;
        }
        if (hook) {
            hook(path);
        }
        return ConnectionsManager::ExecuteRequest(path, parameters, reply);
    }
    void SetHook(std::function<void(const std::u16string&)> hook) {
        std::lock_guard lock(lock_);
        hook_ = std::move(hook);
    }

private:
    std::mutex lock_;
    std::function<void(const std::u16string&)> hook_;
};

// Holds the threads that reach it inside a request until the test lets them go.
class Gate {
public:
    void WaitHere() {
        std::unique_lock lock(lock_);
        ++reached_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    // Whether `count` threads have reached the gate in time.
    bool WaitReached(int count = 1) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, kMessageLimit, [&] { return reached_ >= count; });
    }
    void Open() {
        std::lock_guard lock(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int reached_ = 0;
    bool open_ = false;
};

constexpr const char* kGames[] = {
    R"({"name":"three-file-game","title":"Three File Game","files":[
        {"id":0,"path":"setup/three.bin","size":300000,"chunk_size":100000},
        {"id":1,"path":"three-data.bin","size":150000,"chunk_size":100000},
        {"id":2,"path":"docs/three.bin","size":5000,"chunk_size":100000}]})",
    R"({"name":"one-file-game","files":[{"id":0,"path":"one.bin","size":10000,"chunk_size":4096}]})",
    R"({"name":"half-game","files":[{"id":0,"path":"half/readme.bin","size":5000},
        {"id":1,"path":"half/game.bin","size":20000,"available":false,"notavailablemsg":"Later"}]})",
    R"({"name":"refused-game","owned":false,"files":[{"id":0,"path":"r.bin","size":100}]})",
    R"({"name":"other-game","files":[{"id":0,"path":"o.bin","size":1000}]})",
    R"({"name":"six-file-game","files":[{"id":0,"path":"six/0.bin","size":1000},
        {"id":1,"path":"six/1.bin","size":2000},{"id":2,"path":"six/2.bin","size":3000},
        {"id":3,"path":"six/3.bin","size":4000},{"id":4,"path":"six/4.bin","size":5000},
        {"id":5,"path":"six/5.bin","size":6000}]})",
};

// The log lines that name one of a game's chunk-index link requests, in the order logged.
std::vector<std::u16string> IndexLinkLines(const LogCapture& log, std::u16string_view game) {
    const std::u16string marker = u"fileLink/" + std::u16string(game) + u"/installer/";
    std::vector<std::u16string> found;
    for (const LogCapture::Line& line : log.Lines()) {
        if (line.message.find(marker) != std::u16string::npos) {
            found.push_back(line.message.substr(0, line.message.find(u"?")));
        }
    }
    return found;
}

class ConnectionsThreadsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            store_ = std::make_unique<TestStore>();
        } catch (const std::exception& error) {
            storeError_ = error.what();
        }
    }
    static void TearDownTestSuite() { store_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(store_) << "the test store did not start: " << storeError_;
        Store().UseInEnvironment();
        Store().ClearFaults();
        Store().ClearRequests();
        Store().AddToken("conn-token", "conn-secret");
        // Games of these tests' own, with file ids equal to their positions.
        for (const char* game : kGames) {
            Store().AddGame(game);
        }
        SetDebugFlags(0);
        Online(true);
        events_.problemReported->Reset();
        manager_.SetClock(clock_);
    }
    void TearDown() override {
        gate_.Open();  // a test that failed half-way must not leave the thread held
        manager_.Stop();
        SetDebugFlags(0);
    }

    TestStore& Store() { return *store_; }
    std::u16string DataFolder() const { return Utf8ToWide(data_.Path().string() + "/"); }
    std::u16string Downloads() const { return Utf8ToWide(downloads_.Path().string() + "/"); }

    void Online(bool online) {
        (online ? events_.noInternet->Reset() : events_.noInternet->Set());
        (online ? events_.connectionEstablished->Set() : events_.connectionEstablished->Reset());
    }

    void StartSignedIn() {
        ASSERT_TRUE(manager_.Start(DataFolder(), queue_, u"conn-token", u"conn-secret"));
        Expect<AuthStarted>();
        Expect<UserAuthenticated>();
    }

    // The next posted event, which must be an `Event`; a default one when it is not.
    template <class Event>
    Event Expect() {
        return ExpectEvent<Event>(queue_, kMessageLimit);
    }
    // The next posted event, whatever it is.
    std::optional<AppEvent> ExpectAny() {
        std::optional<AppEvent> event = queue_.Take(kMessageLimit);
        if (!event) {
            ADD_FAILURE() << "no event";
        }
        return event;
    }
    // The next event must be a details reply of this kind and result.
    std::unique_ptr<DetailsReply> ExpectDetails(uint32_t kind, DetailsReply::Result result) {
        auto reply = std::make_unique<DetailsReply>(Expect<DetailsReply>());
        EXPECT_EQ(reply->kind, kind);
        EXPECT_EQ(reply->result, result);
        return reply;
    }
    std::unique_ptr<FileLink> ExpectLink(uint32_t slot) {
        auto link = std::make_unique<FileLink>(Expect<FileLink>());
        EXPECT_EQ(link->workerSlot, slot);
        return link;
    }

    // Requests the store received on `server` whose path starts with `prefix`.
    std::vector<StoreRequest> Received(const std::string& server, const std::string& prefix) {
        std::vector<StoreRequest> found;
        for (const StoreRequest& request : Store().Requests()) {
            if (request.server == server && request.path.starts_with(prefix)) {
                found.push_back(request);
            }
        }
        return found;
    }

    static inline std::unique_ptr<TestStore> store_;
    static inline std::string storeError_;

    // The connectivity state is the test's to set; the manager reads it.
    EngineSignals signals_ = MakeEngineSignals();
    const ConnectivityEvents& events_ = signals_.connectivity;
    FakeClock clock_;
    TempDir data_;
    TempDir downloads_;
    MessageQueue queue_;
    Gate gate_;  // outlives the manager, whose hook may use it
    HookedManager manager_{signals_};
};

TEST_F(ConnectionsThreadsTest, DetailsArriveAsTitleThenFullRecordWithChunkIndexes) {
    StartSignedIn();
    manager_.RequestDetails(u"three-file-game", Downloads());
    const std::unique_ptr<DetailsReply> title =
        ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    EXPECT_EQ(title->title, u"Three File Game");
    EXPECT_EQ(title->gameName, u"three-file-game");
    EXPECT_FALSE(title->details);

    const std::unique_ptr<DetailsReply> full =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
    EXPECT_EQ(full->title, u"Three File Game");
    EXPECT_EQ(full->iconReference, u".data//three-file-game.png");
    EXPECT_EQ(full->message, u"");
    ASSERT_TRUE(full->details);
    const DownloadInfo& record = *full->details;
    EXPECT_EQ(record.name, u"three-file-game");
    EXPECT_EQ(record.folder, Downloads());
    ASSERT_EQ(record.files.size(), 3u);
    const uint64_t sizes[] = {300000, 150000, 5000};
    const size_t chunks[] = {3, 2, 1};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(record.files[i].size, sizes[i]) << i;
        EXPECT_EQ(record.files[i].chunks.size(), chunks[i]) << i;
    }
    EXPECT_EQ(record.total, 455000u);
    EXPECT_EQ(record.available, record.total);
    EXPECT_EQ(record.downloaded, 0u);
    EXPECT_TRUE(std::filesystem::exists(data_.Path() / "setup/three.bin.crc"));
    EXPECT_TRUE(std::filesystem::exists(data_.Path() / "docs/three.bin.crc"));

    // A file that is not available counts in the total only.
    manager_.RequestDetails(u"half-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    const std::unique_ptr<DetailsReply> unreleased =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
    ASSERT_TRUE(unreleased->details);
    EXPECT_EQ(unreleased->details->total, 25000u);
    EXPECT_EQ(unreleased->details->available, 5000u);
}

TEST_F(ConnectionsThreadsTest, RefusedGameYieldsTheStoresMessageWithoutRetry) {
    StartSignedIn();
    manager_.RequestDetails(u"refused-game", Downloads());
    const std::unique_ptr<DetailsReply> refused =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kRefused);
    EXPECT_EQ(refused->message, u"You do not own this game");
    EXPECT_EQ(refused->gameName, u"refused-game");
    EXPECT_FALSE(refused->details);
    EXPECT_EQ(Received("api", "/en/downloader/gameDetails/").size(), 1u);
    EXPECT_EQ(queue_.Size(), 0u);
}

TEST_F(ConnectionsThreadsTest, NineFailuresThenSuccessAfterTheAttemptsLeftWarnings) {
    Store().SetFault(
        R"({"server":"api","path":"/en/downloader/gameDetails/one-file-game","fail_next":9,"status":500})");
    StartSignedIn();
    LogCapture log;
    manager_.RequestDetails(u"one-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    const std::unique_ptr<DetailsReply> full =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
    EXPECT_TRUE(full->details);

    std::vector<std::u16string> expected;
    for (int left = 9; left >= 1; --left) {
        expected.push_back(
            FormatWide(u"Could not fetch game info for one-file-game. %d attempts left", left));
    }
    std::vector<std::u16string> retries;
    for (const std::u16string& warning : log.Warnings()) {
        if (warning.starts_with(u"Could not fetch game info")) {
            retries.push_back(warning);
        }
    }
    EXPECT_EQ(retries, expected);
    EXPECT_EQ(Received("api", "/en/downloader/gameDetails/").size(), 10u);
}

TEST_F(ConnectionsThreadsTest, TenFailuresGiveUpWithResultTwo) {
    Store().SetFault(
        R"({"server":"api","path":"/en/downloader/gameDetails/one-file-game","fail_next":10,"status":500})");
    StartSignedIn();
    LogCapture log;
    manager_.RequestDetails(u"one-file-game", Downloads());
    const std::unique_ptr<DetailsReply> failed =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kFailed);
    EXPECT_EQ(failed->message, u"");
    EXPECT_EQ(failed->gameName, u"one-file-game");
    EXPECT_EQ(log.Count(u"attempts left"), 9u);
    EXPECT_EQ(log.Count(u"Could not fetch game info for one-file-game. Permanent failure"), 1u);
    EXPECT_EQ(Received("api", "/en/downloader/gameDetails/").size(), 10u);

    // A link request behind it is served: the queue goes on.
    manager_.RequestLink(u"three-file-game", 0, 4, 0);
    EXPECT_FALSE(ExpectLink(4)->link.empty());
}

TEST_F(ConnectionsThreadsTest, CancelledRequestsPostNothing) {
    StartSignedIn();
    // Queued while offline, so the request thread can't have taken it yet.
    Online(false);
    manager_.RequestDetails(u"three-file-game", Downloads());
    manager_.RequestDetails(u"one-file-game", Downloads());
    manager_.CancelDetails(u"three-file-game");
    manager_.CancelDetails(u"other-name");  // touches nothing else
    manager_.RequestLink(u"three-file-game", 0, 7, 0);
    Online(true);
    ExpectLink(7);
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    EXPECT_EQ(ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess)->gameName,
              u"one-file-game");
    const std::vector<StoreRequest> details = Received("api", "/en/downloader/gameDetails/");
    ASSERT_EQ(details.size(), 1u);
    EXPECT_EQ(details[0].path, "/en/downloader/gameDetails/one-file-game");
}

// A game removed and added again while its old request still exists: the cancel belongs to the
// old request only, and the new one is asked for and answered, whether the old one was still
// queued or already running.
TEST_F(ConnectionsThreadsTest, GameAddedAgainAfterACancelIsAnswered) {
    manager_.SetHook([this](const std::u16string& path) {
        if (path.ends_with(u"one-file-game/installer/0/crc")) {
            gate_.WaitHere();
        }
    });
    StartSignedIn();

    // Running: held inside its chunk-index link request.
    manager_.RequestDetails(u"one-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    ASSERT_TRUE(gate_.WaitReached());
    // Queued behind it.
    manager_.RequestDetails(u"three-file-game", Downloads());
    for (const char16_t* game : {u"one-file-game", u"three-file-game"}) {
        manager_.CancelDetails(game);
        manager_.RequestDetails(game, Downloads());
    }
    gate_.Open();

    // The withdrawn requests post nothing more; each game's new request is answered in full.
    for (const char16_t* game : {u"one-file-game", u"three-file-game"}) {
        EXPECT_EQ(ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess)->gameName, game);
        const std::unique_ptr<DetailsReply> full =
            ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
        EXPECT_EQ(full->gameName, game);
        EXPECT_TRUE(full->details);
    }
    EXPECT_EQ(queue_.Size(), 0u);
    const std::vector<StoreRequest> details = Received("api", "/en/downloader/gameDetails/");
    std::vector<std::string> paths;
    for (const StoreRequest& request : details) {
        paths.push_back(request.path);
    }
    const std::vector<std::string> expected = {
        "/en/downloader/gameDetails/one-file-game",
        "/en/downloader/gameDetails/one-file-game",
        "/en/downloader/gameDetails/three-file-game",
    };
    EXPECT_EQ(paths, expected);
}

TEST_F(ConnectionsThreadsTest, CancelWhileRunningKeepsTheTitleAndPostsNothingMore) {
    manager_.SetHook([this](const std::u16string& path) {
        if (path.ends_with(u"/crc")) {
            gate_.WaitHere();
        }
    });
    StartSignedIn();
    manager_.RequestDetails(u"one-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    ASSERT_TRUE(gate_.WaitReached());
    manager_.CancelDetails(u"one-file-game");
    manager_.RequestLink(u"one-file-game", 0, 2, 0);
    gate_.Open();
    // The next message is the link: the cancelled request's final reply never comes.
    ExpectLink(2);
    EXPECT_EQ(queue_.Size(), 0u);
}

TEST_F(ConnectionsThreadsTest, LinkCacheServesTheSameFileForTwoSeconds) {
    StartSignedIn();
    const std::u16string url = Utf8ToWide(Store().GameFile("three-file-game", 0).url);
    const auto fetched = [&] { return Received("api", "/en/downloader/fileLink/").size(); };

    manager_.RequestLink(u"three-file-game", 0, 1, 0);
    EXPECT_EQ(ExpectLink(1)->link, url);
    EXPECT_EQ(fetched(), 1u);

    clock_.tick += 1999;  // crosses the 32-bit wrap
    manager_.RequestLink(u"three-file-game", 0, 2, 0);
    EXPECT_EQ(ExpectLink(2)->link, url);
    EXPECT_EQ(fetched(), 1u);

    // Same file id, another game: asked for.
    manager_.RequestLink(u"other-game", 0, 3, 0);
    EXPECT_EQ(ExpectLink(3)->link, Utf8ToWide(Store().GameFile("other-game", 0).url));
    EXPECT_EQ(fetched(), 2u);

    // 2000 ms after that fetch the same request is asked for again.
    clock_.tick += 2000;
    manager_.RequestLink(u"other-game", 0, 4, 0);
    ExpectLink(4);
    EXPECT_EQ(fetched(), 3u);

    // A link that can't be fetched is answered empty and reported as an internet problem.
    Store().SetFault(R"({"server":"api","path_prefix":"/en/downloader/fileLink/","status":500})");
    manager_.RequestLink(u"three-file-game", 1, 5, 0);
    EXPECT_EQ(ExpectLink(5)->link, u"");
    EXPECT_TRUE(events_.problemReported->IsSet());
}

TEST_F(ConnectionsThreadsTest, DebugBitZeroRewritesSecureToOpen) {
    SetDebugFlags(kDebugOpenLinks);
    StartSignedIn();
    manager_.RequestLink(u"three-file-game", 1, 0, 0);
    const std::u16string link = ExpectLink(0)->link;
    EXPECT_NE(link.find(u"/open/three-file-game/"), std::u16string::npos) << WideToUtf8(link);
    EXPECT_EQ(link.find(u"/secure/"), std::u16string::npos);

    manager_.RequestDetails(u"one-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
    EXPECT_EQ(Received("cdn", "/open/one-file-game/one.bin.crc").size(), 1u);
    EXPECT_TRUE(Received("cdn", "/secure/").empty());
}

TEST_F(ConnectionsThreadsTest, NothingIsServedUntilSignInThenLinksFirst) {
    ASSERT_TRUE(manager_.Start(DataFolder(), queue_, u"", u""));
    Expect<AuthStarted>();
    Expect<AuthFailed>();
    manager_.RequestDetails(u"one-file-game", Downloads());
    manager_.RequestLink(u"three-file-game", 0, 9, 0);
    manager_.RequestLogin(Utf8ToWide(TestStore::DemoEmail()),
                          Utf8ToWide(TestStore::DemoPassword()));
    Expect<AuthStarted>();
    // The request thread starts the moment the sign-in is known, so its answers may be posted
    // before the sign-in thread posts its outcome; among themselves they keep their order.
    bool authenticated = false;
    std::vector<std::string> served;
    for (int count = 0; count < 4; ++count) {
        std::optional<AppEvent> event = ExpectAny();
        ASSERT_TRUE(event);
        authenticated |= std::holds_alternative<UserAuthenticated>(*event);
        if (const FileLink* link = std::get_if<FileLink>(&*event)) {
            EXPECT_EQ(link->workerSlot, 9u);
            served.push_back("link");
        }
        if (const DetailsReply* reply = std::get_if<DetailsReply>(&*event)) {
            EXPECT_EQ(reply->result, DetailsReply::kSuccess);
            served.push_back(reply->kind == DetailsReply::kTitleOnly ? "title" : "details");
        }
    }
    EXPECT_TRUE(authenticated);
    EXPECT_EQ(served, (std::vector<std::string>{"link", "title", "details"}));

    std::vector<std::string> api;
    for (const StoreRequest& request : Store().Requests()) {
        if (request.server == "api") {
            api.push_back(request.path);
        }
    }
    const std::vector<std::string> expected = {
        "/en/oauth/initialize/",
        "/en/oauth/login/",
        "/en/oauth/token/",
        "/en/downloader/userDetails/",
        "/en/downloader/fileLink/three-file-game/installer/0",
        "/en/downloader/gameDetails/one-file-game",
        "/en/downloader/fileLink/one-file-game/installer/0/crc",
    };
    EXPECT_EQ(api, expected);
}

// A worker waiting for a link holds its connection idle: its request overtakes the queued details
// requests, and is answered between the files of the one that runs.
TEST_F(ConnectionsThreadsTest, LinkRequestsOvertakeQueuedDetails) {
    manager_.SetHook([this](const std::u16string& path) {
        if (path.ends_with(u"gameDetails/three-file-game")) {
            gate_.WaitHere();
        }
    });
    StartSignedIn();
    manager_.RequestDetails(u"three-file-game", Downloads());
    ASSERT_TRUE(gate_.WaitReached());
    for (const char16_t* game : {u"one-file-game", u"half-game", u"other-game"}) {
        manager_.RequestDetails(game, Downloads());
    }
    manager_.RequestLink(u"other-game", 0, 3, 0);
    manager_.RequestLink(u"one-file-game", 0, 4, 0);
    gate_.Open();

    EXPECT_EQ(ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess)->gameName,
              u"three-file-game");
    ExpectLink(3);
    ExpectLink(4);
    EXPECT_EQ(ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess)->gameName,
              u"three-file-game");
    for (const char16_t* game : {u"one-file-game", u"half-game", u"other-game"}) {
        EXPECT_EQ(ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess)->gameName, game);
        EXPECT_EQ(ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess)->gameName, game);
    }

    std::vector<std::string> api;
    for (const StoreRequest& request : Store().Requests()) {
        if (request.server == "api" && !request.path.starts_with("/en/downloader/user")) {
            api.push_back(request.path);
        }
    }
    ASSERT_GE(api.size(), 6u);
    const std::vector<std::string> first(api.begin(), api.begin() + 3);
    const std::vector<std::string> expected = {
        "/en/downloader/gameDetails/three-file-game",
        "/en/downloader/fileLink/other-game/installer/0",
        "/en/downloader/fileLink/one-file-game/installer/0",
    };
    EXPECT_EQ(first, expected);
    // Then the game's index links, which go out together and so reach the store in any order.
    std::vector<std::string> indexLinks(api.begin() + 3, api.begin() + 6);
    std::sort(indexLinks.begin(), indexLinks.end());
    const std::vector<std::string> expectedLinks = {
        "/en/downloader/fileLink/three-file-game/installer/0/crc",
        "/en/downloader/fileLink/three-file-game/installer/1/crc",
        "/en/downloader/fileLink/three-file-game/installer/2/crc",
    };
    EXPECT_EQ(indexLinks, expectedLinks);
}

// The files' index fetches overlap (file 0's link request waits until file 2's has started), yet
// the replies and the log come out in file order, as one fetch after another gave them.
TEST_F(ConnectionsThreadsTest, OverlappingIndexFetchesPostAndLogInFileOrder) {
    std::atomic<bool> lastStarted{false};
    std::atomic<bool> overlapped{false};
    manager_.SetHook([&](const std::u16string& path) {
        if (path.ends_with(u"installer/0/crc")) {
            overlapped = WaitFor([&] { return lastStarted.load(); });
        } else if (path.ends_with(u"installer/2/crc")) {
            lastStarted = true;
        }
    });
    LogCapture log;
    StartSignedIn();
    manager_.RequestDetails(u"three-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    const std::unique_ptr<DetailsReply> full =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess);
    EXPECT_TRUE(overlapped.load());
    ASSERT_TRUE(full->details);
    const size_t chunks[] = {3, 2, 1};
    ASSERT_EQ(full->details->files.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(full->details->files[i].chunks.size(), chunks[i]) << i;
    }
    EXPECT_EQ(full->details->total, 455000u);
    EXPECT_EQ(queue_.Size(), 0u);

    const std::vector<std::u16string> expected = {
        u"Request succeeded for /en/downloader/fileLink/three-file-game/installer/0/crc",
        u"Request succeeded for /en/downloader/fileLink/three-file-game/installer/1/crc",
        u"Request succeeded for /en/downloader/fileLink/three-file-game/installer/2/crc",
    };
    EXPECT_EQ(IndexLinkLines(log, u"three-file-game"), expected);
}

// The middle file fails every time: each attempt ends with its failure as before, whatever the
// file after it did meanwhile, and the final record holds the files before it only.
TEST_F(ConnectionsThreadsTest, AFailedMiddleFileFailsTheDetailsAsBefore) {
    Store().SetFault(
        R"({"server":"api","path":"/en/downloader/fileLink/three-file-game/installer/1/crc",)"
        R"("status":500,"fail_next":-1})");
    // File 1's request goes out only once file 2's has, in every attempt.
    std::atomic<int> lastStarted{0};
    std::atomic<int> attempt{0};
    manager_.SetHook([&](const std::u16string& path) {
        if (path.ends_with(u"installer/1/crc")) {
            const int mine = ++attempt;
            WaitFor([&] { return lastStarted.load() >= mine; });
        } else if (path.ends_with(u"installer/2/crc")) {
            ++lastStarted;
        }
    });
    LogCapture log;
    StartSignedIn();
    manager_.RequestDetails(u"three-file-game", Downloads());
    for (int i = 0; i < ConnectionsManager::kMaxDetailsAttempts; ++i) {
        ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    }
    const std::unique_ptr<DetailsReply> failed =
        ExpectDetails(DetailsReply::kFinal, DetailsReply::kFailed);
    EXPECT_EQ(lastStarted.load(), ConnectionsManager::kMaxDetailsAttempts);
    ASSERT_TRUE(failed->details);
    const DownloadInfo& record = *failed->details;
    ASSERT_EQ(record.files.size(), 3u);
    EXPECT_EQ(record.files[0].chunks.size(), 3u);
    EXPECT_TRUE(record.files[1].chunks.empty());
    EXPECT_TRUE(record.files[2].chunks.empty());
    EXPECT_EQ(record.total, 300000u);

    // Per attempt: file 0, then file 1's failure; file 2's lines are dropped with its result.
    std::vector<std::u16string> expected;
    for (int i = 0; i < ConnectionsManager::kMaxDetailsAttempts; ++i) {
        expected.push_back(
            u"Request succeeded for /en/downloader/fileLink/three-file-game/installer/0/crc");
        expected.push_back(
            u"Request failed (error: 500) for /en/downloader/fileLink/three-file-game/"
            u"installer/1/crc");
    }
    EXPECT_EQ(IndexLinkLines(log, u"three-file-game"), expected);
    EXPECT_EQ(log.Count(u"attempts left"), 9u);
    EXPECT_EQ(log.Count(u"Permanent failure"), 1u);
}

// A cancel keeps the files not yet started from being fetched; Stop ends the fetches in flight
// at once.
TEST_F(ConnectionsThreadsTest, CancelAndStopEndTheIndexFetches) {
    manager_.SetHook([this](const std::u16string& path) {
        if (path.ends_with(u"/crc")) {
            gate_.WaitHere();
        }
    });
    StartSignedIn();
    manager_.RequestDetails(u"six-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    ASSERT_TRUE(gate_.WaitReached(4));  // four files at once
    manager_.CancelDetails(u"six-file-game");
    gate_.Open();
    // Served after the cancelled request has ended, helpers and all.
    manager_.RequestDetails(u"one-file-game", Downloads());
    EXPECT_EQ(ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess)->gameName,
              u"one-file-game");
    EXPECT_EQ(ExpectDetails(DetailsReply::kFinal, DetailsReply::kSuccess)->gameName,
              u"one-file-game");
    EXPECT_EQ(queue_.Size(), 0u);
    EXPECT_EQ(Received("api", "/en/downloader/fileLink/six-file-game/").size(), 4u);

    manager_.SetHook({});
    Store().SetFault(R"({"server":"cdn","path_prefix":"/secure/six-file-game/",)"
                     R"("stall_seconds":60,"fail_next":-1})");
    manager_.RequestDetails(u"six-file-game", Downloads());
    ExpectDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess);
    ASSERT_TRUE(WaitFor([&] { return Received("cdn", "/secure/six-file-game/").size() >= 4; }));
    const auto before = std::chrono::steady_clock::now();
    manager_.Stop();
    // Far below the stall: the stalled fetches were ended, not waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
    EXPECT_EQ(queue_.Size(), 0u);
}

TEST_F(ConnectionsThreadsTest, StopReturnsWhileTheThreadsWait) {
    // Signed out and offline: both threads wait on events.
    Online(false);
    ASSERT_TRUE(manager_.Start(DataFolder(), queue_, u"conn-token", u"conn-secret"));
    manager_.RequestDetails(u"three-file-game", Downloads());
    manager_.RequestLink(u"three-file-game", 0, 1, 0);
    manager_.Stop();
    EXPECT_EQ(queue_.Size(), 0u);
    EXPECT_TRUE(Store().Requests().empty());
    EXPECT_TRUE(manager_.IsTerminating());
}

TEST_F(ConnectionsThreadsTest, StopReturnsWhileARequestStalls) {
    StartSignedIn();
    Store().SetFault(
        R"({"server":"api","path_prefix":"/en/downloader/fileLink/","stall_seconds":8})");
    manager_.RequestLink(u"three-file-game", 0, 6, 0);
    ASSERT_TRUE(WaitFor([&] { return !Received("api", "/en/downloader/fileLink/").empty(); }));
    manager_.Stop();
    // The request in flight ended by the transfer time-out; the worker still got its answer.
    EXPECT_EQ(ExpectLink(6)->link, u"");
}

}  // namespace
