// The progress list as its user meets it: geometry and scrolling, hover, clicks on links and
// buttons, drag reordering, the context menu, tooltips and the row operations, driven by
// simulated mouse and wheel events and checked on pixels of the rendered image.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/ButtonFromCommonTexture.h"
#include "controls/ProgressListView.h"
#include "core/MessageIds.h"
#include "res/ImageResources.h"
#include "support/QtTestApp.h"
#include "support/TempHome.h"

namespace {

struct Command {
    uint32_t message;
    std::u16string argument;
    int64_t lParam;
    bool operator==(const Command&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Command& c) {
    return out << std::hex << c.message << std::dec << " "
               << QString::fromStdU16String(c.argument).toStdString() << " " << c.lParam;
}

class RecordingSink : public RowCommandSink {
public:
    void OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) override {
        commands.push_back({message, argument, lParam});
        if (onCommand) {
            onCommand(commands.back());
        }
    }
    void OnRowOrderChanged() override { ++orderChanges; }

    std::vector<Command> commands;
    int orderChanges = 0;
    std::function<void(const Command&)> onCommand;
};

// Every cell of the stand-in atlas has a colour of its own, so a pixel tells which was drawn.
QRgb CellColour(const QRect& cell) {
    return qRgb(cell.x() * 4, cell.y() * 2, 200);
}

QImage MakeAtlas() {
    QImage atlas(60, 129, QImage::Format_ARGB32);
    atlas.fill(Qt::transparent);
    QPainter painter(&atlas);
    for (const QRect& cell :
         {AtlasCell::kReady, AtlasCell::kActive, AtlasCell::kPaused, AtlasCell::kReadyHover,
          AtlasCell::kActiveHover, AtlasCell::kPausedHover, AtlasCell::kWarning,
          AtlasCell::kWarningHover, AtlasCell::kRemove, AtlasCell::kRemoveHover}) {
        painter.fillRect(cell, QColor::fromRgb(CellColour(cell)));
    }
    return atlas;
}

constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kRowColour = 0xFF626262;
constexpr QRgb kHoverColour = 0xFF767676;
constexpr QRgb kDraggedColour = 0xFF4E4E4E;

class ProgressListViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtTestApp();
        list_ = std::make_unique<ProgressListView>(&sink_, MakeAtlas());
        list_->resize(420, 400);
        list_->show();
    }

    void AddRows(int count, int32_t state = RowActive) {
        for (int i = 0; i < count; ++i) {
            const std::u16string id = u"game" + std::u16string(1, static_cast<char16_t>(u'a' + i));
            list_->AddOrUpdateRow(id, u"Title " + id, u"Status", u"", state);
        }
    }

    void SendMouse(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, QPointF(pos), QPointF(list_->mapToGlobal(pos)), button, held,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(list_.get(), &event);
    }
    void Move(QPoint pos, bool held = false) {
        SendMouse(QEvent::MouseMove, pos, Qt::NoButton, held ? Qt::LeftButton : Qt::NoButton);
    }
    void Press(QPoint pos, Qt::MouseButton button = Qt::LeftButton) {
        SendMouse(QEvent::MouseButtonPress, pos, button, button);
    }
    void Release(QPoint pos) {
        SendMouse(QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
    }
    void Click(QPoint pos) {
        Move(pos);
        Press(pos);
        Release(pos);
    }
    // A wheel turn over the rows, or over `target` (a child such as the scroll bar).
    void Wheel(int delta, QWidget* target = nullptr) {
        QWidget* receiver = target != nullptr ? target : list_.get();
        const QPoint pos(target != nullptr ? 5 : 100, 100);
        QWheelEvent event(QPointF(pos), QPointF(receiver->mapToGlobal(pos)), QPoint(),
                          QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(receiver, &event);
    }
    // Top of row r's icon frame, where white shows at its left edge.
    static int FrameTop(int row, int scroll) { return row * 58 - scroll + 2; }

    RecordingSink sink_;
    std::unique_ptr<ProgressListView> list_;
};

TEST_F(ProgressListViewTest, FewRowsStartEightPixelsInWithoutScrollBar) {
    AddRows(3);
    EXPECT_EQ(list_->MaxScroll(), 0);
    EXPECT_FALSE(list_->ScrollBarShown());
    EXPECT_EQ(list_->RowOriginX(), 8);
    const QImage image = list_->Render();
    EXPECT_EQ(image.size(), QSize(420, 400));
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(image.pixel(8 + 3, FrameTop(row, 0) + 20), kWhite) << row;
        EXPECT_EQ(image.pixel(3, FrameTop(row, 0) + 20), kRowColour) << row;
        // The row's status button sits 57 pixels into the row.
        EXPECT_EQ(image.pixel(8 + 57 + 6, row * 58 + 5 + 6), CellColour(AtlasCell::kActive));
    }
    // What the widget shows is that image.
    const QImage shown = list_->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(shown.pixel(8 + 3, FrameTop(2, 0) + 20), kWhite);
    EXPECT_EQ(shown.pixel(8 + 57 + 6, 58 + 5 + 6), CellColour(AtlasCell::kActive));
}

