#include "app/ItemLifecycle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "app/LifecycleFakes.h"
#include "core/DebugPrintf.h"
#include "core/RecordStore.h"
#include "support/FileFixtures.h"

namespace {

constexpr uint64_t kMB = 1048576;

// The process logger's lines of one level while it lives (message part only).
class LogLines {
public:
    explicit LogLines(CDebugPrintf::Level level) {
        Logger().SetObserver([this, level](CDebugPrintf::Level at, std::u16string_view line) {
            const size_t start = line.find(u"  ");
            if (at == level && start != std::u16string_view::npos) {
                std::lock_guard lock(mutex_);
                lines_.push_back(WideToUtf8(line.substr(start + 2)));
            }
        });
    }
    ~LogLines() { Logger().SetObserver(nullptr); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;
    std::vector<std::string> Get() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A listed game with its details in, so that it can become the active item.
void AddWithDetails(LifecycleRig& rig, const std::u16string& name,
                    std::vector<uint64_t> sizes = {100, 300}) {
    ASSERT_EQ(rig.lifecycle.AddItemFromUrl(name), ItemLifecycle::AddResult::Added);
    rig.lifecycle.HandleMessage(Details(name, std::move(sizes)));
}

std::vector<std::u16string> StoredNames(const std::shared_ptr<Registry>& registry) {
    std::optional<RegistryKey> key = OpenDownloadsKey(registry);
    std::vector<std::u16string> names;
    for (const auto& record : LoadDownloadRecords(*key)) {
        names.push_back(record->name);
    }
    return names;
}

TEST(ItemLifecycle, NamesThatNoStoreGameHasAreRefusedBeforeAnythingIsDone) {
    LifecycleRig rig;
    LogLines log(CDebugPrintf::Level::Warning);
    for (const std::u16string& name :
         {std::u16string(u"../../etc/passwd"), std::u16string(u"a;touch x"),
          std::u16string(200, u'a'), std::u16string(u"")}) {
        EXPECT_EQ(rig.lifecycle.AddItemFromUrl(name), ItemLifecycle::AddResult::Refused);
    }
    EXPECT_TRUE(rig.lifecycle.Items().empty());
    EXPECT_TRUE(rig.rows.rows.empty());
    EXPECT_EQ(rig.calls.size(), 4u) << "nothing but a message each";
    EXPECT_TRUE(StoredNames(rig.registry).empty());
    size_t refusals = 0;
    for (const std::string& line : log.Get()) {
        refusals += line.find("Refused to add") != std::string::npos ? 1u : 0u;
    }
    EXPECT_EQ(refusals, 4u);
}

// A refused link tells the user while the window is visible, with the name as plain text that is
// cut short and has no control characters; hidden in the tray only the log line is written.
TEST(ItemLifecycle, ARefusedLinkIsShownToTheUserUnlessTheWindowIsInTheTray) {
    LifecycleRig rig;
    const std::u16string hostile = u"evil\n<b>bold</b>\x1b[2J" + std::u16string(200, u'x');
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(hostile), ItemLifecycle::AddResult::Refused);
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0],
              "AskUser 48 The game link names \"evil?<b>bold</b>?[2J" + std::string(40, 'x') +
                  "...\", which is not a game of the store. Nothing was added to the list.");

    rig.calls.clear();
    rig.lifecycle.SetMinimisedToTray(true);
    LogLines log(CDebugPrintf::Level::Warning);
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"a b"), ItemLifecycle::AddResult::Refused);
    EXPECT_TRUE(rig.calls.empty()) << "no message box in the tray";
    EXPECT_EQ(log.Get(),
              std::vector<std::string>{"Refused to add \"a b\": not a game name of the store"});
}

TEST(ItemLifecycle, NewItemFromUrlGetsPendingRowRecordAndDetailsRequest) {
    LifecycleRig rig;
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"mygame"), ItemLifecycle::AddResult::Added);
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"mygame"), ItemLifecycle::AddResult::AlreadyListed);

    ASSERT_EQ(rig.rows.rows.size(), 1u);
    const FakeRowView::Row& row = rig.rows.rows[0];
    EXPECT_EQ(Narrow(row.title), "Fetching game data...");
    EXPECT_EQ(Narrow(row.status), "Fetching download size...");
    EXPECT_EQ(row.state, RowPending);
    ASSERT_EQ(rig.lifecycle.Items().size(), 1u);
    const DownloadInfo& item = *rig.lifecycle.Items()[0];
    EXPECT_EQ(item.state, ItemState::FetchingDetails);
    EXPECT_EQ(item.listPosition, 0);
    EXPECT_EQ(Narrow(item.folder), "/games/");
    EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "RequestDetails mygame /games/"), 1);
    EXPECT_EQ(StoredNames(rig.registry), std::vector<std::u16string>{u"mygame"});

    // Stored with the place its row gave it.
    ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"second"), ItemLifecycle::AddResult::Added);
    std::optional<RegistryKey> key = OpenDownloadsKey(rig.registry);
    const auto stored = LoadDownloadRecords(*key);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1]->name, u"second");
    EXPECT_EQ(stored[1]->listPosition, 1);
}

