#pragma once
// The owner-drawn list of game downloads: one row per game (icon, title, segmented bar, status
// line with optional link, remove and status buttons), its own scroll bar, hover, drag reordering,
// a context menu and tooltips. It stores, draws and reports: every user action goes synchronously
// to the RowCommandSink (the main window), which decides and calls the row operations back.
// User-interface thread only; it never acts on a download itself.
#include <QImage>
#include <QPoint>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/RowView.h"
#include "controls/ProgressItem.h"
#include "controls/ProgressItemPainter.h"

class QAction;
class QMenu;
class QScrollBar;

class ProgressListView : public QWidget, public RowView {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 53;
    static constexpr int kRowPitch = 58;  // a 5-pixel gap below every row
    static constexpr int kScrollBarWidth = 17;
    static constexpr int kRowIndent = 8;  // rows' left edge while the scroll bar is hidden
    static constexpr int kControlId = 6;

    // Context-menu commands, all acting on the menu's row.
    enum MenuCommand : int {
        kMenuOpenGameCard = 33441,
        kMenuLaunchInstaller = 33442,
        kMenuRetry = 33443,
        kMenuRemoveFromList = 33444,
        kMenuRemoveFromDisk = 33445,
    };

    // `texture` is the shared button texture (the icon atlas); `sink` receives the user's actions
    // and may be null (they are then dropped). The strip images load from the resources here.
    ProgressListView(RowCommandSink* sink, const QImage& texture, QWidget* parent = nullptr);
    ~ProgressListView() override;

    // RowView. Indices come from FindRow just before: an index out of range is ignored (logged),
    // and RowSegments/RowId throw std::out_of_range for it.
    int FindRow(const std::u16string& id) const override;
    int AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                       const std::u16string& statusText, const std::u16string& iconPath,
                       int32_t state) override;
    void RemoveRow(int index) override;
    void SetRowTitle(int index, const std::u16string& text) override;
    void SetRowState(int index, int32_t state) override;
    void SetRowIcon(int index, const std::u16string& imagePath) override;
    void SetRowLink(int index, const std::u16string& text, const std::u16string& target) override;
    void ClearRowSegments(int index) override;
    std::vector<Segment>& RowSegments(int index) override;
    void PauseActiveRows() override;
    void MoveRowToTop(int index) override;
    void Refresh() override;
    int RowCount() const override;
    std::u16string RowId(int index) const override;

    // The status text is written in place by the lifecycle where no operation exists for it.
    void SetRowStatusText(int index, const std::u16string& text) override;

    // Renders the whole list as the next paint shows it (also what paintEvent copies), at the
    // screen's device pixel ratio: the image has the list's logical size times the ratio, so text
    // on a high-density screen is drawn at full detail rather than stretched. Drawing stores each
    // row's link rectangle (logical client coordinates), which the link hit tests use.
    QImage Render();
    QImage Render(qreal devicePixelRatio);

    // Recomputes maxScroll, clamps the offset and shows or hides the scroll bar.
    void UpdateScrollBar();

    // The context menu of `row` as a right click shows it; actions carry their command as data.
    std::unique_ptr<QMenu> BuildContextMenu(int row);
    // Runs a context-menu command on the menu's row.
    void OnMenuCommand(int command);
    // How a built menu is shown; by default QMenu::exec at `globalPos`. Returns the chosen action.
    using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;
    void SetMenuRunner(MenuRunner runner);

    // The tooltip text for `row`: empty unless some segment is neither downloading nor failed.
    QString TooltipText(int row) const;
    // The tip at a client point: a row shows its tip anywhere on it except on its link.
    QString TooltipAt(const QPoint& pos) const;

    // Geometry and state, read by the owner's tests and by the painting.
    int RowAt(int y) const;  // the row under client y, or -1
    QRect GetRowRect(int row) const;
    int RowOriginX() const;
    bool ScrollBarShown() const;
    int ScrollOffset() const { return scrollOffset_; }
    int MaxScroll() const { return maxScroll_; }
    int HoverRow() const { return hoverRow_; }
    int DragRow() const { return dragRow_; }
    int MenuRow() const { return menuRow_; }
    const ActiveElement* HoveredElement() const { return hoveredElement_; }
    const ActiveElement* PressedElement() const { return pressedElement_; }
    const ProgressItem& Row(int index) const;
    QScrollBar* ScrollBar() const { return scrollBar_; }

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;

private:
    bool ValidRow(int index, const char16_t* operation) const;
    ActiveElement* ElementAt(int row, const QPoint& pos) const;
    bool OnLink(int row, const QPoint& pos) const;
    void SetHoveredElement(ActiveElement* element);
    // Looks up the row, element and cursor under the last known pointer position again: rows
    // that move, appear or change under a resting pointer show their hover look at once.
    void RefreshHover();
    // A button release the list never saw (a modal box took it): the press and any drag end.
    void EndLostPress();
    // Ends a drag, if one is going on (or its row went while it was), and reports the order:
    // whether there was one.
    bool EndDrag();
    void ClearElementReferences();
    void ClickAction(const QPoint& pos);
    void ShowContextMenu(const QPoint& pos, const QPoint& globalPos);
    void OnScrollAction(int action);
    void ScrollTo(int offset);
    void SendOrderChanged();

    RowCommandSink* sink_;
    ProgressListResources resources_;
    std::vector<ProgressItem> rows_;
    QScrollBar* scrollBar_;  // a child: Qt frees it with the list
    MenuRunner menuRunner_;

    int hoverRow_ = -1;
    int dragRow_ = -1;
    int pressedRow_ = -1;
    int pressKind_ = 0;  // 0 none, 1 on the row's link, 2 elsewhere on the row
    int menuRow_ = -1;
    std::u16string menuRowId_;  // the menu's row, found again if rows moved meanwhile
    QPoint pressPoint_;
    QPoint dragOffset_;  // pointer minus the dragged row's top-left at the start of the drag
    QPoint lastDragPoint_;
    std::optional<QPoint> pointer_;  // last pointer position over the list; none once it left
    bool buttonDown_ = false;
    bool orderReportPending_ = false;  // a drag whose row was removed ends at the release
    int scrollOffset_ = 0;
    int maxScroll_ = 0;
    // Elements of rows in rows_. Moves keep element objects alive, so only removing or
    // re-creating a row has to clear these.
    ActiveElement* hoveredElement_ = nullptr;
    ActiveElement* pressedElement_ = nullptr;
};