TEST_F(ProgressListViewTest, TenRowsScrollByWheelAndScrollBarWithinLimits) {
    AddRows(10);
    EXPECT_EQ(list_->MaxScroll(), 180);
    EXPECT_TRUE(list_->ScrollBarShown());
    EXPECT_EQ(list_->RowOriginX(), 0);
    EXPECT_EQ(list_->ScrollBar()->geometry(), QRect(403, 0, 17, 400));
    QImage image = list_->Render();
    EXPECT_EQ(image.size(), QSize(403, 400));
    EXPECT_EQ(image.pixel(3, FrameTop(1, 0) + 20), kWhite);

    Wheel(-120);  // wheel turned towards the user: the content moves up
    EXPECT_EQ(list_->ScrollOffset(), 24);
    EXPECT_EQ(list_->ScrollBar()->value(), 24);
    image = list_->Render();
    EXPECT_EQ(image.pixel(3, FrameTop(1, 24)), kWhite);
    EXPECT_NE(image.pixel(3, FrameTop(1, 24) - 1), kWhite);
    for (int i = 0; i < 10; ++i) {
        Wheel(-120);
    }
    EXPECT_EQ(list_->ScrollOffset(), 180);
    Wheel(120);
    EXPECT_EQ(list_->ScrollOffset(), 156);
    Wheel(-60);  // half a notch: 12 pixels
    EXPECT_EQ(list_->ScrollOffset(), 168);
    for (int i = 0; i < 10; ++i) {
        Wheel(120);
    }
    EXPECT_EQ(list_->ScrollOffset(), 0);

    QScrollBar* bar = list_->ScrollBar();
    struct Step {
        QAbstractSlider::SliderAction action;
        int expected;
    };
    const Step steps[] = {
        {QAbstractSlider::SliderSingleStepSub, 0},   {QAbstractSlider::SliderSingleStepAdd, 1},
        {QAbstractSlider::SliderPageStepAdd, 51},    {QAbstractSlider::SliderPageStepAdd, 101},
        {QAbstractSlider::SliderPageStepSub, 51},    {QAbstractSlider::SliderToMaximum, 180},
        {QAbstractSlider::SliderSingleStepAdd, 180}, {QAbstractSlider::SliderToMinimum, 0},
    };
    for (const Step& step : steps) {
        bar->triggerAction(step.action);
        EXPECT_EQ(list_->ScrollOffset(), step.expected) << step.action;
        EXPECT_EQ(bar->value(), step.expected) << step.action;
    }
    bar->setSliderPosition(77);
    bar->triggerAction(QAbstractSlider::SliderMove);
    EXPECT_EQ(list_->ScrollOffset(), 77);

    // Fewer rows pull the offset back inside the new limit.
    for (int i = 0; i < 3; ++i) {
        list_->RemoveRow(0);
    }
    EXPECT_EQ(list_->MaxScroll(), 7 * 58 - 400);
    EXPECT_EQ(list_->ScrollOffset(), 6);
}

TEST_F(ProgressListViewTest, WheelOverTheScrollBarScrollsLikeTheWheelOverTheRows) {
    AddRows(10);
    ASSERT_TRUE(list_->ScrollBarShown());
    Wheel(-120, list_->ScrollBar());
    EXPECT_EQ(list_->ScrollOffset(), 24);
    EXPECT_EQ(list_->ScrollBar()->value(), 24);
    Wheel(-240, list_->ScrollBar());
    EXPECT_EQ(list_->ScrollOffset(), 72);
    Wheel(60, list_->ScrollBar());
    EXPECT_EQ(list_->ScrollOffset(), 60);
    for (int i = 0; i < 10; ++i) {
        Wheel(-120, list_->ScrollBar());
    }
    EXPECT_EQ(list_->ScrollOffset(), 180);
    EXPECT_EQ(list_->ScrollBar()->value(), 180);
}

TEST_F(ProgressListViewTest, ReleaseLostToAMessageBoxLeavesNoRowStuckToThePointer) {
    AddRows(3);
    // Pressed on a row, and the release went to a box that opened meanwhile: the next move comes
    // with no button held.
    const QPoint inRow1(200, 58 + 10);
    Move(inRow1);
    Press(inRow1);
    Move(inRow1 + QPoint(0, 30));
    EXPECT_EQ(list_->DragRow(), -1);
    EXPECT_EQ(list_->cursor().shape(), Qt::ArrowCursor);
    Move(QPoint(200, 2 * 58 + 10));
    EXPECT_EQ(list_->DragRow(), -1);
    EXPECT_EQ(list_->RowId(1), u"gameb");
    EXPECT_EQ(sink_.orderChanges, 0);
    // The release that finally arrives is no click and no drag's end.
    Release(QPoint(200, 2 * 58 + 10));
    EXPECT_EQ(sink_.orderChanges, 0);
    EXPECT_TRUE(sink_.commands.empty());

    // A drag under way when the release is lost ends at the next plain move, with the order the
    // rows took reported, as a release would have.
    Move(QPoint(200, 10));
    Press(QPoint(200, 10));
    Move(QPoint(200, 12), true);
    Move(QPoint(200, 58 + 10), true);
    ASSERT_EQ(list_->DragRow(), 1);
    ASSERT_EQ(list_->RowId(1), u"gamea");
    Move(QPoint(200, 2 * 58 + 10));
    EXPECT_EQ(list_->DragRow(), -1);
    EXPECT_EQ(list_->RowId(1), u"gamea");
    EXPECT_EQ(list_->RowId(2), u"gamec");
    EXPECT_EQ(sink_.orderChanges, 1);
    EXPECT_EQ(list_->cursor().shape(), Qt::ArrowCursor);
    // And with the button really held, a drag starts as before.
    Press(QPoint(200, 2 * 58 + 10));
    Move(QPoint(200, 2 * 58 + 12), true);
    EXPECT_EQ(list_->DragRow(), 2);
    Release(QPoint(200, 2 * 58 + 12));
    EXPECT_EQ(sink_.orderChanges, 2);
}

