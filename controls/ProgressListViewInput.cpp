// ProgressListView: mouse, wheel-free input, context menu and tooltips.
#include <QAction>
#include <QCursor>
#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTextDocument>
#include <QToolTip>
#include <QUrl>
#include <algorithm>

#include "controls/ProgressListView.h"
#include "core/Deployment.h"
#include "core/MessageIds.h"
#include "core/WideFormat.h"

namespace {
QString MenuText(const std::u16string& text) {
    // "&" would otherwise turn the next letter of a game's title into a shortcut.
    return QString::fromStdU16String(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}
}  // namespace

ActiveElement* ProgressListView::ElementAt(int row, const QPoint& pos) const {
    if (row < 0 || row >= RowCount()) {
        return nullptr;
    }
    const QPointF inRow(pos.x() - RowOriginX(), pos.y() - (row * kRowPitch - scrollOffset_));
    for (const auto& element : rows_[static_cast<size_t>(row)].elements) {
        if (element->Contains(inRow)) {
            return element.get();
        }
    }
    return nullptr;
}

bool ProgressListView::OnLink(int row, const QPoint& pos) const {
    if (row < 0 || row >= RowCount()) {
        return false;
    }
    const ProgressItem& item = rows_[static_cast<size_t>(row)];
    const QRectF& link = item.linkRect;
    return !item.linkText.empty() && pos.x() >= link.left() &&
           pos.x() < link.left() + link.width() && pos.y() >= link.top() &&
           pos.y() < link.top() + link.height();
}

void ProgressListView::SetHoveredElement(ActiveElement* element) {
    if (element == hoveredElement_) {
        return;
    }
    if (hoveredElement_ != nullptr) {
        hoveredElement_->OnMouseLeave();
    }
    if (element != nullptr) {
        element->OnMouseEnter();
    }
    hoveredElement_ = element;
}

void ProgressListView::RefreshHover() {
    if (!pointer_ || dragRow_ >= 0) {
        return;
    }
    const QPoint pos = *pointer_;
    const int r = RowAt(pos.y());
    hoverRow_ = r;
    if (r >= 0 && OnLink(r, pos)) {
        setCursor(Qt::PointingHandCursor);
        SetHoveredElement(nullptr);
        return;
    }
    setCursor(Qt::ArrowCursor);
    SetHoveredElement(ElementAt(r, pos));
}

void ProgressListView::EndLostPress() {
    buttonDown_ = false;
    pressKind_ = 0;
    pressedElement_ = nullptr;
    // Rows may already have changed places: the order is reported as at a release.
    EndDrag();
}

bool ProgressListView::EndDrag() {
    if (dragRow_ < 0 && !orderReportPending_) {
        return false;
    }
    dragRow_ = -1;
    orderReportPending_ = false;
    setCursor(Qt::ArrowCursor);
    update();
    SendOrderChanged();
    return true;
}

void ProgressListView::leaveEvent(QEvent* e) {
    // The row stays highlighted until the next move, but nothing is looked up under a pointer
    // that is elsewhere.
    pointer_.reset();
    QWidget::leaveEvent(e);
}

void ProgressListView::mouseMoveEvent(QMouseEvent* e) {
    e->accept();
    const QPoint pos = e->position().toPoint();
    pointer_ = pos;
    if (buttonDown_ && !e->buttons().testFlag(Qt::LeftButton)) {
        // The release went elsewhere (a message box opened while the button was down): without
        // this, the next plain move would start a drag, or keep one going, with no button held.
        EndLostPress();
    }
    const int r = RowAt(pos.y());
    if (r < 0) {
        // A drag does not follow the pointer into the empty area below the last row.
        if (hoverRow_ != -1) {
            hoverRow_ = -1;
            update();
        }
        if (dragRow_ < 0) {
            // Nothing to click or drag here: the hand or a button's hover look would promise it.
            setCursor(Qt::ArrowCursor);
            if (hoveredElement_ != nullptr) {
                SetHoveredElement(nullptr);
                update();
            }
        }
        return;
    }
    if (dragRow_ >= 0) {
        if (r != dragRow_) {
            // A plain exchange: a quick move across several rows swaps only these two.
            std::swap(rows_[static_cast<size_t>(dragRow_)], rows_[static_cast<size_t>(r)]);
            dragRow_ = r;
        }
        lastDragPoint_ = pos;
        update();
        return;
    }
    bool dragStarted = false;
    if (buttonDown_ && pressKind_ == 2 && pressedRow_ >= 0 && pressedRow_ < RowCount() &&
        GetRowRect(pressedRow_).contains(pressPoint_)) {
        // No movement threshold: the first move with the button held starts the drag.
        dragRow_ = pressedRow_;
        const QRect rowRect = GetRowRect(dragRow_);
        dragOffset_ = pos - rowRect.topLeft();
        lastDragPoint_ = pos;
        setCursor(Qt::SizeVerCursor);
        dragStarted = true;
    }
    if (r != hoverRow_) {
        hoverRow_ = r;
        update();
    }
    if (dragStarted) {
        // The sizing cursor stays for the whole drag.
        update();
        return;
    }
    if (OnLink(hoverRow_, pos)) {
        setCursor(Qt::PointingHandCursor);
        // The link is no element: a button left on the way to it must not take the click.
        SetHoveredElement(nullptr);
        update();
        return;
    }
    setCursor(Qt::ArrowCursor);
    SetHoveredElement(ElementAt(r, pos));
    update();
}

void ProgressListView::mousePressEvent(QMouseEvent* e) {
    e->accept();
    const QPoint pos = e->position().toPoint();
    pointer_ = pos;
    if (e->button() == Qt::RightButton) {
        ShowContextMenu(pos, e->globalPosition().toPoint());
        return;
    }
    if (e->button() != Qt::LeftButton) {
        return;
    }
    pressPoint_ = pos;
    buttonDown_ = true;
    pressedRow_ = RowAt(pos.y());
    if (pressedRow_ < 0) {
        pressKind_ = 0;
        return;
    }
    if (OnLink(pressedRow_, pos)) {
        pressKind_ = 1;
        pressedElement_ = nullptr;
    } else {
        pressedElement_ = hoveredElement_;
        pressKind_ = 2;
    }
}

void ProgressListView::mouseReleaseEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() != Qt::LeftButton || !buttonDown_) {
        return;
    }
    // Cleared first: the receiver of what follows may open a modal dialog with its own loop.
    buttonDown_ = false;
    const QPoint pos = e->position().toPoint();
    if (EndDrag()) {
        return;
    }
    if (pressKind_ == 1 && pressedRow_ >= 0 && RowAt(pos.y()) == pressedRow_) {
        ClickAction(pos);
    }
    // Looked at again: the click above may have removed rows, and with them this element.
    if (pressedElement_ != nullptr && pressedRow_ >= 0 && RowAt(pos.y()) == pressedRow_) {
        const auto& elements = rows_[static_cast<size_t>(pressedRow_)].elements;
        const bool inRow = std::any_of(elements.begin(), elements.end(), [this](const auto& el) {
            return el.get() == pressedElement_;
        });
        const QPointF inRowPos(pos.x() - RowOriginX(),
                               pos.y() - (pressedRow_ * kRowPitch - scrollOffset_));
        if (inRow && pressedElement_->Contains(inRowPos)) {
            ClickAction(pos);
        }
    }
    update();
}