TEST(ItemLifecycle, HundredAndFirstItemIsRefusedWithAWarning) {
    LifecycleRig rig;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"game" + Utf8ToWide(std::to_string(i))),
                  ItemLifecycle::AddResult::Added);
    }
    LogLines warnings(CDebugPrintf::Level::Warning);
    rig.calls.clear();
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"onemore"), ItemLifecycle::AddResult::ListFull);
    EXPECT_EQ(rig.lifecycle.Items().size(), 100u);
    EXPECT_EQ(rig.rows.rows.size(), 100u);
    EXPECT_TRUE(rig.calls.empty()) << "no details are asked for";
    EXPECT_EQ(StoredNames(rig.registry).size(), 100u);
    EXPECT_EQ(warnings.Get(),
              std::vector<std::string>{"Cannot add onemore: the list already holds 100 items"});
    // An item already listed is still found while the list is full.
    EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"game7"), ItemLifecycle::AddResult::AlreadyListed);
}

TEST(ItemLifecycle, ActiveItemIsTheEligibleOneHighestInTheList) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"a");
    AddWithDetails(rig, u"b");
    AddWithDetails(rig, u"c");
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "a");
    EXPECT_EQ(rig.lifecycle.FindItem(u"a")->priority, 0u);
    EXPECT_EQ(rig.lifecycle.FindItem(u"b")->priority, 1u);
    EXPECT_EQ(rig.lifecycle.FindItem(u"c")->priority, 2u);

    // A failed item leaves the choice; the next one down takes over.
    rig.lifecycle.HandleMessage(ItemFailed{u"a", 1, ErrorKind::FileGaveUp, 0});
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "b");
    EXPECT_EQ(rig.lifecycle.FindItem(u"a")->priority, 1000u);
    EXPECT_EQ(rig.rows.Of(u"a").segments.at(1).kind, SegmentKind::Failed);
    EXPECT_EQ(Narrow(rig.rows.Of(u"a").linkText), "contact form");

    // Moving c to the top makes it the active one.
    rig.engine.downloads.clear();
    rig.lifecycle.OnRowCommand(WM_APP_ROW_TOGGLE, u"c", 0);
    EXPECT_EQ(rig.rows.RowId(0), u"c");
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "c");
    EXPECT_EQ(rig.engine.downloads, std::vector<std::u16string>{u"c"});
    EXPECT_EQ(rig.lifecycle.FindItem(u"b")->listPosition, 2);

    // A completed item is never chosen again; nor anything while all is paused.
    rig.lifecycle.HandleMessage(ItemFinished{u"c", false});
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "b");
    rig.lifecycle.PauseAll();
    rig.engine.downloads.clear();
    rig.lifecycle.OnRowCommand(WM_APP_RETRY_ITEM, u"a", 0);
    EXPECT_TRUE(rig.engine.downloads.empty());
    rig.lifecycle.ResumeAll();
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "a") << "retried and back at the top";
}

TEST(ItemLifecycle, RemovalAsksAndThenReleasesTheItem) {
    const struct Case {
        const char* title;
        Answer answer;
        bool fromDisk;
        bool minimised;
        std::u16string firstFile;
        std::string expected;  // the removal call, empty when none
    } cases[] = {
        {"answered no", Answer::No, false, false, u"g/setup.bin", ""},
        {"box not shown", Answer::NotShown, true, false, u"g/setup.bin", ""},
        {"in the tray", Answer::Yes, true, true, u"g/setup.bin", ""},
        {"from the list", Answer::Yes, false, false, u"g/setup.bin", "RequestRemoval g 0 []"},
        {"and the disk", Answer::Yes, true, false, u"g/setup.bin", "RequestRemoval g 1 [/games/g]"},
        {"nested folder", Answer::Yes, true, false, u"g\\disk1\\setup.bin",
         "RequestRemoval g 1 [/games/g/disk1]"},
        {"no folder part: never the downloads folder", Answer::Yes, true, false, u"setup.bin",
         "RequestRemoval g 1 []"},
        {"climbing out", Answer::Yes, true, false, u"../other/setup.bin", "RequestRemoval g 1 []"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        LifecycleRig rig;
        rig.Connect();
        ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"g"), ItemLifecycle::AddResult::Added);
        DetailsReply details = Details(u"g", {10});
        details.details->files[0].name = c.firstFile;
        rig.lifecycle.HandleMessage(std::move(details));
        rig.ui.answer = c.answer;
        rig.lifecycle.SetMinimisedToTray(c.minimised);
        rig.calls.clear();

        rig.lifecycle.OnRowCommand(WM_APP_REMOVE_ITEM, u"g", c.fromDisk ? 1 : 0);

        const std::string question =
            std::string("AskUser 36 Are you sure you want to remove \"Title of g\" from the list") +
            (c.fromDisk ? " and from the disk?"
                        : "? Any files downloaded for this game will not be deleted.");
        EXPECT_EQ(rig.Called(question), !c.minimised);
        if (c.expected.empty()) {
            EXPECT_EQ(rig.rows.rows.size(), 1u);
            EXPECT_EQ(rig.lifecycle.FindItem(u"g")->state, ItemState::Paused);
            EXPECT_FALSE(rig.Called("CancelDetails g"));
            continue;
        }
        EXPECT_TRUE(rig.Called(c.expected));
        EXPECT_TRUE(rig.Called("CancelDetails g"));
        EXPECT_TRUE(rig.rows.rows.empty());
        ASSERT_NE(rig.lifecycle.FindItem(u"g"), nullptr) << "the record waits for the engine";
        EXPECT_EQ(rig.lifecycle.FindItem(u"g")->state, ItemState::Removing);

        // A second request while removing, and late reports, change nothing.
        rig.calls.clear();
        rig.lifecycle.OnRowCommand(WM_APP_REMOVE_ITEM, u"g", 1);
        rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, 5});
        EXPECT_TRUE(rig.calls.empty());
        EXPECT_EQ(rig.lifecycle.FindItem(u"g")->state, ItemState::Removing);

        rig.lifecycle.HandleMessage(ItemReleased{u"g"});
        EXPECT_EQ(rig.lifecycle.FindItem(u"g"), nullptr);
        EXPECT_TRUE(StoredNames(rig.registry).empty());
    }
}