TEST_F(ProgressListViewTest, PointerBelowTheLastRowShowsTheArrowAndNoHoveredButton) {
    AddRows(2, RowReady);
    list_->SetRowLink(1, u"INSTALL", u"/games/b/setup.sh");
    list_->Render();
    const QPoint below(200, 3 * 58 + 20);
    Move(list_->Row(1).linkRect.center().toPoint());
    ASSERT_EQ(list_->cursor().shape(), Qt::PointingHandCursor);
    Move(below);
    EXPECT_EQ(list_->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(list_->HoverRow(), -1);

    // Straight from the remove button (ends 20 pixels above the row's bottom) to below the rows.
    const QPoint onRemove(8 + 320 + 6, 58 + 20 + 6);
    Move(onRemove);
    ASSERT_NE(list_->HoveredElement(), nullptr);
    Move(below);
    EXPECT_EQ(list_->HoveredElement(), nullptr);
    EXPECT_EQ(list_->Render().pixel(onRemove), CellColour(AtlasCell::kRemove));

    // A drag keeps its sizing cursor down there.
    Move(QPoint(200, 10));
    Press(QPoint(200, 10));
    Move(QPoint(200, 12), true);
    Move(below, true);
    EXPECT_EQ(list_->cursor().shape(), Qt::SizeVerCursor);
    Release(below);
}

TEST_F(ProgressListViewTest, ButtonThatComesUnderARestingPointerShowsItsHoverLook) {
    // The pointer rests on row 0's status button while the owner changes the rows.
    const QPoint onStatus(8 + 57 + 6, 5 + 6);
    struct Case {
        const char* what;
        std::function<void(ProgressListView&)> change;
        QRect hoverCell;
        std::u16string rowUnderPointer;
    };
    const std::vector<Case> cases = {
        {"restyled", [](ProgressListView& l) { l.SetRowState(0, RowReady); },
         AtlasCell::kReadyHover, u"gamea"},
        {"moved to the top", [](ProgressListView& l) { l.MoveRowToTop(2); },
         AtlasCell::kPausedHover, u"gamec"},
        {"row above removed", [](ProgressListView& l) { l.RemoveRow(0); }, AtlasCell::kPausedHover,
         u"gameb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        list_ = std::make_unique<ProgressListView>(&sink_, MakeAtlas());
        list_->resize(420, 400);
        list_->show();
        AddRows(3, RowActive);
        list_->SetRowState(1, RowPaused);
        list_->SetRowState(2, RowPaused);
        Move(onStatus);
        ASSERT_EQ(list_->HoveredElement(), &list_->Row(0).StatusButton());
        c.change(*list_);
        ASSERT_EQ(list_->RowId(0), c.rowUnderPointer);
        EXPECT_EQ(list_->HoveredElement(), &list_->Row(0).StatusButton());
        EXPECT_EQ(list_->Render().pixel(onStatus), CellColour(c.hoverCell));
    }

    // A row added under a pointer resting below the last row.
    list_ = std::make_unique<ProgressListView>(&sink_, MakeAtlas());
    list_->resize(420, 400);
    list_->show();
    AddRows(1);
    const QPoint onNextRowsRemove(8 + 320 + 6, 58 + 20 + 6);
    Move(onNextRowsRemove);
    ASSERT_EQ(list_->HoverRow(), -1);
    list_->AddOrUpdateRow(u"new", u"New", u"", u"", RowActive);
    EXPECT_EQ(list_->HoverRow(), 1);
    EXPECT_EQ(list_->Render().pixel(onNextRowsRemove), CellColour(AtlasCell::kRemoveHover));

    // Scrolled by the wheel under a resting pointer: the button now under it lights up.
    AddRows(10);
    Move(QPoint(57 + 6, 58 + 5 + 6));  // row 1's status button; the scroll bar shows
    ASSERT_EQ(list_->HoveredElement(), &list_->Row(1).StatusButton());
    Wheel(-290);  // 58 pixels: row 2 moves into row 1's place
    EXPECT_EQ(list_->ScrollOffset(), 58);
    EXPECT_EQ(list_->HoveredElement(), &list_->Row(2).StatusButton());
    EXPECT_FALSE(list_->Row(1).StatusButton().Hovered());

    // Once the pointer has left the list, nothing lights up under its old place.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(list_.get(), &leave);
    list_->MoveRowToTop(5);
    EXPECT_EQ(list_->HoveredElement(), nullptr);
}

TEST_F(ProgressListViewTest, ContextMenuOpensAtThePointerAlsoWhenScrolledInsideAWindow) {
    QWidget window;
    window.resize(600, 500);
    list_->setParent(&window);
    list_->move(40, 70);
    AddRows(10);
    window.show();
    Wheel(-120);
    ASSERT_EQ(list_->ScrollOffset(), 24);
    std::vector<QPoint> openedAt;
    list_->SetMenuRunner([&openedAt](QMenu&, const QPoint& globalPos) -> QAction* {
        openedAt.push_back(globalPos);
        return nullptr;
    });
    const QPoint press(210, 3 * 58 + 40 - 24);
    Press(press, Qt::RightButton);
    ASSERT_EQ(openedAt.size(), 1U);
    EXPECT_EQ(list_->MenuRow(), 3);
    EXPECT_EQ(openedAt[0], list_->mapToGlobal(press));
    EXPECT_EQ(openedAt[0], window.mapToGlobal(press + QPoint(40, 70)));
    list_->setParent(nullptr);
}

TEST_F(ProgressListViewTest, LinkClickOnScrolledListSendsTargetAndRowIndex) {
    AddRows(10);
    for (int row = 0; row < 10; ++row) {
        list_->SetRowState(row, RowReady);
        list_->SetRowLink(row, u"INSTALL", u"/games/" + list_->RowId(row) + u"/setup.sh");
    }
    Wheel(-120);
    list_->Render();  // the link rectangles come from the drawing
    const QRectF link = list_->Row(2).linkRect;
    EXPECT_EQ(link.top(), 2 * 58 - 24 + 35);
    const QPoint onLink = link.center().toPoint();
    Move(onLink);
    EXPECT_EQ(list_->cursor().shape(), Qt::PointingHandCursor);
    Press(onLink);
    Release(onLink);
    ASSERT_EQ(sink_.commands.size(), 1U);
    EXPECT_EQ(sink_.commands[0], (Command{WM_APP_OPEN_LINK, u"/games/gamec/setup.sh", 2}));
    EXPECT_EQ(sink_.orderChanges, 0);

    // Off the link the arrow comes back, and a release elsewhere on the row opens nothing.
    sink_.commands.clear();
    const QPoint besideLink(static_cast<int>(link.right()) + 20, onLink.y());
    Move(besideLink);
    EXPECT_EQ(list_->cursor().shape(), Qt::ArrowCursor);
    Press(onLink);
    Release(besideLink);
    EXPECT_TRUE(sink_.commands.empty());
}

TEST_F(ProgressListViewTest, LinkClickNeverAlsoClicksTheButtonPassedOnTheWay) {
    AddRows(1);
    list_->SetRowLink(0, u"contact form", u"http://site/support");
    list_->Render();
    const QRectF link = list_->Row(0).linkRect;
    // The remove button ends at row y 33, the link starts at 35: one quick move crosses both.
    Move(QPoint(8 + 325, 25));
    ASSERT_NE(list_->HoveredElement(), nullptr);
    const QPoint onLink = link.center().toPoint();
    Click(onLink);
    ASSERT_EQ(sink_.commands.size(), 1U);
    EXPECT_EQ(sink_.commands[0].message, static_cast<uint32_t>(WM_APP_OPEN_LINK));
    EXPECT_EQ(list_->HoveredElement(), nullptr);
}

TEST_F(ProgressListViewTest, PressAndOneMoveStartDragAndReleaseReportsOrder) {
    AddRows(3);
    const QPoint inRow1(200, 58 + 10);
    Move(inRow1);
    Press(inRow1);
    Move(inRow1 + QPoint(0, 1), true);
    EXPECT_EQ(list_->DragRow(), 1);
    EXPECT_EQ(list_->cursor().shape(), Qt::SizeVerCursor);
    Release(inRow1 + QPoint(0, 1));
    EXPECT_EQ(list_->DragRow(), -1);
    EXPECT_EQ(sink_.orderChanges, 1);
    EXPECT_TRUE(sink_.commands.empty());
    EXPECT_EQ(list_->RowId(1), u"gameb");
    EXPECT_EQ(list_->cursor().shape(), Qt::ArrowCursor);

    // A press in the gap below a row does not start a drag.
    const QPoint inGap(200, 58 + 55);
    Move(inGap);
    Press(inGap);
    Move(inGap + QPoint(0, -20), true);
    EXPECT_EQ(list_->DragRow(), -1);
    Release(inGap + QPoint(0, -20));
    EXPECT_EQ(sink_.orderChanges, 1);
}

TEST_F(ProgressListViewTest, DraggedRowSlidesNeighbourThenExchangesPlaces) {
    AddRows(4);
    Move(QPoint(200, 10));
    Press(QPoint(200, 10));
    // The first move starts the drag; the row is held where the pointer took it then.
    Move(QPoint(200, 12), true);
    ASSERT_EQ(list_->DragRow(), 0);
    Move(QPoint(200, 32), true);
    QImage image = list_->Render();
    // The dragged row follows the pointer (20 pixels down) at the list's left edge, on top.
    EXPECT_EQ(image.pixel(1, 20 + 1), kDraggedColour);
    EXPECT_EQ(image.pixel(3, 20 + 2 + 20), kWhite);
    // Row 1 has slid up by those 20 pixels: the bottom of its icon frame shows below the dragged
    // row 20 pixels above its place.
    const int frameBottom = FrameTop(1, 0) + 49;
    EXPECT_EQ(image.pixel(8 + 20, frameBottom - 20), kWhite);
    EXPECT_NE(image.pixel(8 + 20, frameBottom), kWhite);

    Move(QPoint(200, 58 + 2), true);  // over row 1's place
    EXPECT_EQ(list_->DragRow(), 1);
    EXPECT_EQ(list_->RowId(0), u"gameb");
    EXPECT_EQ(list_->RowId(1), u"gamea");
    image = list_->Render();
    // The dragged row is 5 pixels short of its new place (60 - 12 - 53 in row heights), so
    // row 0 ("gameb") is drawn 5 pixels lower than its own place, the dragged row under it all.
    EXPECT_EQ(image.pixel(8 + 3, FrameTop(0, 0) + 5), kWhite);
    EXPECT_NE(image.pixel(8 + 3, FrameTop(0, 0) + 4), kWhite);
    EXPECT_EQ(image.pixel(1, 58 + 2 - 12 + 1), kDraggedColour);

    // A quick move across rows exchanges only the two rows involved.
    Move(QPoint(200, 3 * 58 + 10), true);
    EXPECT_EQ(list_->DragRow(), 3);
    EXPECT_EQ(list_->RowId(1), u"gamed");
    EXPECT_EQ(list_->RowId(3), u"gamea");
    // Below the last row the drag stays where it was.
    Move(QPoint(200, 390), true);
    EXPECT_EQ(list_->DragRow(), 3);
    Release(QPoint(200, 390));
    EXPECT_EQ(sink_.orderChanges, 1);
    EXPECT_EQ(list_->FindRow(u"gamea"), 3);
}

TEST_F(ProgressListViewTest, DragEndsWhenOwnerRemovesTheDraggedRow) {
    AddRows(3);
    Move(QPoint(200, 10));
    Press(QPoint(200, 10));
    Move(QPoint(200, 12), true);
    Move(QPoint(200, 58 + 10), true);
    ASSERT_EQ(list_->DragRow(), 1);
    list_->RemoveRow(list_->FindRow(u"gamea"));  // e.g. its download was released meanwhile
    EXPECT_EQ(list_->DragRow(), -1);
    list_->Render();
    Move(QPoint(200, 20), true);  // no new drag from the old press
    EXPECT_EQ(list_->DragRow(), -1);
    Release(QPoint(200, 20));
    EXPECT_EQ(sink_.orderChanges, 1);
    EXPECT_EQ(list_->RowId(0), u"gameb");
    EXPECT_EQ(list_->RowId(1), u"gamec");

    // A drag that follows its row when another row goes.
    Move(QPoint(200, 58 + 10));
    Press(QPoint(200, 58 + 10));
    Move(QPoint(200, 58 + 12), true);
    ASSERT_EQ(list_->DragRow(), 1);
    list_->RemoveRow(0);
    EXPECT_EQ(list_->DragRow(), 0);
    EXPECT_EQ(list_->RowId(0), u"gamec");
    Release(QPoint(200, 58 + 12));
    EXPECT_EQ(sink_.orderChanges, 2);
}

TEST_F(ProgressListViewTest, RemoveButtonHoversAndClicksForItsRow) {
    AddRows(3);
    const QPoint onRemove(8 + 320 + 6, 58 + 20 + 6);
    Move(onRemove);
    ASSERT_EQ(list_->HoveredElement(), list_->Row(1).elements[0].get());
    EXPECT_EQ(list_->HoverRow(), 1);
    QImage image = list_->Render();
    EXPECT_EQ(image.pixel(onRemove), CellColour(AtlasCell::kRemoveHover));
    EXPECT_EQ(image.pixel(8 + 200, 58 + 2), kHoverColour);
    EXPECT_EQ(image.pixel(8 + 200, 2), kRowColour);
    EXPECT_EQ(image.pixel(8 + 320 + 6, 20 + 6), CellColour(AtlasCell::kRemove));

    Move(onRemove + QPoint(0, 13));  // just below the button
    EXPECT_EQ(list_->HoveredElement(), nullptr);
    image = list_->Render();
    EXPECT_EQ(image.pixel(onRemove), CellColour(AtlasCell::kRemove));

    // The owner removes the row while the click is being handled.
    sink_.onCommand = [this](const Command& c) { list_->RemoveRow(list_->FindRow(c.argument)); };
    Click(onRemove);
    ASSERT_EQ(sink_.commands.size(), 1U);
    EXPECT_EQ(sink_.commands[0], (Command{WM_APP_REMOVE_ITEM, u"gameb", 0}));
    EXPECT_EQ(list_->RowCount(), 2);
    EXPECT_EQ(list_->FindRow(u"gameb"), -1);
}

TEST_F(ProgressListViewTest, StatusButtonSendsTheCommandOfTheRowState) {
    AddRows(1);
    const QPoint onStatus(8 + 57 + 6, 5 + 6);
    struct Case {
        int32_t state;
        uint32_t message;
    };
    for (const Case& c :
         {Case{RowActive, WM_APP_PAUSE_BUTTON}, Case{RowPending, WM_APP_ROW_TOGGLE},
          Case{RowReady, WM_APP_RUN_INSTALLER}, Case{RowFailed, WM_APP_RETRY_ITEM}}) {
        sink_.commands.clear();
        list_->SetRowState(0, c.state);
        Click(onStatus);
        ASSERT_EQ(sink_.commands.size(), 1U) << c.state;
        EXPECT_EQ(sink_.commands[0], (Command{c.message, u"gamea", 0}));
    }
    // Pressing a button and releasing elsewhere is no click (the move makes it a drag).
    sink_.commands.clear();
    Move(onStatus);
    Press(onStatus);
    Release(onStatus + QPoint(100, 0));
    EXPECT_TRUE(sink_.commands.empty());
}

TEST_F(ProgressListViewTest, ContextMenuEntriesDependOnStateAndFailedFiles) {
    // "Retry" appears with a failed file and on a row whose whole game failed.
    AddRows(1);
    struct Case {
        int32_t state;
        bool failedFile;
    };
    for (const Case& c : {Case{RowActive, false}, Case{RowPaused, false}, Case{RowReady, false},
                          Case{RowActiveNoProgress, false}, Case{RowPending, false},
                          Case{RowFailed, false}, Case{RowReady, true}, Case{RowPaused, true}}) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " failed " << c.failedFile);
        list_->ClearRowSegments(0);
        if (c.failedFile) {
            list_->RowSegments(0).push_back({SegmentKind::Failed, 0.0F, 1.0F, 0.0F});
        }
        list_->SetRowState(0, c.state);
        const std::unique_ptr<QMenu> menu = list_->BuildContextMenu(0);
        std::vector<QString> texts;
        std::vector<int> commands;
        for (QAction* action : menu->actions()) {
            texts.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
            commands.push_back(action->data().isValid() ? action->data().toInt() : 0);
        }
        std::vector<QString> expected = {QStringLiteral("Title gamea"), QStringLiteral("-"),
                                         QStringLiteral("Launch Installer")};
        const bool retryOffered = c.failedFile || c.state == RowFailed;
        if (retryOffered) {
            expected.insert(expected.end(),
                            {QStringLiteral("-"), QStringLiteral("Retry"), QStringLiteral("-")});
        }
        expected.push_back(QStringLiteral("Remove"));
        EXPECT_EQ(texts, expected);
        EXPECT_EQ(commands.front(), 33441);
        EXPECT_EQ(menu->actions()[2]->data().toInt(), 33442);
        EXPECT_EQ(menu->actions()[2]->isEnabled(), c.state == RowReady);
        if (retryOffered) {
            EXPECT_EQ(menu->actions()[4]->data().toInt(), 33443);
        }
        QMenu* remove = menu->actions().back()->menu();
        ASSERT_NE(remove, nullptr);
        ASSERT_EQ(remove->actions().size(), 2);
        EXPECT_EQ(remove->actions()[0]->text(), QStringLiteral("From list"));
        EXPECT_EQ(remove->actions()[0]->data().toInt(), 33444);
        EXPECT_EQ(remove->actions()[1]->text(), QStringLiteral("From list and disk"));
        EXPECT_EQ(remove->actions()[1]->data().toInt(), 33445);
    }
}