void ProgressListView::ClickAction(const QPoint& pos) {
    int r = RowAt(pos.y());
    if (r < 0) {
        return;
    }
    if (hoveredElement_ != nullptr) {
        // A copy: the receiver may remove the row, and the element with it.
        const std::u16string id = rows_[static_cast<size_t>(r)].id;
        hoveredElement_->OnClick(sink_, id, 0);
        r = RowAt(pos.y());
    }
    if (pressKind_ == 1 && OnLink(r, pos) && sink_ != nullptr) {
        const std::u16string target = rows_[static_cast<size_t>(r)].linkTarget;
        sink_->OnRowCommand(WM_APP_OPEN_LINK, target, r);
    }
}

// --- context menu ---

void ProgressListView::SetMenuRunner(MenuRunner runner) {
    menuRunner_ = std::move(runner);
}

std::unique_ptr<QMenu> ProgressListView::BuildContextMenu(int row) {
    const ProgressItem& item = Row(row);
    auto menu = std::make_unique<QMenu>();
    menu->addAction(MenuText(item.title))->setData(kMenuOpenGameCard);
    menu->addSeparator();
    QAction* launch = menu->addAction(QStringLiteral("Launch Installer"));
    launch->setData(kMenuLaunchInstaller);
    launch->setEnabled(item.state == RowReady);
    // Retry is offered wherever the row's status button offers it: a failed file, or a game
    // whose details could not be fetched (the whole row red, no file to point at).
    if (item.HasSegmentOfKind(SegmentKind::Failed) || item.state == RowFailed) {
        menu->addSeparator();
        menu->addAction(QStringLiteral("Retry"))->setData(kMenuRetry);
        menu->addSeparator();
    }
    QMenu* remove = menu->addMenu(QStringLiteral("Remove"));
    remove->addAction(QStringLiteral("From list"))->setData(kMenuRemoveFromList);
    remove->addAction(QStringLiteral("From list and disk"))->setData(kMenuRemoveFromDisk);
    return menu;
}

