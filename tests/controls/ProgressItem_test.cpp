// A progress-list row on its own: its buttons and their restyling by state, copies, and how one
// row is drawn (pixel probes of the row painted into an image).
#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QPainter>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "controls/ButtonFromCommonTexture.h"
#include "controls/ProgressItem.h"
#include "controls/ProgressItemPainter.h"
#include "core/MessageIds.h"
#include "res/ImageResources.h"
#include "support/QtTestApp.h"
#include "support/TempHome.h"

namespace {

struct Command {
    uint32_t message;
    std::u16string argument;
    int64_t lParam;
};

class RecordingSink : public RowCommandSink {
public:
    void OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) override {
        commands.push_back({message, argument, lParam});
        if (onCommand) {
            onCommand();
        }
    }
    void OnRowOrderChanged() override { ++orderChanges; }

    std::vector<Command> commands;
    int orderChanges = 0;
    std::function<void()> onCommand;
};

// A stand-in for the icon atlas with every cell a colour of its own, so that a pixel of a drawn
// button tells which cell was drawn.
const std::vector<QRect>& AtlasCells() {
    static const std::vector<QRect> cells = {
        AtlasCell::kReady,       AtlasCell::kActive,       AtlasCell::kPaused,
        AtlasCell::kReadyHover,  AtlasCell::kActiveHover,  AtlasCell::kPausedHover,
        AtlasCell::kWarning,     AtlasCell::kWarningHover, AtlasCell::kRemove,
        AtlasCell::kRemoveHover,
    };
    return cells;
}

QRgb CellColour(const QRect& cell) {
    const auto& cells = AtlasCells();
    for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i] == cell) {
            return QColor::fromHsv(static_cast<int>(i) * 36, 255, 200).rgba();
        }
    }
    ADD_FAILURE() << "not a cell of the atlas";
    return 0;
}

QImage MakeAtlas() {
    QImage atlas(60, 129, QImage::Format_ARGB32);
    atlas.fill(Qt::transparent);
    QPainter painter(&atlas);
    for (const QRect& cell : AtlasCells()) {
        painter.fillRect(cell, QColor::fromRgba(CellColour(cell)));
    }
    return atlas;
}

bool IsBlue(QRgb c) {
    return qBlue(c) > qRed(c) + 40 && qBlue(c) > qGreen(c) + 10;
}
bool IsGreen(QRgb c) {
    return qGreen(c) > qRed(c) + 30 && qGreen(c) > qBlue(c) + 30;
}
bool IsRed(QRgb c) {
    return qRed(c) > qGreen(c) + 60 && qRed(c) > qBlue(c) + 60;
}
bool IsPurple(QRgb c) {
    return qRed(c) > qGreen(c) + 25 && qBlue(c) > qGreen(c) + 25;
}
bool IsGrey(QRgb c) {
    return std::abs(qRed(c) - qGreen(c)) < 12 && std::abs(qGreen(c) - qBlue(c)) < 12;
}

class ProgressItemTest : public ::testing::Test {
protected:
    static constexpr int kX = 8;
    static constexpr int kY = 4;
    static constexpr int kW = 400;
    static constexpr int kBarX = kX + 55;
    static constexpr int kBarMidY = kY + 20 + 7;

    void SetUp() override {
        QtTestApp();
        resources_.texture = MakeAtlas();
        for (int number = kStripTrack; number <= kStripBlue; ++number) {
            ASSERT_FALSE(resources_.Strip(number).isNull()) << "strip " << number << " missing";
        }
    }

    QImage Paint(ProgressItem& item, bool hovered = false, bool dragged = false) {
        QImage image(kX + kW, kY + 60, QImage::Format_ARGB32);
        image.setDotsPerMeterX(3780);
        image.setDotsPerMeterY(3780);
        image.fill(QColor::fromRgba(0xFF626262));
        QPainter painter(&image);
        PaintProgressItem(painter, item, QRect(kX, kY, kW, 53), hovered, dragged, resources_);
        return image;
    }