TEST_F(ProgressListViewTest, RightClickRunsTheChosenCommandOnItsRow) {
    AddRows(3);
    list_->SetRowLink(1, u"INSTALL", u"/games/b/setup.sh");
    list_->RowSegments(1).push_back({SegmentKind::Failed, 0.0F, 1.0F, 0.0F});
    list_->SetRowState(1, RowReady);
    struct Case {
        int command;
        Command expected;
    };
    const Case cases[] = {
        {33441, {WM_APP_OPEN_GAME_CARD, u"gameb", 0}},
        {33442, {WM_APP_OPEN_LINK, u"/games/b/setup.sh", 0}},
        {33443, {WM_APP_RETRY_ITEM, u"gameb", 0}},
        {33444, {WM_APP_REMOVE_ITEM, u"gameb", 0}},
        {33445, {WM_APP_REMOVE_ITEM, u"gameb", 1}},
    };
    for (const Case& c : cases) {
        sink_.commands.clear();
        list_->SetMenuRunner([&c](QMenu& menu, const QPoint&) -> QAction* {
            std::vector<QAction*> all;
            for (QAction* action : menu.actions()) {
                all.push_back(action);
                if (action->menu() != nullptr) {
                    for (QAction* sub : action->menu()->actions()) {
                        all.push_back(sub);
                    }
                }
            }
            for (QAction* action : all) {
                if (action->data().toInt() == c.command) {
                    return action;
                }
            }
            return nullptr;
        });
        Press(QPoint(200, 58 + 30), Qt::RightButton);
        EXPECT_EQ(list_->MenuRow(), 1);
        EXPECT_EQ(list_->HoverRow(), 1);
        ASSERT_EQ(sink_.commands.size(), 1U) << c.command;
        EXPECT_EQ(sink_.commands[0], c.expected);
    }
    // Dismissing the menu sends nothing; a right click below the rows opens no menu.
    sink_.commands.clear();
    int menus = 0;
    list_->SetMenuRunner([&menus](QMenu&, const QPoint&) -> QAction* {
        ++menus;
        return nullptr;
    });
    Press(QPoint(200, 30), Qt::RightButton);
    Press(QPoint(200, 300), Qt::RightButton);
    EXPECT_EQ(menus, 1);
    EXPECT_TRUE(sink_.commands.empty());
}

