#include "controls/ProgressItemPainter.h"

#include <QColor>
#include <QFontMetricsF>
#include <QPainter>
#include <QPen>
#include <QRect>
#include <QString>
#include <algorithm>

#include "controls/ProgressItem.h"

namespace {
constexpr QRgb kRowColour = 0xFF626262;
constexpr QRgb kHoverRowColour = 0xFF767676;
constexpr QRgb kDraggedRowColour = 0xFF4E4E4E;  // also the square behind every icon
constexpr QRgb kTitleColour = 0xFFFFFFFF;
constexpr QRgb kFadedTitleColour = 0x82FFFFFF;
constexpr QRgb kStatusColour = 0xFFAFAFAF;
constexpr QRgb kFadedStatusColour = 0x82AFAFAF;
constexpr QRgb kIconFrameColour = 0xFFFFFFFF;

constexpr int kIconSize = 49;
constexpr int kBarLeft = 55;  // from the row's left edge
constexpr int kBarTop = 20;   // from the row's top
constexpr int kBarHeight = 15;
constexpr int kTextWidthReduction = 49;
constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

QFont MakeFont(double points, bool underline) {
    QFont font(QStringLiteral("Tahoma"));
    // Where Tahoma is not installed the font matcher falls back to the generic sans-serif.
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setUnderline(underline);
    return font;
}

// Copies the slice [sourceX, sourceX + width) of a strip, unscaled, to (x, y). The strips are
// shorter than the bar's 15 rows; their real rows are what shows.
void DrawStrip(QPainter& painter, const QImage& strip, int sourceX, int width, int x, int y) {
    if (strip.isNull() || width <= 0 || sourceX < 0 || sourceX >= strip.width()) {
        return;
    }
    const int sliceWidth = std::min(width, strip.width() - sourceX);
    const int height = std::min(kBarHeight, strip.height());
    painter.drawImage(QRect(x, y, sliceWidth, height), strip,
                      QRect(sourceX, 0, sliceWidth, height));
}

void PaintBar(QPainter& painter, ProgressItem& item, const QRect& rowRect,
              const ProgressListResources& resources, int barWidth) {
    const int barX = rowRect.x() + kBarLeft;
    const int barY = rowRect.y() + kBarTop;
    if (item.state == RowReady || item.state == RowFailed) {
        const int strip = item.state == RowReady ? kStripGreen : kStripRed;
        DrawStrip(painter, resources.Strip(strip), 0, barWidth, barX, barY);
        return;
    }
    for (Segment& segment : item.segments) {
        const int off = static_cast<int>(static_cast<float>(barWidth) * segment.start);
        const int len =
            static_cast<int>(static_cast<float>(barWidth) * (segment.end - segment.start));
        const int x0 = barX + off;
        int strip = 0;
        switch (segment.kind) {
            case SegmentKind::Downloading:
                if (item.state == RowActive) {
                    strip = kStripBlue;
                } else if (item.state == RowPaused || item.state == RowPending) {
                    strip = kStripDarkGrey;
                } else if (item.state == RowReady) {
                    strip = kStripGreen;
                    segment.fill = 1.0F;
                }
                break;
            case SegmentKind::Unavailable:
                strip = kStripPurple;
                segment.fill = 1.0F;
                break;
            case SegmentKind::Joining:
                DrawStrip(painter, resources.Strip(kStripBlue), 0, len, x0, barY);
                strip = kStripAmber;
                break;
            case SegmentKind::Checking:
                DrawStrip(painter, resources.Strip(kStripAmber), 0, len, x0, barY);
                strip = kStripGreen;
                break;
            case SegmentKind::Failed:
                // Like any other file, a failed one shows how far it got: red up to its fill.
                strip = kStripRed;
                break;
        }
        if (strip == 0) {
            continue;
        }
        const int filled = static_cast<int>(segment.fill * static_cast<float>(len));
        DrawStrip(painter, resources.Strip(strip), off, filled, x0, barY);
    }
}

void PaintTexts(QPainter& painter, ProgressItem& item, const QRect& rowRect, bool dragged,
                bool faded, const ProgressListResources& resources) {
    const int x = rowRect.x();
    const int y = rowRect.y();
    const int textWidth = rowRect.width() - kTextWidthReduction;

    painter.setFont(resources.titleFont);
    painter.setPen(QColor::fromRgba(dragged || faded ? kFadedTitleColour : kTitleColour));
    painter.drawText(QRectF(x + 72, y, textWidth, 20), kTextFlags,
                     QString::fromStdU16String(item.title));

    const QRgb statusColour = faded ? kFadedStatusColour : kStatusColour;
    const QRectF statusRect(x + 57, y + 35, textWidth, 18);
    const QString status = QString::fromStdU16String(item.statusText);
    painter.setFont(resources.statusFont);
    painter.setPen(QColor::fromRgba(statusColour));
    painter.drawText(statusRect, kTextFlags, status);

    if (item.linkText.empty()) {
        return;
    }
    // The link follows the status text's advance, trailing spaces included, so that
    // "... - completed. " leaves a gap before "INSTALL".
    const QFontMetricsF statusMetrics(resources.statusFont, painter.device());
    const qreal statusRight =
        statusRect.left() + std::min(statusMetrics.horizontalAdvance(status), statusRect.width());
    const QString link = QString::fromStdU16String(item.linkText);
    const QFontMetricsF linkMetrics(resources.linkFont, painter.device());
    item.linkRect = QRectF(statusRight, y + 35, linkMetrics.horizontalAdvance(link), 18);
    painter.setFont(resources.linkFont);
    painter.drawText(QRectF(statusRight, y + 35, textWidth, 18), kTextFlags, link);
}
}  // namespace

