#include "controls/ProgressListView.h"

#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QWheelEvent>
#include <algorithm>
#include <stdexcept>

#include "core/DebugPrintf.h"

namespace {
// Fonts are given in points; the off-screen image draws at the usual 96 dots per inch.
constexpr int kDotsPerMeter96Dpi = 3780;
constexpr QRgb kListBackground = 0xFF626262;
}  // namespace

ProgressListView::ProgressListView(RowCommandSink* sink, const QImage& texture, QWidget* parent)
    : QWidget(parent), sink_(sink), scrollBar_(new QScrollBar(Qt::Vertical, this)) {
    setObjectName(QStringLiteral("ProgressListView"));
    resources_.texture = texture;
    // Moves without a button pressed drive hover and the button looks.
    setMouseTracking(true);
    // Every paint covers the whole client area from the off-screen image: no erasing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // The row menu opens on the right button's press; the context-menu event that follows must
    // not reach the parent and open a second menu.
    setContextMenuPolicy(Qt::PreventContextMenu);
    scrollBar_->setObjectName(QStringLiteral("ProgressListScrollBar"));
    // The wheel over the bar scrolls like the wheel over the rows: the bar's own handling would
    // move by its single step of one pixel.
    scrollBar_->installEventFilter(this);
    connect(scrollBar_, &QScrollBar::actionTriggered, this, &ProgressListView::OnScrollAction);
    // Anything else that moves the bar (keyboard on the bar, programmatic changes) scrolls too.
    connect(scrollBar_, &QScrollBar::valueChanged, this, [this](int value) {
        if (value != scrollOffset_) {
            ScrollTo(value);
        }
    });
    menuRunner_ = [](QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); };
    UpdateScrollBar();
}

ProgressListView::~ProgressListView() = default;

bool ProgressListView::ValidRow(int index, const char16_t* operation) const {
    if (index >= 0 && index < RowCount()) {
        return true;
    }
    Logger().Warning(u"ProgressListView::%s: no row %d.", std::u16string(operation), index);
    return false;
}

const ProgressItem& ProgressListView::Row(int index) const {
    return rows_.at(static_cast<size_t>(index));
}

int ProgressListView::FindRow(const std::u16string& id) const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int ProgressListView::AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                                     const std::u16string& statusText,
                                     const std::u16string& iconPath, int32_t state) {
    int index = FindRow(id);
    if (index >= 0) {
        // An existing row keeps its place and its icon.
        ProgressItem& row = rows_[static_cast<size_t>(index)];
        row.title = title;
        row.statusText = statusText;
    } else {
        rows_.emplace_back(id, title, statusText, iconPath, state);
        index = RowCount() - 1;
    }
    SetRowState(index, state);
    UpdateScrollBar();
    RefreshHover();
    return index;
}

void ProgressListView::RemoveRow(int index) {
    if (!ValidRow(index, u"RemoveRow")) {
        return;
    }
    ClearElementReferences();
    rows_.erase(rows_.begin() + index);
    // A row removed under a drag in progress: the drag follows its own row, or ends with it.
    // Rows may already have changed places, so the release still reports the order.
    if (dragRow_ == index) {
        dragRow_ = -1;
        pressKind_ = 0;
        orderReportPending_ = buttonDown_;
        setCursor(Qt::ArrowCursor);
    } else if (dragRow_ > index) {
        --dragRow_;
    }
    UpdateScrollBar();
    RefreshHover();
    update();
}

void ProgressListView::SetRowTitle(int index, const std::u16string& text) {
    if (ValidRow(index, u"SetRowTitle")) {
        rows_[static_cast<size_t>(index)].title = text;
        update();
    }
}

void ProgressListView::SetRowStatusText(int index, const std::u16string& text) {
    if (ValidRow(index, u"SetRowStatusText")) {
        rows_[static_cast<size_t>(index)].statusText = text;
        update();
    }
}

void ProgressListView::SetRowState(int index, int32_t state) {
    if (ValidRow(index, u"SetRowState")) {
        rows_[static_cast<size_t>(index)].SetState(state);
        RefreshHover();
        update();
    }
}