TEST_F(ProgressListViewTest, MenuCommandFollowsItsRowWhenRowsChangeWhileTheMenuIsOpen) {
    AddRows(3);
    // While the menu is open the owner removes the first row: "From list and disk" must still
    // name the row the menu was opened on, not the one that took its place.
    list_->SetMenuRunner([this](QMenu& menu, const QPoint&) -> QAction* {
        list_->RemoveRow(0);
        return menu.actions().back()->menu()->actions()[1];
    });
    Press(QPoint(200, 58 + 30), Qt::RightButton);
    ASSERT_EQ(sink_.commands.size(), 1U);
    EXPECT_EQ(sink_.commands[0], (Command{WM_APP_REMOVE_ITEM, u"gameb", 1}));

    sink_.commands.clear();
    list_->SetMenuRunner([this](QMenu& menu, const QPoint&) -> QAction* {
        list_->RemoveRow(list_->FindRow(u"gamec"));
        return menu.actions().back()->menu()->actions()[1];
    });
    Press(QPoint(200, 58 + 30), Qt::RightButton);  // "gamec" is row 1 now
    EXPECT_TRUE(sink_.commands.empty());
}

TEST_F(ProgressListViewTest, RemovingLastRowHidesScrollBarAndForgetsElements) {
    list_->resize(420, 50);
    AddRows(1);
    EXPECT_EQ(list_->MaxScroll(), 8);
    EXPECT_TRUE(list_->ScrollBarShown());
    const QPoint onRemove(320 + 6, 20 + 6);  // the scroll bar shows: rows start at 0
    Move(onRemove);
    Press(onRemove);
    ASSERT_NE(list_->PressedElement(), nullptr);
    ASSERT_NE(list_->HoveredElement(), nullptr);
    list_->RemoveRow(0);
    EXPECT_EQ(list_->RowCount(), 0);
    EXPECT_FALSE(list_->ScrollBarShown());
    EXPECT_EQ(list_->MaxScroll(), 0);
    EXPECT_EQ(list_->HoveredElement(), nullptr);
    EXPECT_EQ(list_->PressedElement(), nullptr);
    Release(onRemove);
    EXPECT_TRUE(sink_.commands.empty());
    const QImage image = list_->Render();
    EXPECT_EQ(image.pixel(10, 10), kRowColour);  // the list's background
}