TEST(ItemLifecycle, EventsForUnknownItemsAreDropped) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"known");
    const std::vector<Segment> segmentsBefore = rig.rows.Of(u"known").segments;
    const std::u16string ghost = u"ghost";

    std::vector<AppEvent> messages;
    messages.push_back(ChunkProgress{ghost, 0, 0, 0});
    messages.push_back(CombineProgress{ghost, 0, 0, 0});
    messages.push_back(CheckProgress{ghost, 0, 0});
    for (const auto reason :
         {FileProgressReset::Reason::kFileJoined, FileProgressReset::Reason::kCombineStarting}) {
        messages.push_back(FileProgressReset{ghost, 0, reason});
    }
    messages.push_back(FileUnavailable{ghost, 0});
    messages.push_back(ItemFailed{ghost, 0, ErrorKind::FileGaveUp, 0});
    messages.push_back(ItemResubmit{ghost, false});
    messages.push_back(ItemFinished{ghost, false});
    messages.push_back(ItemPaused{ghost});
    messages.push_back(CombineReset{ghost});
    messages.push_back(ItemReleased{ghost});
    {
        LocalDetails local;
        local.gameName = ghost;
        local.read = true;
        local.info = std::make_unique<DownloadInfo>();
        messages.push_back(std::move(local));
        DetailsReply reply;
        reply.kind = DetailsReply::kTitleOnly | DetailsReply::kFinal;
        reply.gameName = ghost;
        reply.details = std::make_unique<DownloadInfo>();
        messages.push_back(std::move(reply));
    }
    const size_t count = messages.size();

    LogLines errors(CDebugPrintf::Level::Error);
    rig.calls.clear();
    for (AppEvent& message : messages) {
        rig.lifecycle.HandleMessage(std::move(message));
    }
    EXPECT_EQ(errors.Get().size(), count) << "one Error line per dropped message";
    EXPECT_TRUE(rig.calls.empty());
    EXPECT_EQ(rig.lifecycle.Items().size(), 1u);
    EXPECT_EQ(rig.rows.rows.size(), 1u);
    EXPECT_EQ(rig.rows.Of(u"known").segments.size(), segmentsBefore.size());
    EXPECT_EQ(rig.lifecycle.FindItem(u"known")->state, ItemState::Paused);

    // Reports naming a file or chunk the item does not have are dropped the same way.
    rig.lifecycle.HandleMessage(ChunkProgress{u"known", 7, 0, 5});
    rig.lifecycle.HandleMessage(ChunkProgress{u"known", 0, 9, 5});
    rig.lifecycle.HandleMessage(CheckProgress{u"known", 2, 5});
    EXPECT_EQ(errors.Get().size(), count + 3);
    EXPECT_EQ(rig.lifecycle.FindItem(u"known")->downloaded, 0u);
}

TEST(ItemLifecycle, RecordsPersistAndLoadBackInListOrder) {
    TempHome home;
    std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
    {
        LifecycleRig rig(registry);
        rig.Connect();
        AddWithDetails(rig, u"first");
        AddWithDetails(rig, u"second");
        AddWithDetails(rig, u"third", {1000});
        rig.lifecycle.OnRowCommand(WM_APP_ROW_TOGGLE, u"third", 0);
        rig.lifecycle.HandleMessage(ItemFinished{u"third", false});
        // Moved after the last time anything stored "third": the new order is kept all the same.
        rig.lifecycle.OnRowCommand(WM_APP_ROW_TOGGLE, u"second", 0);
    }
    LifecycleRig again(registry);
    again.lifecycle.LoadStoredItems();
    ASSERT_EQ(again.rows.rows.size(), 3u);
    EXPECT_EQ(again.rows.RowId(0), u"second");
    EXPECT_EQ(again.rows.RowId(1), u"third");
    EXPECT_EQ(again.rows.RowId(2), u"first");
    for (const FakeRowView::Row& row : again.rows.rows) {
        EXPECT_EQ(Narrow(row.title), "Title of " + Narrow(row.id));
    }
    EXPECT_EQ(Narrow(again.rows.rows[1].icon), "/data/.data/third.png");
    EXPECT_EQ(again.rows.rows[1].state, RowReady);
    EXPECT_EQ(again.rows.rows[0].state, RowPaused);
    EXPECT_EQ(again.lifecycle.FindItem(u"first")->listPosition, 2);
    const std::vector<std::string> enqueued(again.calls.begin(), again.calls.begin() + 3);
    EXPECT_EQ(enqueued,
              (std::vector<std::string>{"Enqueue second", "Enqueue third", "Enqueue first"}));
    const DownloadInfo& third = *again.lifecycle.FindItem(u"third");
    EXPECT_TRUE(third.completed);
    EXPECT_EQ(Narrow(third.installer), "third/file0.bin");
    EXPECT_EQ(third.files.size(), 1u);
    EXPECT_TRUE(again.engine.downloads.empty()) << "nothing is eligible before details arrive";
}