void ProgressListView::SetRowIcon(int index, const std::u16string& imagePath) {
    if (!ValidRow(index, u"SetRowIcon")) {
        return;
    }
    ProgressItem& row = rows_[static_cast<size_t>(index)];
    if (imagePath.empty() || imagePath == row.iconPath) {
        return;
    }
    row.LoadIcon(imagePath);
    update();
}

void ProgressListView::SetRowLink(int index, const std::u16string& text,
                                  const std::u16string& target) {
    if (ValidRow(index, u"SetRowLink")) {
        ProgressItem& row = rows_[static_cast<size_t>(index)];
        row.linkText = text;
        row.linkTarget = target;
    }
}

void ProgressListView::ClearRowSegments(int index) {
    if (ValidRow(index, u"ClearRowSegments")) {
        rows_[static_cast<size_t>(index)].segments.clear();
        update();
    }
}

std::vector<Segment>& ProgressListView::RowSegments(int index) {
    if (index < 0 || index >= RowCount()) {
        throw std::out_of_range("ProgressListView::RowSegments: no such row");
    }
    update();
    return rows_[static_cast<size_t>(index)].segments;
}

void ProgressListView::PauseActiveRows() {
    for (int i = 0; i < RowCount(); ++i) {
        if ((rows_[static_cast<size_t>(i)].state & kRowRunningStates) != 0) {
            SetRowState(i, RowPaused);
        }
    }
}

void ProgressListView::MoveRowToTop(int index) {
    if (!ValidRow(index, u"MoveRowToTop")) {
        return;
    }
    ClearElementReferences();
    std::rotate(rows_.begin(), rows_.begin() + index, rows_.begin() + index + 1);
    if (dragRow_ == index) {
        dragRow_ = 0;
    } else if (dragRow_ >= 0 && dragRow_ < index) {
        ++dragRow_;
    }
    RefreshHover();
    update();
    SendOrderChanged();
}

void ProgressListView::Refresh() {
    update();
}

int ProgressListView::RowCount() const {
    return static_cast<int>(rows_.size());
}

std::u16string ProgressListView::RowId(int index) const {
    return Row(index).id;
}

void ProgressListView::SendOrderChanged() {
    if (sink_ != nullptr) {
        sink_->OnRowOrderChanged();
    }
}

void ProgressListView::ClearElementReferences() {
    // The element stays drawn hovered unless told the pointer left it.
    if (hoveredElement_ != nullptr) {
        hoveredElement_->OnMouseLeave();
    }
    hoveredElement_ = nullptr;
    pressedElement_ = nullptr;
}

// --- geometry and scrolling ---

bool ProgressListView::ScrollBarShown() const {
    return !scrollBar_->isHidden();
}

int ProgressListView::RowOriginX() const {
    return ScrollBarShown() ? 0 : kRowIndent;
}

int ProgressListView::RowAt(int y) const {
    const int row = std::max(0, static_cast<int>((y + scrollOffset_) / double{kRowPitch}));
    return row < RowCount() ? row : -1;
}

QRect ProgressListView::GetRowRect(int row) const {
    return QRect(0, row * kRowPitch - scrollOffset_, width(), kRowHeight);
}

void ProgressListView::UpdateScrollBar() {
    const int clientHeight = height();
    maxScroll_ = std::max(0, RowCount() * kRowPitch - clientHeight);
    scrollOffset_ = std::min(scrollOffset_, maxScroll_);
    {
        const QSignalBlocker blocker(scrollBar_);
        scrollBar_->setRange(0, maxScroll_);
        scrollBar_->setPageStep(std::max(1, clientHeight));
        scrollBar_->setSingleStep(1);
        scrollBar_->setValue(scrollOffset_);
    }
    scrollBar_->setGeometry(width() - kScrollBarWidth, 0, kScrollBarWidth, clientHeight);
    scrollBar_->setVisible(maxScroll_ != 0);
    update();
}

void ProgressListView::ScrollTo(int offset) {
    scrollOffset_ = std::clamp(offset, 0, maxScroll_);
    {
        const QSignalBlocker blocker(scrollBar_);
        scrollBar_->setValue(scrollOffset_);
    }
    RefreshHover();
    update();
}