    QRgb StripPixel(int number, int x) const { return resources_.Strip(number).pixel(x, 7); }

    ProgressListResources resources_;
};

TEST_F(ProgressItemTest, NewRowCarriesRemoveThenStatusButton) {
    ProgressItem item(u"game", u"Fetching game data...", u"Fetching download size...", u"", 32);
    ASSERT_EQ(item.elements.size(), 2U);
    EXPECT_TRUE(item.icon.isNull());
    EXPECT_EQ(item.linkRect, QRectF());
    auto& remove = static_cast<ButtonFromCommonTexture&>(*item.elements[0]);
    EXPECT_EQ(remove.Rect(), QRectF(320, 20, 13, 13));
    EXPECT_EQ(remove.NormalCell(), QRect(15, 15, 13, 13));
    EXPECT_EQ(remove.HoverCell(), QRect(28, 107, 13, 13));
    EXPECT_EQ(remove.Message(), static_cast<uint32_t>(WM_APP_REMOVE_ITEM));
    const ButtonFromCommonTexture& status = item.StatusButton();
    EXPECT_EQ(status.Rect(), QRectF(57, 5, 13, 13));
    EXPECT_EQ(status.NormalCell(), QRect(30, 0, 13, 13));
    EXPECT_EQ(status.HoverCell(), QRect(45, 29, 13, 13));
    // Until the first restyling the status button still carries the remove command.
    EXPECT_EQ(status.Message(), static_cast<uint32_t>(WM_APP_REMOVE_ITEM));
}

TEST_F(ProgressItemTest, StateRestylesStatusButtonByFirstMatchingLine) {
    struct Case {
        int32_t state;
        bool failedSegment;
        QRect normal;
        QRect hover;
        uint32_t message;
    };
    const Case cases[] = {
        {1, false, AtlasCell::kActive, AtlasCell::kActiveHover, WM_APP_PAUSE_BUTTON},
        {8, false, AtlasCell::kActive, AtlasCell::kActiveHover, WM_APP_PAUSE_BUTTON},
        {16, false, AtlasCell::kActive, AtlasCell::kActiveHover, WM_APP_PAUSE_BUTTON},
        {2, false, AtlasCell::kPaused, AtlasCell::kPausedHover, WM_APP_ROW_TOGGLE},
        {32, false, AtlasCell::kPaused, AtlasCell::kPausedHover, WM_APP_ROW_TOGGLE},
        {4, false, AtlasCell::kReady, AtlasCell::kReadyHover, WM_APP_RUN_INSTALLER},
        {64, false, AtlasCell::kWarning, AtlasCell::kWarningHover, WM_APP_RETRY_ITEM},
        // A failed file wins over every state.
        {1, true, AtlasCell::kWarning, AtlasCell::kWarningHover, WM_APP_RETRY_ITEM},
        {2, true, AtlasCell::kWarning, AtlasCell::kWarningHover, WM_APP_RETRY_ITEM},
        {4, true, AtlasCell::kWarning, AtlasCell::kWarningHover, WM_APP_RETRY_ITEM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " failed " << c.failedSegment);
        ProgressItem item(u"g", u"t", u"s", u"", 0);
        item.segments.push_back({SegmentKind::Downloading, 0.0F, 0.5F, 0.0F});
        if (c.failedSegment) {
            item.segments.push_back({SegmentKind::Failed, 0.5F, 1.0F, 0.0F});
        }
        item.SetState(c.state);
        EXPECT_EQ(item.state, c.state);
        EXPECT_EQ(item.StatusButton().NormalCell(), c.normal);
        EXPECT_EQ(item.StatusButton().HoverCell(), c.hover);
        EXPECT_EQ(item.StatusButton().Message(), c.message);
    }
}