TEST_F(ProgressListViewTest, HoveredButtonOfAnotherRowLosesItsHoverLookWhenRowsChange) {
    AddRows(3);
    Move(QPoint(8 + 320 + 6, 2 * 58 + 26));
    const ActiveElement* button = list_->HoveredElement();
    ASSERT_NE(button, nullptr);
    list_->MoveRowToTop(2);
    // The moved row's button is no longer under the pointer; the one that came there is.
    EXPECT_FALSE(button->Hovered());
    EXPECT_EQ(list_->HoveredElement(), list_->Row(2).elements[0].get());
    EXPECT_TRUE(list_->Row(2).elements[0]->Hovered());
    EXPECT_EQ(list_->RowId(0), u"gamec");
    EXPECT_EQ(list_->RowId(1), u"gamea");
    EXPECT_EQ(list_->RowId(2), u"gameb");
    EXPECT_EQ(sink_.orderChanges, 1);
}

TEST_F(ProgressListViewTest, AddOrUpdateRowOfKnownIdKeepsPlaceAndIcon) {
    TempDir dir;
    auto writeIcon = [&dir](const char* name, QColor colour) {
        QImage image(49, 49, QImage::Format_ARGB32);
        image.fill(colour);
        const std::filesystem::path path = dir.Path() / name;
        EXPECT_TRUE(image.save(QString::fromStdString(path.string())));
        return path.u16string();
    };
    const std::u16string red = writeIcon("red.png", Qt::red);
    const std::u16string green = writeIcon("green.png", Qt::green);
    AddRows(2);
    EXPECT_EQ(list_->AddOrUpdateRow(u"mine", u"Fetching game data...", u"", red, RowPending), 2);
    EXPECT_EQ(list_->AddOrUpdateRow(u"mine", u"My Game", u"10 MB", green, RowActive), 2);
    EXPECT_EQ(list_->RowCount(), 3);
    const ProgressItem& row = list_->Row(2);
    EXPECT_EQ(row.title, u"My Game");
    EXPECT_EQ(row.statusText, u"10 MB");
    EXPECT_EQ(row.iconPath, red);
    EXPECT_EQ(row.state, RowActive);
    EXPECT_EQ(row.StatusButton().Message(), static_cast<uint32_t>(WM_APP_PAUSE_BUTTON));
    EXPECT_EQ(list_->Render().pixel(8 + 20, 2 * 58 + 20), qRgb(255, 0, 0));

    // SetRowIcon changes it, but not for an empty or unchanged path.
    list_->SetRowIcon(2, u"");
    list_->SetRowIcon(2, red);
    EXPECT_EQ(list_->Render().pixel(8 + 20, 2 * 58 + 20), qRgb(255, 0, 0));
    list_->SetRowIcon(2, green);
    EXPECT_EQ(list_->Row(2).iconPath, green);
    EXPECT_EQ(list_->Render().pixel(8 + 20, 2 * 58 + 20), qRgb(0, 255, 0));
    EXPECT_EQ(list_->FindRow(u"MINE"), -1);  // ids match exactly
}