TEST(ItemLifecycle, SpeedSampleSetsTheActiveItemsRemainingTime) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"big", {1000 * kMB});
    rig.lifecycle.HandleMessage(ChunkProgress{u"big", 0, 0, 500 * kMB});
    EXPECT_EQ(rig.lifecycle.FindItem(u"big")->downloaded, 500 * kMB);

    rig.lifecycle.HandleMessage(SpeedSample{100});
    EXPECT_EQ(rig.ui.speed, 100u);
    EXPECT_EQ(rig.lifecycle.FindItem(u"big")->remainingSeconds, 5120u);
    EXPECT_EQ(Narrow(rig.rows.Of(u"big").status), "500 MB of 1000 MB - 1 hrs remaining");

    rig.lifecycle.HandleMessage(SpeedSample{1});
    EXPECT_EQ(Narrow(rig.rows.Of(u"big").status), "500 MB of 1000 MB - 5 days 22 hrs remaining");

    rig.lifecycle.HandleMessage(SpeedSample{0});
    EXPECT_EQ(rig.lifecycle.FindItem(u"big")->remainingSeconds, 0u);
    EXPECT_EQ(Narrow(rig.rows.Of(u"big").status), "500 MB of 1000 MB - downloading");
}

TEST(ItemLifecycle, EngineReportsDriveStateAndSegments) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"g", {100, 300, 100});
    FakeRowView::Row* row = &rig.rows.Of(u"g");
    ASSERT_EQ(row->segments.size(), 3u);

    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 1, 0, 150});
    DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
    EXPECT_EQ(item.state, ItemState::Downloading);
    EXPECT_FLOAT_EQ(row->segments[1].fill, 0.5f);
    EXPECT_EQ(row->state, RowActive);

    // File 2 unavailable: only its segment changes.
    const std::vector<Segment> before = row->segments;
    rig.lifecycle.HandleMessage(FileUnavailable{u"g", 2});
    EXPECT_EQ(row->segments[2].kind, SegmentKind::Unavailable);
    EXPECT_EQ(row->segments[0].kind, before[0].kind);
    EXPECT_FLOAT_EQ(row->segments[1].fill, before[1].fill);

    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 1, 1, 150});
    rig.lifecycle.HandleMessage(CombineProgress{u"g", 1, kAllBits, 0});
    EXPECT_EQ(item.state, ItemState::Combining);
    EXPECT_EQ(item.joined, 300u);
    EXPECT_EQ(row->segments[1].kind, SegmentKind::Joining);
    EXPECT_FLOAT_EQ(row->segments[1].fill, 1.0f);

    rig.lifecycle.HandleMessage(CheckProgress{u"g", 1, 100});
    EXPECT_EQ(item.state, ItemState::Verifying);
    EXPECT_EQ(item.verified, 100u);
    rig.lifecycle.HandleMessage(CheckProgress{u"g", 1, 60});
    EXPECT_EQ(item.verified, 60u) << "the count follows the file's latest report";
    EXPECT_EQ(row->segments[1].kind, SegmentKind::Checking);
    EXPECT_FLOAT_EQ(row->segments[1].fill, 0.2f);

    rig.lifecycle.HandleMessage(
        FileProgressReset{u"g", 1, FileProgressReset::Reason::kCombineStarting});
    EXPECT_FLOAT_EQ(row->segments[1].fill, 0.0f);

    rig.lifecycle.HandleMessage(CombineReset{u"g"});
    EXPECT_EQ(item.joined, 0u);
    EXPECT_EQ(item.verified, 0u);
    EXPECT_EQ(item.files[1].chunks[0].joined, 0u);

    // Going offline pauses the downloading row at its next refresh.
    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, 10});
    rig.lifecycle.HandleMessage(ConnectionStatus{false});
    EXPECT_EQ(item.state, ItemState::Paused);
    EXPECT_EQ(row->state, RowPaused);
    EXPECT_EQ(rig.ui.statusMode, StatusMode::Offline);
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Offline);

    // Links pass between the workers and the store.
    rig.lifecycle.HandleMessage(
        LinkNeeded{.gameName = u"g", .fileId = 1, .passThrough = 77, .workerSlot = 4});
    EXPECT_TRUE(rig.Called("RequestLink g 1 4 77"));
    rig.lifecycle.HandleMessage(
        FileLink{.workerSlot = 4, .link = u"https://cdn.test/f", .passThrough = 0});
    EXPECT_TRUE(rig.Called("DeliverLink 4 https://cdn.test/f"));
}