TEST_F(ProgressItemTest, StateOutsideTableKeepsLookAndSegmentsCountOnlyAtRestyling) {
    ProgressItem item(u"g", u"t", u"s", u"", 0);
    item.SetState(RowReady);
    item.SetState(0);
    EXPECT_EQ(item.state, 0);
    EXPECT_EQ(item.StatusButton().NormalCell(), AtlasCell::kReady);
    EXPECT_EQ(item.StatusButton().Message(), static_cast<uint32_t>(WM_APP_RUN_INSTALLER));

    item.SetState(RowActive);
    item.segments.push_back({SegmentKind::Failed, 0.0F, 1.0F, 0.0F});
    EXPECT_EQ(item.StatusButton().Message(), static_cast<uint32_t>(WM_APP_PAUSE_BUTTON));
    item.SetState(RowActive);
    EXPECT_EQ(item.StatusButton().Message(), static_cast<uint32_t>(WM_APP_RETRY_ITEM));
}

TEST_F(ProgressItemTest, CopyClonesElementsUnhoveredAndSharesIcon) {
    TempDir dir;
    const std::filesystem::path iconFile = dir.Path() / "icon.png";
    QImage picture(49, 49, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(QString::fromStdString(iconFile.string())));

    ProgressItem item(u"g", u"t", u"s", iconFile.u16string(), RowActive);
    ASSERT_FALSE(item.icon.isNull());
    item.segments.push_back({SegmentKind::Downloading, 0.0F, 1.0F, 0.25F});
    item.linkText = u"INSTALL";
    item.RemoveButton().OnMouseEnter();

    ProgressItem copy(item);
    EXPECT_EQ(copy.id, u"g");
    EXPECT_EQ(copy.linkText, u"INSTALL");
    ASSERT_EQ(copy.elements.size(), 2U);
    EXPECT_NE(copy.elements[0].get(), item.elements[0].get());
    EXPECT_FALSE(copy.RemoveButton().Hovered());
    EXPECT_TRUE(item.RemoveButton().Hovered());
    EXPECT_EQ(copy.StatusButton().Rect(), item.StatusButton().Rect());
    EXPECT_EQ(copy.icon.cacheKey(), item.icon.cacheKey());
    copy.segments[0].fill = 1.0F;
    EXPECT_FLOAT_EQ(item.segments[0].fill, 0.25F);
}

TEST_F(ProgressItemTest, ButtonClickSendsItsMessageAndSurvivesItsRowBeingRemoved) {
    RecordingSink sink;
    auto item = std::make_unique<ProgressItem>(u"mygame", u"t", u"s", u"", 0);
    item->SetState(RowReady);
    // The receiver removes the row, and the button with it, while the call is running.
    sink.onCommand = [&item] { item.reset(); };
    item->StatusButton().OnClick(&sink, item->id, 0);
    ASSERT_EQ(sink.commands.size(), 1U);
    EXPECT_EQ(sink.commands[0].message, static_cast<uint32_t>(WM_APP_RUN_INSTALLER));
    EXPECT_EQ(sink.commands[0].argument, u"mygame");
    EXPECT_EQ(sink.commands[0].lParam, 0);
    EXPECT_EQ(item, nullptr);

    ProgressItem plain(u"g", u"t", u"s", u"", 0);
    plain.RemoveButton().OnClick(nullptr, plain.id, 0);  // no receiver: nothing happens
}