TEST_F(ProgressListViewTest, PauseActiveRowsPausesOnlyRowsThatAreRunning) {
    const int32_t states[] = {RowActive, RowPaused, RowReady, 8, 16, RowPending, RowFailed};
    for (int32_t state : states) {
        list_->AddOrUpdateRow(u"g" + std::u16string(1, static_cast<char16_t>(u'0' + state % 10)) +
                                  std::u16string(1, static_cast<char16_t>(u'0' + state / 10)),
                              u"t", u"s", u"", state);
    }
    list_->PauseActiveRows();
    const int32_t expected[] = {RowPaused, RowPaused,  RowReady, RowPaused,
                                RowPaused, RowPending, RowFailed};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(list_->Row(i).state, expected[i]) << i;
    }
    EXPECT_EQ(list_->Row(0).StatusButton().Message(), static_cast<uint32_t>(WM_APP_ROW_TOGGLE));
}

TEST_F(ProgressListViewTest, InvalidIndexIsIgnoredOrRefused) {
    AddRows(1);
    list_->RemoveRow(5);
    list_->SetRowTitle(-1, u"x");
    list_->SetRowState(1, RowReady);
    list_->MoveRowToTop(3);
    EXPECT_EQ(list_->RowCount(), 1);
    EXPECT_EQ(sink_.orderChanges, 0);
    EXPECT_THROW(list_->RowSegments(1), std::out_of_range);
    EXPECT_THROW(list_->RowId(-1), std::out_of_range);
}