TEST(ItemLifecycle, FinishedItemCompletesAndOffersItsInstaller) {
    const struct Case {
        const char* title;
        bool minimised;
        bool automatic;
        std::string expected;  // the front end's call, empty when none
    } cases[] = {
        {"visible, manual", false, false, ""},
        {"visible, automatic", false, true, "RunInstaller "},
        {"in the tray, automatic", true, true, "Balloon Title of g"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        LifecycleRig rig;
        // The installer is on disk when the engine reports it checked, as it is after a join.
        const std::string installer = rig.home.Root().string() + "/games/g/file0.bin";
        rig.downloads = Utf8ToWide(rig.home.Root().string() + "/games/");
        WriteFile(installer, "#!/bin/sh\n");
        rig.Connect();
        AddWithDetails(rig, u"g", {100});
        rig.lifecycle.SetMinimisedToTray(c.minimised);
        rig.lifecycle.SetAutomaticInstall(c.automatic);
        rig.calls.clear();
        rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
        const DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
        EXPECT_EQ(item.state, ItemState::Completed);
        EXPECT_EQ(item.verified, 100u);
        EXPECT_EQ(Narrow(rig.lifecycle.ReadyInstaller()), installer);
        EXPECT_EQ(Narrow(rig.rows.Of(u"g").status), "0 MB of 0 MB - completed. ");
        EXPECT_EQ(Narrow(rig.rows.Of(u"g").linkTarget), installer);
        if (c.expected.empty()) {
            EXPECT_TRUE(rig.calls.empty());
        } else if (c.expected == "RunInstaller ") {
            EXPECT_EQ(rig.calls, std::vector<std::string>{c.expected + installer});
        } else {
            EXPECT_EQ(rig.calls, std::vector<std::string>{c.expected});
        }
    }

    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"part");
    rig.lifecycle.HandleMessage(ItemFinished{u"part", true});
    EXPECT_TRUE(rig.lifecycle.FindItem(u"part")->stopped);
    EXPECT_EQ(rig.lifecycle.FindItem(u"part")->state, ItemState::Paused);
    EXPECT_EQ(rig.lifecycle.FindItem(u"part")->priority, 1000u);
}

TEST(ItemLifecycle, DetailsFailuresAndChangedFiles) {
    LifecycleRig rig;
    rig.Connect();
    ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"refused"), ItemLifecycle::AddResult::Added);
    ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"broken"), ItemLifecycle::AddResult::Added);

    DetailsReply refusal;
    refusal.result = DetailsReply::kRefused;
    refusal.gameName = u"refused";
    refusal.message = u"You don't own %s this game";
    rig.lifecycle.HandleMessage(std::move(refusal));
    EXPECT_EQ(rig.lifecycle.FindItem(u"refused"), nullptr);
    EXPECT_EQ(rig.rows.FindRow(u"refused"), -1);
    EXPECT_TRUE(rig.Called("AskUser 48 You don't own %s this game"));
    EXPECT_EQ(StoredNames(rig.registry), std::vector<std::u16string>{u"broken"});

    DetailsReply failure;
    failure.result = DetailsReply::kFailed;
    failure.gameName = u"broken";
    rig.lifecycle.HandleMessage(std::move(failure));
    const DownloadInfo& broken = *rig.lifecycle.FindItem(u"broken");
    EXPECT_EQ(broken.state, ItemState::Failed);
    EXPECT_EQ(broken.errorKind, ErrorKind::DetailsFailed);
    EXPECT_EQ(Narrow(rig.rows.Of(u"broken").title), "Id: broken");
    EXPECT_EQ(rig.rows.Of(u"broken").state, RowFailed);
    // Retrying an item without details asks the store again.
    rig.calls.clear();
    EXPECT_EQ(rig.rows.Of(u"broken").button, static_cast<uint32_t>(WM_APP_RETRY_ITEM));
    rig.lifecycle.OnRowCommand(WM_APP_RETRY_ITEM, u"broken", 0);
    EXPECT_TRUE(rig.Called("RequestDetails broken /games/"));
    EXPECT_EQ(Narrow(rig.rows.Of(u"broken").status), "Fetching download size...");
    // The red state goes at once, not at some later refresh: the row waits for its details.
    EXPECT_EQ(rig.rows.Of(u"broken").state, RowPending);
    EXPECT_EQ(rig.rows.Of(u"broken").button, static_cast<uint32_t>(WM_APP_ROW_TOGGLE));
    EXPECT_TRUE(rig.rows.Of(u"broken").linkText.empty());

    // A completed game whose file changed on the server downloads that file again.
    AddWithDetails(rig, u"changed", {100});
    rig.lifecycle.HandleMessage(ItemFinished{u"changed", false});
    ASSERT_TRUE(rig.lifecycle.FindItem(u"changed")->completed);
    rig.lifecycle.HandleMessage(Details(u"changed", {100}, u"t2"));
    const DownloadInfo& changed = *rig.lifecycle.FindItem(u"changed");
    EXPECT_FALSE(changed.completed);
    EXPECT_TRUE(changed.files[0].restart);
    EXPECT_EQ(changed.state, ItemState::Paused);
    EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "changed");
}