void ProgressListView::OnScrollAction(int action) {
    int offset = scrollOffset_;
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            offset -= 1;
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            offset += 1;
            break;
        case QAbstractSlider::SliderPageStepSub:
            offset -= 50;
            break;
        case QAbstractSlider::SliderPageStepAdd:
            offset += 50;
            break;
        case QAbstractSlider::SliderToMinimum:
            offset = 0;
            break;
        case QAbstractSlider::SliderToMaximum:
            offset = maxScroll_;
            break;
        case QAbstractSlider::SliderMove:
            offset = scrollBar_->sliderPosition();
            break;
        default:
            return;
    }
    scrollOffset_ = std::clamp(offset, 0, maxScroll_);
    // The bar applies this position once the action's handlers have run.
    scrollBar_->setSliderPosition(scrollOffset_);
    RefreshHover();
    update();
}

void ProgressListView::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    UpdateScrollBar();
}

void ProgressListView::wheelEvent(QWheelEvent* e) {
    // 120 per notch moves 24 pixels; turning the wheel forward shows the rows above.
    ScrollTo(scrollOffset_ + e->angleDelta().y() / -5);
    e->accept();
}

bool ProgressListView::eventFilter(QObject* watched, QEvent* e) {
    if (watched == scrollBar_ && e->type() == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent*>(e));
        return true;
    }
    return QWidget::eventFilter(watched, e);
}

// --- painting ---

QImage ProgressListView::Render() {
    return Render(devicePixelRatioF());
}

QImage ProgressListView::Render(qreal devicePixelRatio) {
    const bool barShown = ScrollBarShown();
    const int originX = RowOriginX();
    const int rowWidth = std::max(1, barShown ? width() - kScrollBarWidth : width());
    const int clientHeight = std::max(1, height());
    const qreal ratio = std::max(devicePixelRatio, qreal{1});
    QImage image(QSize(rowWidth, clientHeight) * ratio, QImage::Format_ARGB32);
    // The painter scales by the ratio: every row keeps its logical geometry, and so do the link
    // rectangles stored for the hit tests. Fonts still resolve at 96 dots per logical inch.
    image.setDevicePixelRatio(ratio);
    image.setDotsPerMeterX(kDotsPerMeter96Dpi);
    image.setDotsPerMeterY(kDotsPerMeter96Dpi);
    image.fill(QColor::fromRgba(kListBackground));

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    const bool dragging = dragRow_ >= 0 && dragRow_ < RowCount();
    // How far the dragged row has moved from its own place, measured in row heights.
    const int dragDistance =
        dragging ? lastDragPoint_.y() - dragOffset_.y() + scrollOffset_ - dragRow_ * kRowHeight : 0;
    for (int r = 0; r < RowCount(); ++r) {
        if (dragging && r == dragRow_) {
            continue;
        }
        int slide = 0;
        if (dragging && r == dragRow_ + 1 && dragDistance > 0) {
            slide = static_cast<int>(kRowHeight * std::min(dragDistance / double{kRowHeight}, 1.0));
        } else if (dragging && r == dragRow_ - 1 && dragDistance < 0) {
            slide =
                static_cast<int>(kRowHeight * std::max(dragDistance / double{kRowHeight}, -1.0));
        }
        const QRect rowRect(originX, r * kRowPitch - scrollOffset_ - slide, rowWidth, kRowHeight);
        PaintProgressItem(painter, rows_[static_cast<size_t>(r)], rowRect, r == hoverRow_, false,
                          resources_);
    }
    if (dragging) {
        const QRect rowRect(0, lastDragPoint_.y() - dragOffset_.y(), rowWidth, kRowHeight);
        PaintProgressItem(painter, rows_[static_cast<size_t>(dragRow_)], rowRect,
                          dragRow_ == hoverRow_, true, resources_);
    }
    painter.end();
    return image;
}

void ProgressListView::paintEvent(QPaintEvent* /*e*/) {
    const QImage image = Render();
    QPainter painter(this);
    painter.drawImage(0, 0, image);
}