TEST_F(ProgressItemTest, SegmentShowsFilledSliceOfItsStrip) {
    // 0.25..0.75 of 258 starts at 64 and is 129 long; half of it filled is 64 pixels. A failed
    // file is drawn the same way in red: only the part it got shows.
    struct Case {
        SegmentKind kind;
        int32_t state;
        int strip;  // 0: nothing drawn over the track
    };
    constexpr SegmentKind kDownloading = SegmentKind::Downloading;
    constexpr SegmentKind kFailed = SegmentKind::Failed;
    const Case cases[] = {{kDownloading, 1, kStripBlue},
                          {kDownloading, 2, kStripDarkGrey},
                          {kDownloading, 32, kStripDarkGrey},
                          {kDownloading, 8, 0},
                          {kDownloading, 16, 0},
                          {kFailed, 1, kStripRed},
                          {kFailed, 2, kStripRed},
                          {kFailed, 8, kStripRed}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "kind " << static_cast<int>(c.kind) << " state " << c.state);
        ProgressItem item(u"g", u"t", u"s", u"", 0);
        item.segments.push_back({c.kind, 0.25F, 0.75F, 0.5F});
        item.SetState(c.state);
        const QImage image = Paint(item);
        const QRgb trackBefore = image.pixel(kBarX + 63, kBarMidY);
        const QRgb trackAfter = image.pixel(kBarX + 128, kBarMidY);
        EXPECT_TRUE(IsGrey(trackBefore));
        EXPECT_TRUE(IsGrey(trackAfter));
        if (c.strip == 0) {
            EXPECT_EQ(image.pixel(kBarX + 64, kBarMidY), image.pixel(kBarX + 63, kBarMidY));
            continue;
        }
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(image.pixel(kBarX + 64 + i, kBarMidY), StripPixel(c.strip, 64 + i)) << i;
        }
        const auto isStripColour = c.strip == kStripBlue  ? IsBlue
                                   : c.strip == kStripRed ? IsRed
                                                          : IsGrey;
        EXPECT_TRUE(isStripColour(image.pixel(kBarX + 64, kBarMidY)));
        EXPECT_TRUE(isStripColour(image.pixel(kBarX + 127, kBarMidY)));
        // The unfilled half of the segment shows the track.
        EXPECT_NE(image.pixel(kBarX + 128, kBarMidY), image.pixel(kBarX + 127, kBarMidY));
        EXPECT_FALSE(IsBlue(trackAfter));
        EXPECT_FALSE(IsRed(trackAfter));
    }
}

TEST_F(ProgressItemTest, KindOneIsAlwaysFullPurpleAndFailedFileShowsOnlyWhatItGot) {
    ProgressItem item(u"g", u"t", u"s", u"", 0);
    item.segments.push_back({SegmentKind::Unavailable, 0.0F, 0.5F, 0.1F});
    item.segments.push_back({SegmentKind::Failed, 0.5F, 1.0F, 0.0F});
    item.SetState(RowActive);
    const QImage image = Paint(item);
    EXPECT_FLOAT_EQ(item.segments[0].fill, 1.0F);
    for (int x : {kBarX + 1, kBarX + 64, kBarX + 127}) {
        EXPECT_TRUE(IsPurple(image.pixel(x, kBarMidY))) << x;
    }
    // A failed file that got nothing shows no red at all; drawing leaves its fill as it was.
    for (int x : {kBarX + 129, kBarX + 200, kBarX + 256}) {
        EXPECT_FALSE(IsRed(image.pixel(x, kBarMidY))) << x;
        EXPECT_TRUE(IsGrey(image.pixel(x, kBarMidY))) << x;
    }
    EXPECT_FLOAT_EQ(item.segments[1].fill, 0.0F);
}

TEST_F(ProgressItemTest, ReadyAndFailedStatesFillTheWholeBar) {
    for (int32_t state : {RowReady, RowFailed}) {
        SCOPED_TRACE(testing::Message() << "state " << state);
        ProgressItem item(u"g", u"t", u"s", u"", 0);
        item.segments.push_back({SegmentKind::Downloading, 0.0F, 0.3F, 0.0F});
        item.SetState(state);
        const QImage image = Paint(item);
        for (int x : {kBarX + 2, kBarX + 100, kBarX + 255}) {
            const QRgb pixel = image.pixel(x, kBarMidY);
            EXPECT_TRUE(state == RowReady ? IsGreen(pixel) : IsRed(pixel)) << x;
        }
        EXPECT_FALSE(IsGreen(image.pixel(kBarX + 258, kBarMidY)));
        EXPECT_FALSE(IsRed(image.pixel(kBarX + 258, kBarMidY)));
    }
}