// The engine tells the lifecycle once it has deleted a changed file's old bytes; from then on the
// record asks for no restart, so handing it over again keeps what arrived since. The joiner's
// progress resets say nothing about it.
TEST(ItemLifecycle, ARestartCarriedOutByTheEngineIsClearedInTheRecord) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"changed", {100, 50});
    rig.lifecycle.HandleMessage(Details(u"changed", {100, 50}, u"t2"));
    const DownloadInfo& item = *rig.lifecycle.FindItem(u"changed");
    ASSERT_TRUE(item.files[0].restart);
    ASSERT_TRUE(item.files[1].restart);

    rig.lifecycle.HandleMessage(
        FileProgressReset{u"changed", 1, FileProgressReset::Reason::kFileJoined});
    rig.lifecycle.HandleMessage(
        FileProgressReset{u"changed", 0, FileProgressReset::Reason::kCombineStarting});
    EXPECT_TRUE(item.files[0].restart);
    EXPECT_TRUE(item.files[1].restart);

    rig.lifecycle.HandleMessage(
        FileProgressReset{u"changed", 1, FileProgressReset::Reason::kRestartCarriedOut});
    EXPECT_TRUE(item.files[0].restart);
    EXPECT_FALSE(item.files[1].restart);
    // A file id the item does not have changes nothing.
    rig.lifecycle.HandleMessage(
        FileProgressReset{u"changed", 7, FileProgressReset::Reason::kRestartCarriedOut});
    EXPECT_TRUE(item.files[0].restart);
}

TEST(ItemLifecycle, LocalDetailsFillTheItemUnlessItIsGoingOrNewer) {
    LifecycleRig rig;
    rig.Connect();
    ASSERT_EQ(rig.lifecycle.AddItemFromUrl(u"g"), ItemLifecycle::AddResult::Added);
    rig.calls.clear();
    LocalDetails local;
    local.read = true;
    local.gameName = u"g";
    local.info = std::make_unique<DownloadInfo>(u"/games/");
    local.info->name = u"g";
    local.info->title = u"Stored title";
    local.info->files = {File(0, u"g/a.bin", 100)};
    local.info->listPosition = 55;  // what it was when queued
    local.info->RecomputeTotals();
    rig.lifecycle.HandleMessage(std::move(local));
    const DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
    EXPECT_TRUE(item.localDetailsLoaded);
    EXPECT_EQ(item.listPosition, 0);
    EXPECT_EQ(Narrow(item.title), "Stored title");
    EXPECT_EQ(item.state, ItemState::FetchingDetails) << "details are still due this run";
    EXPECT_TRUE(rig.Called("RequestDetails g /games/"));
    EXPECT_EQ(rig.rows.Of(u"g").segments.size(), 1u);

    // After the details, a late local read does not roll them back.
    rig.lifecycle.HandleMessage(Details(u"g", {100, 200}));
    LocalDetails late;
    late.read = true;
    late.gameName = u"g";
    late.info = std::make_unique<DownloadInfo>(u"/games/");
    late.info->name = u"g";
    rig.lifecycle.HandleMessage(std::move(late));
    EXPECT_EQ(rig.lifecycle.FindItem(u"g")->files.size(), 2u);
    EXPECT_EQ(Narrow(rig.lifecycle.FindItem(u"g")->title), "Title of g");
}

TEST(ItemLifecycle, PauseResumeSignInAndQuitOrder) {
    LifecycleRig rig;
    rig.Connect();
    EXPECT_EQ(rig.ui.statusMode, StatusMode::Online);
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Running);
    EXPECT_TRUE(rig.ui.loginLinkEnabled);
    EXPECT_TRUE(rig.Called("SetUser  Player"));
    const ItemLifecycle::Credentials stored = ItemLifecycle::ReadStoredCredentials(rig.registry);
    EXPECT_EQ(Narrow(stored.token), "tok");
    EXPECT_EQ(Narrow(stored.secret), "sec");

    AddWithDetails(rig, u"g");
    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, 10});
    rig.calls.clear();
    rig.lifecycle.PauseAll();
    rig.lifecycle.OnRowCommand(WM_APP_PAUSE_BUTTON, u"g", 0);
    EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "Pause"), 1);
    EXPECT_EQ(rig.rows.Of(u"g").state, RowPaused);
    EXPECT_EQ(rig.ui.statusMode, StatusMode::Paused);
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Paused);
    rig.lifecycle.ResumeAll();
    EXPECT_TRUE(rig.Called("Resume"));
    EXPECT_EQ(rig.ui.statusMode, StatusMode::Online);
    EXPECT_EQ(rig.engine.downloads.back(), u"g");

    // A failed sign-in offers the dialog; after the user signed out it does not.
    rig.ui.loginAnswer = true;
    rig.calls.clear();
    rig.lifecycle.HandleMessage(AuthFailed{});
    EXPECT_FALSE(rig.lifecycle.SignedIn());
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::SignedOut);
    EXPECT_EQ(rig.ui.statusMode, StatusMode::Offline);
    EXPECT_TRUE(rig.Called("RequestLogin user@example.test secret"));
    rig.Connect();
    rig.calls.clear();
    rig.lifecycle.LoginLogoutCommand();
    EXPECT_TRUE(rig.Called("Logout"));
    rig.lifecycle.HandleMessage(AuthFailed{});
    EXPECT_FALSE(rig.Called("LoginDialog "));

    struct Last : Stoppable {
        explicit Last(CallLog& log) : calls(log) {}
        void Stop() override { calls.push_back("SpeedMeter.Stop"); }
        CallLog& calls;
    } last(rig.calls);
    rig.calls.clear();
    rig.lifecycle.Quit(&last);
    EXPECT_EQ(rig.calls,
              (std::vector<std::string>{"Engine.Shutdown", "Loader.Stop", "InstallerChecks.Stop",
                                        "Store.Stop", "SpeedMeter.Stop"}));
}