TEST_F(ProgressListViewTest, TooltipCountsFilesThatWillComeOnRelease) {
    setenv("VELKDOWNLOADER_SITE_URL", "https://store.example.test:8443", 1);
    AddRows(1);
    using K = SegmentKind;
    auto setKinds = [this](std::vector<SegmentKind> kinds) {
        list_->ClearRowSegments(0);
        for (SegmentKind kind : kinds) {
            list_->RowSegments(0).push_back({kind, 0.0F, 0.0F, 0.0F});
        }
    };
    setKinds({K::Downloading, K::Unavailable, K::Unavailable});
    EXPECT_EQ(list_->TooltipText(0).toStdU16String(),
              u"Title gamea\nDownloading 1 out of 3 files. 2 files will be available on release. "
              u"\nPlease visit store.example.test for more details.");
    setKinds({K::Downloading, K::Failed, K::Joining});
    EXPECT_EQ(list_->TooltipText(0).toStdU16String(),
              u"Title gamea\nDownloading 2 out of 3 files. 1 file will be available on release. "
              u"\nPlease visit store.example.test for more details.");
    setKinds({K::Downloading, K::Failed});
    EXPECT_TRUE(list_->TooltipText(0).isEmpty());
    setKinds({});
    EXPECT_TRUE(list_->TooltipText(0).isEmpty());

    setKinds({K::Unavailable});
    list_->SetRowLink(0, u"INSTALL", u"target");
    list_->Render();
    const QPoint onLink = list_->Row(0).linkRect.center().toPoint();
    EXPECT_TRUE(list_->TooltipAt(QPoint(200, 20)).startsWith(QStringLiteral("Title gamea\n")));
    EXPECT_TRUE(list_->TooltipAt(QPoint(200, 55)).contains(QStringLiteral("0 out of 1 files")));
    EXPECT_TRUE(list_->TooltipAt(onLink).isEmpty());
    EXPECT_TRUE(list_->TooltipAt(QPoint(200, 300)).isEmpty());

    // The widget answers the platform's request when there is a tip and declines otherwise.
    QHelpEvent onRow(QEvent::ToolTip, QPoint(200, 20), list_->mapToGlobal(QPoint(200, 20)));
    QCoreApplication::sendEvent(list_.get(), &onRow);
    EXPECT_TRUE(onRow.isAccepted());
    QHelpEvent belowRows(QEvent::ToolTip, QPoint(200, 300), list_->mapToGlobal(QPoint(200, 300)));
    QCoreApplication::sendEvent(list_.get(), &belowRows);
    EXPECT_FALSE(belowRows.isAccepted());
    unsetenv("VELKDOWNLOADER_SITE_URL");
}

// One picture of a row in every state, for people to look at; written next to the build.
TEST_F(ProgressListViewTest, RendersEveryStateForThePicture) {
    ProgressListView list(&sink_, LoadImageResource(kIconAtlas));
    list.resize(420, 8 * 58);
    using K = SegmentKind;
    struct Row {
        int32_t state;
        const char16_t* title;
        const char16_t* status;
        std::vector<Segment> segments;
        const char16_t* link;
    };
    const std::vector<Row> rows = {
        {RowPending, u"Fetching game data...", u"Fetching download size...", {}, u""},
        {RowActive,
         u"Active: two files",
         u"300 MB of 1024 MB - 1 min remaining",
         {{K::Downloading, 0.0F, 0.25F, 1.0F}, {K::Downloading, 0.2525F, 1.0F, 0.4F}},
         u""},
        {RowPaused,
         u"Paused, third file unavailable",
         u"120 MB of 600 MB - paused",
         {{K::Downloading, 0.0F, 0.4F, 0.6F},
          {K::Downloading, 0.41F, 0.7F, 0.1F},
          {K::Unavailable, 0.71F, 1.0F, 0.0F}},
         u""},
        {RowActive,
         u"Joining and checking",
         u"600 MB of 600 MB - combining (50.00%)",
         {{K::Checking, 0.0F, 0.5F, 0.7F}, {K::Joining, 0.51F, 1.0F, 0.5F}},
         u""},
        {RowReady, u"Ready to install", u"1024 MB of 1024 MB - completed. ", {}, u"INSTALL"},
        {RowPaused,
         u"A file failed",
         u"There is a problem with this file, please use our ",
         {{K::Downloading, 0.0F, 0.5F, 0.8F}, {K::Failed, 0.51F, 1.0F, 0.2F}},
         u"contact form"},
        {RowFailed,
         u"Details failed",
         u"Cannot fetch game details, please use our ",
         {},
         u"contact form"},
        {8, u"State 8: active without progress", u"", {{K::Downloading, 0.0F, 1.0F, 0.5F}}, u""},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const int index =
            list.AddOrUpdateRow(u"g" + std::u16string(1, static_cast<char16_t>(u'0' + i)),
                                rows[i].title, rows[i].status, u"", 0);
        list.RowSegments(index) = rows[i].segments;
        list.SetRowState(index, rows[i].state);
        list.SetRowLink(index, rows[i].link, u"target");
    }
    const QImage image = list.Render();
    EXPECT_EQ(image.size(), QSize(420, 8 * 58));
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/../artifacts");
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_TRUE(image.save(folder + QStringLiteral("/progress-list.png")));
}

}  // namespace