TEST_F(ProgressItemTest, JoiningAndCheckingDrawTheirFillOverASecondStrip) {
    // Joining: blue under an amber fill; checking: amber under a green fill.
    struct Case {
        SegmentKind kind;
        int under;
        int fill;
    };
    for (const Case& c : {Case{SegmentKind::Joining, kStripBlue, kStripAmber},
                          Case{SegmentKind::Checking, kStripAmber, kStripGreen}}) {
        SCOPED_TRACE(testing::Message() << "kind " << static_cast<int>(c.kind));
        ProgressItem item(u"g", u"t", u"s", u"", 0);
        item.segments.push_back({c.kind, 0.0F, 0.5F, 0.5F});
        item.SetState(RowActive);
        const QImage image = Paint(item);
        EXPECT_EQ(image.pixel(kBarX + 10, kBarMidY), StripPixel(c.fill, 10));
        EXPECT_EQ(image.pixel(kBarX + 100, kBarMidY), StripPixel(c.under, 100));
    }
}

TEST_F(ProgressItemTest, ButtonsDrawTheirCellAtTheirPlaceAndHoverCellWhileHovered) {
    ProgressItem item(u"g", u"t", u"s", u"", 0);
    item.SetState(RowPaused);
    QImage image = Paint(item);
    EXPECT_EQ(image.pixel(kX + 57 + 6, kY + 5 + 6), CellColour(AtlasCell::kPaused));
    EXPECT_EQ(image.pixel(kX + 57, kY + 5), CellColour(AtlasCell::kPaused));
    EXPECT_EQ(image.pixel(kX + 57 + 12, kY + 5 + 12), CellColour(AtlasCell::kPaused));
    EXPECT_NE(image.pixel(kX + 57 + 13, kY + 5 + 6), CellColour(AtlasCell::kPaused));
    EXPECT_EQ(image.pixel(kX + 320 + 6, kY + 20 + 6), CellColour(AtlasCell::kRemove));

    item.RemoveButton().OnMouseEnter();
    item.StatusButton().OnMouseEnter();
    image = Paint(item);
    EXPECT_EQ(image.pixel(kX + 320 + 6, kY + 20 + 6), CellColour(AtlasCell::kRemoveHover));
    EXPECT_EQ(image.pixel(kX + 57 + 6, kY + 5 + 6), CellColour(AtlasCell::kPausedHover));
    item.RemoveButton().OnMouseLeave();
    image = Paint(item);
    EXPECT_EQ(image.pixel(kX + 320 + 6, kY + 20 + 6), CellColour(AtlasCell::kRemove));
}

TEST_F(ProgressItemTest, BackgroundIconSquareAndFrame) {
    struct Case {
        bool hovered;
        bool dragged;
        QRgb background;
    };
    for (const Case& c : {Case{false, false, 0xFF626262}, Case{true, false, 0xFF767676},
                          Case{true, true, 0xFF4E4E4E}}) {
        ProgressItem item(u"g", u"t", u"s", u"/no/such/icon.png", RowActive);
        EXPECT_TRUE(item.icon.isNull());
        const QImage image = Paint(item, c.hovered, c.dragged);
        EXPECT_EQ(image.pixel(kX + 1, kY + 1), c.background);
        // A missing icon leaves the square empty but framed.
        EXPECT_EQ(image.pixel(kX + 20, kY + 20), 0xFF4E4E4EU);
        EXPECT_EQ(image.pixel(kX + 3, kY + 20), 0xFFFFFFFFU);
        EXPECT_EQ(image.pixel(kX + 3 + 49, kY + 20), 0xFFFFFFFFU);
        EXPECT_EQ(image.pixel(kX + 20, kY + 2 + 49), 0xFFFFFFFFU);
        EXPECT_EQ(image.pixel(kX + 1, kY + 53), 0xFF626262U);  // below the row: untouched
    }
}