// The login link reads "Logout" exactly while a user is signed in, whichever header mode the
// window is in: a link reading "Login" would otherwise sign the user out when clicked.
TEST(ItemLifecycle, TheLoginLinkFollowsTheSignedInStateInEveryHeaderMode) {
    LifecycleRig rig;
    rig.Connect();
    EXPECT_TRUE(rig.ui.headerSignedIn);
    rig.lifecycle.PauseAll();
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Paused);
    EXPECT_TRUE(rig.ui.headerSignedIn);
    // Sign out while paused, then in again.
    rig.lifecycle.LoginLogoutCommand();
    rig.lifecycle.HandleMessage(AuthFailed{});
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::SignedOut);
    EXPECT_FALSE(rig.ui.headerSignedIn);
    rig.Connect();
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Paused);
    EXPECT_TRUE(rig.ui.headerSignedIn) << "signed in again while paused: the link reads Logout";
    rig.lifecycle.HandleMessage(ConnectionStatus{false});
    EXPECT_EQ(rig.ui.headerMode, HeaderMode::Offline);
    EXPECT_TRUE(rig.ui.headerSignedIn);
    rig.lifecycle.ResumeAll();
    EXPECT_TRUE(rig.ui.headerSignedIn);
    // And the link's click does what it reads: sign out.
    rig.calls.clear();
    rig.lifecycle.LoginLogoutCommand();
    EXPECT_TRUE(rig.Called("Logout"));
}

TEST(ItemLifecycle, RowLinksAndMenus) {
    setenv("VELKDOWNLOADER_SITE_URL", "https://Site.test/", 1);
    LifecycleRig rig;
    AddWithDetails(rig, u"g", {100});
    rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
    rig.calls.clear();
    rig.lifecycle.OnRowCommand(WM_APP_OPEN_LINK, u"HTTPS://Site.test/Case/Path", 0);
    rig.lifecycle.OnRowCommand(WM_APP_OPEN_GAME_CARD, u"g", 0);
    // A local link that names no listed game's installer opens nothing (the installers' own
    // entry points are in InstallerLaunch_test).
    rig.lifecycle.OnRowCommand(WM_APP_OPEN_LINK, u"/games/other/setup.sh", 0);
    rig.lifecycle.OnRowCommand(WM_APP_OPEN_LINK, u"/etc/passwd", 0);
    unsetenv("VELKDOWNLOADER_SITE_URL");
    EXPECT_EQ(rig.calls, (std::vector<std::string>{
                             "OpenUrl HTTPS://Site.test/Case/Path",
                             "OpenUrl https://Site.test/en/gamecard/g",
                         }));
}

}  // namespace

namespace {

// A join that keeps failing is handed back to the engine a few times, then given up; a retry
// from the row starts the count again.
TEST(ItemLifecycle, AJoinThatKeepsFailingIsGivenUpAfterAFewRounds) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"g", {100});
    const auto resubmits = [&](int count) {
        rig.calls.clear();
        for (int i = 0; i < count; ++i) {
            rig.lifecycle.HandleMessage(ItemResubmit{u"g", false});
        }
        size_t handedBack = 0;
        for (const std::string& call : rig.calls) {
            handedBack += call == "RequestDownload g" ? 1u : 0u;
        }
        return handedBack;
    };
    EXPECT_EQ(resubmits(ItemLifecycle::kMaxJoinResubmits), 3u);
    EXPECT_NE(rig.lifecycle.FindItem(u"g")->state, ItemState::Failed);
    EXPECT_EQ(resubmits(1), 0u);
    EXPECT_EQ(rig.lifecycle.FindItem(u"g")->state, ItemState::Failed);
    EXPECT_EQ(rig.lifecycle.FindItem(u"g")->errorKind, ErrorKind::FileGaveUp);
    EXPECT_EQ(Narrow(rig.rows.Of(u"g").status),
              "There is a problem with this file, please use our ");

    rig.lifecycle.OnRowCommand(WM_APP_RETRY_ITEM, u"g", 0);
    EXPECT_EQ(resubmits(1), 1u);
}

