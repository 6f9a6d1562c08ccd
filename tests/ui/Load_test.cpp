// The window under load, against the test store: twenty connections while the store drops
// connections at random and its site goes off and on, and a hundred games reordered and removed
// while they download. Each prints its figures; every byte that arrives is checked.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "controls/ProgressListView.h"
#include "core/NormalisePath.h"
#include "core/RecordStore.h"
#include "engine/Md5Context.h"
#include "support/FileFixtures.h"
#include "support/WindowFixture.h"

namespace fs = std::filesystem;

namespace {

// Under a sanitizer the resident size is mostly the sanitizer's (freed memory is held back in a
// quarantine), so it says nothing about ours.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryIsOurs = false;
#else
constexpr bool kResidentMemoryIsOurs = true;
#endif

// The longest the window may stop answering while a hundred rows are reordered and removed. It
// runs at about 20 ms; storing every renumbered record with a write of its own took up to
// hundreds.
// A sanitizer makes everything several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::chrono::milliseconds kLongestStall{1500};
#else
constexpr std::chrono::milliseconds kLongestStall{250};
#endif

// Resident memory of this process now, in KiB.
long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

std::string GameJson(const std::string& name, uint64_t size, uint64_t chunkSize) {
    return R"({"name":")" + name + R"(","title":"Title of )" + name +
           R"(","owned":true,"files":[{"id":0,"path":")" + name + R"(/setup.bin","size":)" +
           std::to_string(size) + R"(,"seed":")" + name + R"(/0","chunk_size":)" +
           std::to_string(chunkSize) + R"(,"timestamp":"1714557700"}]})";
}

// Whether every file of the completed item is on disk with the store's own digest; nothing else
// (no chunk or partial file) is left in the item's folders.
::testing::AssertionResult CompletedIntact(const DownloadInfo& item, TestStore& store) {
    for (const FileInfo& file : item.files) {
        const fs::path path = WideToUtf8(NormalisePath(item.folder + u"/" + file.name));
        if (WideToUtf8(Md5Hex(ReadFile(path))) !=
            store.ExpectedFileMd5(WideToUtf8(item.name), file.id)) {
            return ::testing::AssertionFailure() << path << " differs from the store's file";
        }
        for (const fs::directory_entry& entry : fs::directory_iterator(path.parent_path())) {
            if (entry.path().string().find(".chunk") != std::string::npos) {
                return ::testing::AssertionFailure() << "left behind: " << entry.path();
            }
        }
    }
    return ::testing::AssertionSuccess();
}

class LoadTest : public ::testing::Test, public WindowFixture {};

TEST_F(LoadTest, TwentyConnectionsThroughDropsAndAFlappingSiteLoseNothing) {
    StoreSignIn();
    Settings()->SetDword(u"ConcurrentConnections", 20);
    store.AddGame(GameJson("load-big", 24 * 1024 * 1024 + 12345, 1024 * 1024));
    store.AddGame(GameJson("load-small", 3 * 1024 * 1024 + 7, 256 * 1024));
    // Every connection at 400 kB/s, so that the run lasts through the site's flapping.
    store.SetFault(R"({"server":"cdn","path_prefix":"/secure/","fail_next":-1,)"
                   R"("drop_probability":0.25,"seed":11,"rate":400000})");
    const int threadsBefore = OwnThreadCount();

    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://load-big"});
    ASSERT_EQ(window.Core().Downloads().EnabledWorkerCount(), 20u);
    ASSERT_TRUE(SignedInAndOnline());
    ASSERT_EQ(Lifecycle().AddItemFromUrl(u"load-small"), ItemLifecycle::AddResult::Added);
    ASSERT_EQ(Lifecycle().AddItemFromUrl(u"demo-game"), ItemLifecycle::AddResult::Added);

    // The site goes off and on while the games download.
    int flaps = 0;
    QTimer flapper;
    flapper.setInterval(400);
    QObject::connect(&flapper, &QTimer::timeout, [&] {
        store.SetSiteUp(flaps % 2 == 1);
        if (++flaps == 10) {
            flapper.stop();
            store.SetSiteUp(true);
        }
    });
    flapper.start();

    std::vector<long> samples;
    const auto allDone = [&] {
        samples.push_back(ResidentKiB());
        for (const auto& item : Lifecycle().Items()) {
            if (item->state != ItemState::Completed) {
                return false;
            }
        }
        return Lifecycle().Items().size() == 3;
    };
    ASSERT_TRUE(PumpUntil(allDone, std::chrono::seconds(150)));
    flapper.stop();
    store.SetSiteUp(true);
    EXPECT_GE(flaps, 4) << "the site hardly went off while the games downloaded";
    for (const auto& item : Lifecycle().Items()) {
        EXPECT_TRUE(CompletedIntact(*item, store)) << WideToUtf8(item->name);
    }

    // A body the store cut shows as a range request that got fewer bytes than it asked for.
    size_t transfers = 0;
    size_t dropped = 0;
    for (const StoreRequest& request : store.Requests()) {
        if (request.server != "cdn" || request.range.rfind("bytes=", 0) != 0) {
            continue;
        }
        const std::string range = request.range.substr(6);
        const size_t dash = range.find('-');
        if (dash == std::string::npos || dash + 1 >= range.size()) {
            continue;
        }
        ++transfers;
        const uint64_t first = std::stoull(range.substr(0, dash));
        const uint64_t last = std::stoull(range.substr(dash + 1));
        dropped += request.bytesSent < last - first + 1 ? 1u : 0u;
    }
    EXPECT_GT(dropped, 0u) << "the store dropped nothing: the test tested nothing";

    // Flat: the second half of the run needs no more memory than the first half's peak allows.
    const auto half = static_cast<std::ptrdiff_t>(samples.size() / 2);
    const long firstHalfPeak = *std::max_element(samples.begin(), samples.begin() + half);
    const long peak = *std::max_element(samples.begin(), samples.end());
    if (kResidentMemoryIsOurs) {
        EXPECT_LT(peak - firstHalfPeak, 16 * 1024) << "resident memory kept growing";
    }

    window.OnTrayCommand(ID_TRAY_QUIT);
    EXPECT_LE(OwnThreadCount(), threadsBefore + kSanitizerThreads);
    EXPECT_GE(OwnThreadCount(), threadsBefore);
    std::printf(
        "load: 20 connections, %zu range requests, %zu dropped by the store, %d site flaps; "
        "3 games completed, bytes lost 0; peak resident %ld KiB (first half %ld KiB); "
        "threads left %d\n",
        transfers, dropped, flaps, peak, firstHalfPeak,
        std::max(0, OwnThreadCount() - threadsBefore - kSanitizerThreads));
}

TEST_F(LoadTest, AHundredGamesReorderedAndRemovedWhileDownloading) {
    StoreSignIn();
    constexpr int kGames = 100;
    for (int i = 0; i < kGames; ++i) {
        store.AddGame(
            GameJson("many-" + std::to_string(i), 40000 + static_cast<uint64_t>(i), 16384));
    }
    // Slow enough that the list is busy while it is worked on.
    store.SetFault(R"({"server":"cdn","path_prefix":"/secure/many-","fail_next":-1,)"
                   R"("rate":150000})");
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());
    for (int i = 0; i < kGames; ++i) {
        ASSERT_EQ(Lifecycle().AddItemFromUrl(Utf8ToWide("many-" + std::to_string(i))),
                  ItemLifecycle::AddResult::Added);
    }
    EXPECT_EQ(Lifecycle().AddItemFromUrl(u"one-too-many"), ItemLifecycle::AddResult::ListFull);