TEST_F(ProgressItemTest, PendingRowIsFadedWhileItsBarColoursStayOpaque) {
    TempDir dir;
    const std::filesystem::path iconFile = dir.Path() / "icon.png";
    QImage picture(64, 64, QImage::Format_ARGB32);
    picture.fill(QColor(255, 0, 0));
    ASSERT_TRUE(picture.save(QString::fromStdString(iconFile.string())));

    auto brightestTitlePixel = [](const QImage& image) {
        int best = 0;
        for (int y = kY; y < kY + 20; ++y) {
            for (int x = kX + 72; x < kX + 200; ++x) {
                best = std::max(best, qGray(image.pixel(x, y)));
            }
        }
        return best;
    };
    ProgressItem item(u"g", u"Fetching game data...", u"Fetching download size...",
                      iconFile.u16string(), 0);
    item.segments.push_back({SegmentKind::Downloading, 0.0F, 0.5F, 1.0F});
    // Paused and pending rows draw the same dark grey bar; only the pending one is faded.
    item.SetState(RowPaused);
    const QImage normal = Paint(item);
    item.SetState(RowPending);
    const QImage faded = Paint(item);
    item.SetState(RowPaused);
    const QImage dragged = Paint(item, false, true);

    EXPECT_EQ(normal.pixel(kX + 20, kY + 20), qRgb(255, 0, 0));
    const QRgb fadedIcon = faded.pixel(kX + 20, kY + 20);
    EXPECT_NEAR(qRed(fadedIcon), (255 + 0x4E) / 2, 2);
    EXPECT_NEAR(qGreen(fadedIcon), 0x4E / 2, 2);
    EXPECT_GT(brightestTitlePixel(normal), 230);
    EXPECT_LT(brightestTitlePixel(faded), 200);
    EXPECT_LT(brightestTitlePixel(dragged), 200);
    EXPECT_EQ(faded.pixel(kBarX + 60, kBarMidY), StripPixel(1001, 60));
    EXPECT_EQ(normal.pixel(kBarX + 60, kBarMidY), StripPixel(1001, 60));
    EXPECT_NE(faded.pixel(kBarX + 200, kBarMidY), normal.pixel(kBarX + 200, kBarMidY));
    EXPECT_EQ(normal.pixel(kBarX + 200, kBarMidY), StripPixel(999, 200));
}

TEST_F(ProgressItemTest, LinkFollowsTheStatusTextIncludingItsTrailingSpace) {
    ProgressItem item(u"g", u"Game", u"1024 MB of 1024 MB - completed. ", u"", 0);
    item.SetState(RowReady);
    item.linkText = u"INSTALL";
    item.linkTarget = u"/downloads/game/setup.sh";
    const QImage image = Paint(item);

    const QFontMetricsF status(resources_.statusFont, &image);
    const QFontMetricsF link(resources_.linkFont, &image);
    const qreal statusEnd =
        kX + 57 + status.horizontalAdvance(QStringLiteral("1024 MB of 1024 MB - completed. "));
    EXPECT_DOUBLE_EQ(item.linkRect.x(), statusEnd);
    EXPECT_GT(
        item.linkRect.x(),
        kX + 57 + status.horizontalAdvance(QStringLiteral("1024 MB of 1024 MB - completed.")));
    EXPECT_DOUBLE_EQ(item.linkRect.y(), kY + 35);
    EXPECT_DOUBLE_EQ(item.linkRect.width(), link.horizontalAdvance(QStringLiteral("INSTALL")));
    EXPECT_DOUBLE_EQ(item.linkRect.height(), 18);

    // The link's text is drawn inside its rectangle and nothing lies between it and the status.
    int inked = 0;
    for (int y = kY + 35; y < kY + 53; ++y) {
        for (int x = static_cast<int>(item.linkRect.left()) + 1;
             x < static_cast<int>(item.linkRect.right()); ++x) {
            inked += image.pixel(x, y) != 0xFF626262U ? 1 : 0;
        }
    }
    EXPECT_GT(inked, 20);

    ProgressItem noLink(u"g", u"Game", u"status", u"", 0);
    Paint(noLink);
    EXPECT_EQ(noLink.linkRect, QRectF());
}

}  // namespace