// Failures that name no file (file id all bits set) are the whole item's: the row offers Retry
// through its status button and its menu like a failed file, and Retry hands the item to the
// engine again, which checks the cause anew. A failure of one file behaves the same.
TEST(ItemLifecycle, EveryFailureOffersRetryAndRetryAsksTheEngineAgain) {
    struct Case {
        const char* what;
        bool resubmit;  // a join handed back; otherwise the item failed
        std::optional<uint64_t> fileId;
        ErrorKind sent;  // ItemFailed's reason; DiskWrite with a resubmit: the join could not write
        int repeats;     // resubmits are given up after a few rounds
        ErrorKind kind;
        const char* text;
    };
    const Case cases[] = {
        {"not enough free space", false, std::nullopt, ErrorKind::DiskSpace, 1,
         ErrorKind::DiskSpace, "Not enough free disk space: 2 MB more needed"},
        {"downloads folder missing or unwritable", false, std::nullopt, ErrorKind::DiskWrite, 1,
         ErrorKind::DiskWrite, "Error writing file to disk..."},
        {"join given up", true, std::nullopt, ErrorKind::FileGaveUp,
         ItemLifecycle::kMaxJoinResubmits + 1, ErrorKind::FileGaveUp,
         "There is a problem with this file, please use our "},
        {"join could not write", true, std::nullopt, ErrorKind::DiskWrite, 1, ErrorKind::DiskWrite,
         "Error writing file to disk..."},
        {"one file could not be written", false, 1, ErrorKind::DiskWrite, 1, ErrorKind::DiskWrite,
         "Error writing file to disk..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LifecycleRig rig;
        rig.Connect();
        AddWithDetails(rig, u"g", {100, 300, 50});
        // File 2 is not offered by the store: its segment keeps its own look throughout.
        rig.lifecycle.HandleMessage(FileUnavailable{u"g", 2});
        rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, 50});
        ASSERT_EQ(rig.rows.Of(u"g").state, RowActive);
        for (int i = 0; i < c.repeats; ++i) {
            if (c.resubmit) {
                rig.lifecycle.HandleMessage(ItemResubmit{u"g", c.sent == ErrorKind::DiskWrite});
            } else {
                rig.lifecycle.HandleMessage(ItemFailed{u"g", c.fileId, c.sent, kMB + 1});
            }
        }
        const DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
        ASSERT_EQ(item.state, ItemState::Failed);
        EXPECT_EQ(item.errorKind, c.kind);
        const FakeRowView::Row& failed = rig.rows.Of(u"g");
        EXPECT_EQ(Narrow(failed.status), c.text);
        EXPECT_EQ(failed.button, static_cast<uint32_t>(WM_APP_RETRY_ITEM));
        EXPECT_TRUE(failed.MenuOffersRetry());
        EXPECT_EQ(failed.segments.at(1).kind, SegmentKind::Failed);
        EXPECT_EQ(failed.segments.at(0).kind,
                  c.fileId ? SegmentKind::Downloading : SegmentKind::Failed);
        EXPECT_EQ(failed.segments.at(2).kind, SegmentKind::Unavailable);

        rig.calls.clear();
        rig.lifecycle.OnRowCommand(failed.button, u"g", 0);
        EXPECT_EQ(item.state, ItemState::Paused);
        EXPECT_EQ(item.errorKind, ErrorKind::None);
        EXPECT_TRUE(rig.Called("RequestDownload g")) << "the engine checks the cause again";
        EXPECT_EQ(Narrow(rig.lifecycle.ActiveName()), "g");
        const FakeRowView::Row& retried = rig.rows.Of(u"g");
        EXPECT_EQ(retried.state, RowPaused);
        EXPECT_EQ(retried.button, static_cast<uint32_t>(WM_APP_ROW_TOGGLE));
        EXPECT_FALSE(retried.MenuOffersRetry());
        EXPECT_TRUE(retried.linkText.empty());
        EXPECT_FLOAT_EQ(retried.segments.at(0).fill, 0.5f) << "what is on disk shows again";
        // The engine goes on with it: the row is active again.
        rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 1, 50});
        EXPECT_EQ(item.state, ItemState::Downloading);
        EXPECT_EQ(rig.rows.Of(u"g").state, RowActive);
    }
}

// Paused from the header, the active row stays paused whatever still arrives from the engine:
// a chunk written as the workers stopped, a speed sample, a joining step. The counts still move.
TEST(ItemLifecycle, WhilePausedReportsInFlightKeepTheRowPaused) {
    LifecycleRig rig;
    rig.Connect();
    AddWithDetails(rig, u"g", {2 * kMB, 2 * kMB});
    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, kMB / 2});
    ASSERT_EQ(rig.rows.Of(u"g").state, RowActive);
    rig.lifecycle.PauseAll();
    const DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
    EXPECT_EQ(item.state, ItemState::Paused);
    EXPECT_EQ(Narrow(rig.rows.Of(u"g").status), "0 MB of 4 MB - paused");

    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 0, kMB});
    rig.lifecycle.HandleMessage(SpeedSample{100});
    rig.lifecycle.HandleMessage(CombineProgress{u"g", 1, 0, 10});
    rig.lifecycle.HandleMessage(CheckProgress{u"g", 1, 10});
    EXPECT_EQ(item.state, ItemState::Paused);
    EXPECT_EQ(item.downloaded, kMB) << "the counts still follow the reports";
    EXPECT_EQ(rig.rows.Of(u"g").state, RowPaused);
    EXPECT_EQ(rig.rows.Of(u"g").button, static_cast<uint32_t>(WM_APP_ROW_TOGGLE));
    EXPECT_EQ(Narrow(rig.rows.Of(u"g").status), "1 MB of 4 MB - paused");

    rig.lifecycle.ResumeAll();
    rig.lifecycle.HandleMessage(ChunkProgress{u"g", 0, 1, kMB / 2});
    EXPECT_EQ(item.state, ItemState::Downloading);
    EXPECT_EQ(rig.rows.Of(u"g").state, RowActive);
}

}  // namespace