    // The event loop's longest gap, from a 10 ms timer.
    auto lastTick = std::chrono::steady_clock::now();
    std::chrono::milliseconds longestGap{0};
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(
            longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(now - lastTick));
        lastTick = now;
    });
    ticker.start();
    DialogAnswerer<QMessageBox> yes(
        [](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });

    std::mt19937 random(5);
    std::set<std::u16string> removed;
    int moves = 0;
    for (int round = 0; round < 60; ++round) {
        const int rows = window.List()->RowCount();
        ASSERT_GT(rows, 0);
        const int row = static_cast<int>(random() % static_cast<unsigned>(rows));
        const std::u16string name = window.List()->RowId(row);
        if (round % 3 == 2) {
            window.OnRowCommand(WM_APP_REMOVE_ITEM, name, round % 2);
            removed.insert(name);
        } else {
            window.OnRowCommand(WM_APP_ROW_TOGGLE, name, 0);
            ++moves;
        }
        PumpFor(std::chrono::milliseconds(40));
    }
    ASSERT_TRUE(PumpUntil([&] {
        return Lifecycle().Items().size() == static_cast<size_t>(kGames) - removed.size();
    }));
    PumpFor(std::chrono::milliseconds(500));
    ticker.stop();

    // The list, the items and the stored records agree: same names, same places.
    const int rows = window.List()->RowCount();
    ASSERT_EQ(rows, kGames - static_cast<int>(removed.size()));
    std::optional<RegistryKey> key = OpenDownloadsKey(registry);
    ASSERT_TRUE(key);
    std::vector<std::unique_ptr<DownloadInfo>> stored = LoadDownloadRecords(*key);
    ASSERT_EQ(stored.size(), static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        const std::u16string name = window.List()->RowId(i);
        EXPECT_EQ(removed.count(name), 0u);
        ASSERT_NE(Lifecycle().FindItem(name), nullptr);
        EXPECT_EQ(Lifecycle().FindItem(name)->listPosition, i);
        EXPECT_EQ(stored[static_cast<size_t>(i)]->name, name) << "stored order differs at " << i;
        EXPECT_EQ(stored[static_cast<size_t>(i)]->listPosition, i);
    }
    EXPECT_LT(longestGap, kLongestStall) << "the window stopped answering";
    std::printf(
        "load: %d games, %d moved to the top, %zu removed while downloading; records match "
        "the list; longest event-loop gap %lld ms\n",
        kGames, moves, removed.size(), static_cast<long long>(longestGap.count()));
}

}  // namespace