ProgressListResources::ProgressListResources()
    : titleFont(MakeFont(8, false)), statusFont(MakeFont(7, false)), linkFont(MakeFont(7, true)) {
    for (int i = 0; i < kStripCount; ++i) {
        strips[static_cast<size_t>(i)] = LoadImageResource(kFirstStrip + i);
    }
}

const QImage& ProgressListResources::Strip(int number) const {
    static const QImage none;
    const int index = number - kFirstStrip;
    if (index < 0 || index >= kStripCount) {
        return none;
    }
    return strips[static_cast<size_t>(index)];
}

void PaintProgressItem(QPainter& painter, ProgressItem& item, const QRect& rowRect, bool hovered,
                       bool dragged, const ProgressListResources& resources) {
    const bool faded = item.state == RowPending;
    const int x = rowRect.x();
    const int y = rowRect.y();
    const QRgb background = dragged ? kDraggedRowColour : hovered ? kHoverRowColour : kRowColour;
    painter.fillRect(rowRect, QColor::fromRgba(background));

    const QRect iconRect(x + 3, y + 2, kIconSize, kIconSize);
    painter.fillRect(iconRect, QColor::fromRgba(kDraggedRowColour));
    const qreal opacity = faded ? 0.5 : 1.0;
    painter.setOpacity(opacity);
    if (!item.icon.isNull()) {
        painter.drawImage(iconRect.topLeft(), item.icon, QRect(0, 0, kIconSize, kIconSize));
    }
    painter.setOpacity(1.0);
    // An integer rectangle outline with a one-pixel pen covers x .. x + 49 inclusive, as GDI does.
    painter.setPen(QPen(QColor::fromRgba(kIconFrameColour), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(iconRect);

    const QImage& track = resources.Strip(kStripTrack);
    const int barWidth = track.isNull() ? 258 : track.width();
    painter.setOpacity(opacity);
    DrawStrip(painter, track, 0, barWidth, x + kBarLeft, y + kBarTop);
    painter.setOpacity(1.0);
    PaintBar(painter, item, rowRect, resources, barWidth);

    PaintTexts(painter, item, rowRect, dragged, faded, resources);

    for (const auto& element : item.elements) {
        element->Draw(resources.texture, rowRect, painter);
    }
}