void ProgressListView::ShowContextMenu(const QPoint& pos, const QPoint& globalPos) {
    const int r = RowAt(pos.y());
    if (r < 0) {
        return;
    }
    menuRow_ = r;
    menuRowId_ = rows_[static_cast<size_t>(r)].id;
    hoverRow_ = r;
    repaint();
    const std::unique_ptr<QMenu> menu = BuildContextMenu(r);
    QAction* chosen = menuRunner_ ? menuRunner_(*menu, globalPos) : nullptr;
    if (chosen != nullptr && chosen->data().isValid()) {
        OnMenuCommand(chosen->data().toInt());
    }
}

void ProgressListView::OnMenuCommand(int command) {
    // While the menu was open the owner may have removed or moved rows: act on the row the menu
    // was opened for, wherever it is now, and on nothing if it is gone.
    if (menuRow_ < 0 || menuRow_ >= RowCount() ||
        rows_[static_cast<size_t>(menuRow_)].id != menuRowId_) {
        menuRow_ = FindRow(menuRowId_);
    }
    if (menuRow_ < 0 || sink_ == nullptr) {
        return;
    }
    const ProgressItem& item = rows_[static_cast<size_t>(menuRow_)];
    const std::u16string id = item.id;
    switch (command) {
        case kMenuOpenGameCard:
            sink_->OnRowCommand(WM_APP_OPEN_GAME_CARD, id, 0);
            break;
        case kMenuLaunchInstaller: {
            const std::u16string target = item.linkTarget;
            sink_->OnRowCommand(WM_APP_OPEN_LINK, target, 0);
            break;
        }
        case kMenuRetry:
            sink_->OnRowCommand(WM_APP_RETRY_ITEM, id, 0);
            break;
        case kMenuRemoveFromList:
            sink_->OnRowCommand(WM_APP_REMOVE_ITEM, id, 0);
            break;
        case kMenuRemoveFromDisk:
            sink_->OnRowCommand(WM_APP_REMOVE_ITEM, id, 1);
            break;
        default:
            break;
    }
}

// --- tooltips ---

QString ProgressListView::TooltipText(int row) const {
    if (row < 0 || row >= RowCount()) {
        return {};
    }
    const ProgressItem& item = rows_[static_cast<size_t>(row)];
    const auto total = static_cast<int64_t>(item.segments.size());
    const auto downloading = static_cast<int64_t>(
        std::count_if(item.segments.begin(), item.segments.end(), [](const Segment& s) {
            return s.kind == SegmentKind::Downloading || s.kind == SegmentKind::Failed;
        }));
    const int64_t unavailable = total - downloading;
    if (unavailable == 0) {
        return {};
    }
    const std::u16string domain =
        QUrl(QString::fromStdU16String(SiteBaseUrl())).host().toStdU16String();
    const std::u16string text =
        FormatWide(
            u"%s\nDownloading %d out of %d files. %d file%s will be available on "
            u"release. \nPlease visit ",
            item.title, downloading, total, unavailable,
            std::u16string(unavailable >= 2 ? u"s" : u"")) +
        domain + u" for more details.";
    return QString::fromStdU16String(text);
}

QString ProgressListView::TooltipAt(const QPoint& pos) const {
    const int r = RowAt(pos.y());
    return r >= 0 && !OnLink(r, pos) ? TooltipText(r) : QString();
}

bool ProgressListView::event(QEvent* e) {
    if (e->type() != QEvent::ToolTip) {
        return QWidget::event(e);
    }
    const auto* help = static_cast<QHelpEvent*>(e);
    const QString text = TooltipAt(help->pos());
    if (text.isEmpty()) {
        QToolTip::hideText();
        e->ignore();
        return true;
    }
    QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(text), this,
                       GetRowRect(RowAt(help->pos().y())));
    return true;
}
