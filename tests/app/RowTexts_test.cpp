#include "app/RowTexts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "app/FakeRowView.h"
#include "core/TextUtil.h"
#include "support/CommaLocale.h"

namespace {

constexpr uint64_t kMB = 1048576;
constexpr char16_t kSite[] = u"https://site.test";
constexpr char16_t kSupport[] = u"https://site.test/en/support/contact/my_orders_and_payments";
// A row state no rule sets: still there after the refresh means "left unchanged".
constexpr int32_t kUntouched = RowActiveNoProgress;

std::string Narrow(const std::u16string& text) {
    return WideToUtf8(text);
}

DownloadInfo Record(ItemState state) {
    DownloadInfo record(u"/games/");
    record.name = u"mygame";
    record.title = u"My Game";
    record.installer = u"mygame/setup.sh";
    record.state = state;
    record.total = 1024 * kMB;
    record.downloaded = 300 * kMB;
    return record;
}

RowContext Connected() {
    return RowContext{true, u"/data/", kSite};
}

// A list with the record's row, its state and a stale link set beforehand.
FakeRowView ListWithRow(const DownloadInfo& record) {
    FakeRowView rows;
    rows.AddOrUpdateRow(record.name, u"old title", u"old status", {}, kUntouched);
    rows.SetRowLink(0, u"stale", u"stale target");
    return rows;
}

TEST(RowTexts, EveryStateShowsItsTextRowStateAndLink) {
    struct Case {
        ItemState state;
        ErrorKind error = ErrorKind::None;
        uint32_t remaining = 0;
        uint64_t joined = 0;
        uint64_t verified = 0;
        std::u16string text;
        int32_t rowState = kUntouched;
        std::u16string linkText = {};
        std::u16string linkTarget = {};
    };
    const Case cases[] = {
        {.state = ItemState::FetchingDetails, .text = u"Fetching download size..."},
        {.state = ItemState::Downloading,
         .error = ErrorKind::DiskWrite,
         .text = u"Error writing file to disk...",
         .rowState = RowActive},
        {.state = ItemState::Downloading,
         .error = ErrorKind::FileGaveUp,
         .text = u"",
         .rowState = RowActive},
        {.state = ItemState::Downloading,
         .text = u"300 MB of 1024 MB - downloading",
         .rowState = RowActive},
        {.state = ItemState::Downloading,
         .remaining = 3600,
         .text = u"300 MB of 1024 MB - 1 hrs remaining",
         .rowState = RowActive},
        {.state = ItemState::Downloading,
         .remaining = 90,
         .text = u"300 MB of 1024 MB - 1 min remaining",
         .rowState = RowActive},
        {.state = ItemState::Downloading,
         .remaining = 59,
         .text = u"300 MB of 1024 MB - 59 sec remaining",
         .rowState = RowActive},
        {.state = ItemState::Combining,
         .joined = 1024 * kMB / 3,
         .text = u"341 MB of 1024 MB - combining (33.33%)"},
        {.state = ItemState::Verifying,
         .verified = 512 * kMB,
         .text = u"512 MB of 1024 MB - integrity check (50.00%)"},
        {.state = ItemState::Paused, .text = u"300 MB of 1024 MB - paused", .rowState = RowPaused},
        {.state = ItemState::Completed,
         .text = u"1024 MB of 1024 MB - completed. ",
         .rowState = RowReady,
         .linkText = u"INSTALL",
         .linkTarget = u"/games/mygame/setup.sh"},
        {.state = ItemState::Failed,
         .error = ErrorKind::DiskWrite,
         .text = u"Error writing file to disk..."},
        {.state = ItemState::Failed,
         .error = ErrorKind::FileGaveUp,
         .text = u"There is a problem with this file, please use our ",
         .rowState = RowPaused,
         .linkText = u"contact form",
         .linkTarget = kSupport},
        {.state = ItemState::Failed,
         .error = ErrorKind::DetailsFailed,
         .text = u"Cannot fetch game details, please use our ",
         .rowState = RowFailed,
         .linkText = u"contact form",
         .linkTarget = kSupport},
        {.state = ItemState::Failed, .error = static_cast<ErrorKind>(4), .text = u""},
    };
    for (const Case& c : cases) {
        DownloadInfo record = Record(c.state);
        record.errorKind = c.error;
        record.remainingSeconds = c.remaining;
        record.joined = c.joined;
        record.verified = c.verified;
        FakeRowView rows = ListWithRow(record);
        UpdateRow(rows, record, Connected());
        const FakeRowView::Row& row = rows.rows[0];
        SCOPED_TRACE(Narrow(c.text) + " / state " + std::to_string(static_cast<int>(c.state)));
        EXPECT_EQ(Narrow(row.status), Narrow(c.text));
        EXPECT_EQ(row.state, c.rowState);
        EXPECT_EQ(Narrow(row.linkText), Narrow(c.linkText));
        EXPECT_EQ(Narrow(row.linkTarget), Narrow(c.linkTarget));
        EXPECT_EQ(Narrow(row.title), "My Game");
        EXPECT_EQ(record.state, c.state) << "a connected refresh never changes the state";
    }
}

TEST(RowTexts, RemainingTimeAndMegabytes) {
    const struct {
        uint64_t done;
        uint32_t remaining;
        const char16_t* text;
    } cases[] = {
        {300 * kMB, 0, u"300 MB of 1024 MB - downloading"},
        {300 * kMB, 1, u"300 MB of 1024 MB - 1 sec remaining"},
        {300 * kMB, 59, u"300 MB of 1024 MB - 59 sec remaining"},
        {300 * kMB, 60, u"300 MB of 1024 MB - 1 min remaining"},
        {300 * kMB, 3599, u"300 MB of 1024 MB - 59 min remaining"},
        {300 * kMB, 3600, u"300 MB of 1024 MB - 1 hrs remaining"},
        {300 * kMB, 86399, u"300 MB of 1024 MB - 23 hrs remaining"},
        // A day or more: whole days, then whole hours of the last day when there are any.
        {300 * kMB, 86400, u"300 MB of 1024 MB - 1 days remaining"},
        {300 * kMB, 89999, u"300 MB of 1024 MB - 1 days remaining"},
        {300 * kMB, 90000, u"300 MB of 1024 MB - 1 days 1 hrs remaining"},
        {300 * kMB, 200000, u"300 MB of 1024 MB - 2 days 7 hrs remaining"},
        {300 * kMB, 0xFFFFFFFFu, u"300 MB of 1024 MB - 49710 days 6 hrs remaining"},
        {kMB - 1, 0, u"0 MB of 1024 MB - downloading"},
        {kMB, 0, u"1 MB of 1024 MB - downloading"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Narrow(DownloadingText(c.done, 1024 * kMB, c.remaining)), Narrow(c.text));
    }
}

TEST(RowTexts, OfflineRefreshPausesADownloadingItem) {
    DownloadInfo record = Record(ItemState::Downloading);
    FakeRowView paused = ListWithRow(record);
    UpdateRow(paused, record, RowContext{false, u"/data/", kSite});
    EXPECT_EQ(record.state, ItemState::Paused);
    EXPECT_EQ(Narrow(paused.rows[0].status), "300 MB of 1024 MB - paused");
    EXPECT_EQ(paused.rows[0].state, RowPaused);
    // Other states keep theirs while offline.
    DownloadInfo combining = Record(ItemState::Combining);
    FakeRowView rows = ListWithRow(combining);
    UpdateRow(rows, combining, RowContext{false, u"/data/", kSite});
    EXPECT_EQ(combining.state, ItemState::Combining);
}

TEST(RowTexts, TitleIconAndUntouchedRows) {
    DownloadInfo record = Record(ItemState::Paused);
    record.title.clear();
    record.icon = u".data/mygame.png";
    FakeRowView rows = ListWithRow(record);
    UpdateRow(rows, record, Connected());
    EXPECT_EQ(Narrow(rows.rows[0].title), "Fetching game data...");
    EXPECT_EQ(Narrow(rows.rows[0].icon), "/data/.data/mygame.png");
    EXPECT_TRUE(rows.rows[0].linkText.empty()) << "the stale link goes";

    DownloadInfo removing = Record(ItemState::Removing);
    FakeRowView kept = ListWithRow(removing);
    kept.rows[0].segments.push_back(Segment{SegmentKind::Downloading, 0, 1, 0.5f});
    UpdateRow(kept, removing, Connected());
    LayoutSegments(kept, removing);
    EXPECT_EQ(Narrow(kept.rows[0].status), "old status");
    EXPECT_EQ(kept.rows[0].state, kUntouched);
    EXPECT_EQ(kept.rows[0].segments.size(), 1u);

    // No row: nothing to write, and nothing breaks.
    FakeRowView empty;
    DownloadInfo downloading = Record(ItemState::Downloading);
    UpdateRow(empty, downloading, Connected());
    LayoutSegments(empty, downloading);
    EXPECT_TRUE(empty.rows.empty());
}

FileInfo File(uint32_t id, uint64_t size, uint64_t onDisk, bool available = true) {
    FileInfo file;
    file.id = id;
    file.name = u"f" + std::u16string(1, static_cast<char16_t>(u'0' + id));
    file.size = size;
    file.onDisk = onDisk;
    file.available = available;
    return file;
}

TEST(RowTexts, SegmentsSpanEachFilesShare) {
    DownloadInfo record = Record(ItemState::Paused);
    record.files = {File(0, 100, 50), File(1, 300, 300)};
    record.total = 400;
    FakeRowView rows = ListWithRow(record);
    rows.rows[0].segments.assign(
        5, Segment{SegmentKind::Failed, 0, 1, 1});  // leftovers of an earlier layout
    LayoutSegments(rows, record);
    const std::vector<Segment>& segments = rows.rows[0].segments;
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_FLOAT_EQ(segments[0].start, 0.0f);
    EXPECT_FLOAT_EQ(segments[0].end, 0.25f);
    EXPECT_FLOAT_EQ(segments[0].fill, 0.5f);
    EXPECT_EQ(segments[0].kind, SegmentKind::Downloading);
    EXPECT_FLOAT_EQ(segments[1].start, 0.2525f);
    EXPECT_FLOAT_EQ(segments[1].end, 1.0f);
    EXPECT_FLOAT_EQ(segments[1].fill, 1.0f);

    // An unavailable third file is the only one of kind 1.
    record.files.push_back(File(2, 100, 0, false));
    record.total = 500;
    LayoutSegments(rows, record);
    ASSERT_EQ(rows.rows[0].segments.size(), 3u);
    EXPECT_EQ(rows.rows[0].segments[0].kind, SegmentKind::Downloading);
    EXPECT_EQ(rows.rows[0].segments[1].kind, SegmentKind::Downloading);
    EXPECT_EQ(rows.rows[0].segments[2].kind, SegmentKind::Unavailable);
}

TEST(RowTexts, EmptySizesGiveNoNumbersThatAreNotNumbers) {
    DownloadInfo record = Record(ItemState::Combining);
    record.files = {File(0, 0, 0)};
    record.total = 0;
    record.downloaded = 0;
    FakeRowView rows = ListWithRow(record);
    LayoutSegments(rows, record);
    UpdateRow(rows, record, Connected());
    ASSERT_EQ(rows.rows[0].segments.size(), 1u);
    EXPECT_FALSE(std::isnan(rows.rows[0].segments[0].end));
    EXPECT_FALSE(std::isnan(rows.rows[0].segments[0].fill));
    EXPECT_EQ(Narrow(rows.rows[0].status), "0 MB of 0 MB - combining (0.00%)");

    // Without files the row keeps no segments at all.
    record.files.clear();
    LayoutSegments(rows, record);
    EXPECT_TRUE(rows.rows[0].segments.empty());
}

TEST(RowTexts, PercentagesKeepTheirPointWhateverTheDesktopsLocale) {
    const CommaLocale german;
    ASSERT_TRUE(german.Active()) << german.Error();
    DownloadInfo combining = Record(ItemState::Combining);
    combining.joined = 1024 * kMB / 3;
    FakeRowView rows = ListWithRow(combining);
    UpdateRow(rows, combining, Connected());
    EXPECT_EQ(Narrow(rows.rows[0].status), "341 MB of 1024 MB - combining (33.33%)");

    DownloadInfo verifying = Record(ItemState::Verifying);
    verifying.verified = 1024 * kMB / 8;
    UpdateRow(rows, verifying, Connected());
    EXPECT_EQ(Narrow(rows.rows[0].status), "128 MB of 1024 MB - integrity check (12.50%)");
}

}  // namespace
