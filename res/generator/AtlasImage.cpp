// The progress strips and the icon atlas. Every atlas picture is drawn inside its own cell with
// the painter clipped to it, so anti-aliased edges never bleed into a neighbouring cell.
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "Drawing.h"

namespace {

constexpr int kStripWidth = 258;
constexpr int kStripHeight = 14;

// A glossy disc filling a 13 x 13 cell: a light top, the base colour below and a thin rim.
void Disc(QPainter& p, const QRectF& cell, const QColor& base, bool hover) {
    const QColor top = hover ? base.lighter(150) : base.lighter(128);
    const QColor bottom = hover ? base.lighter(105) : base.darker(118);
    QLinearGradient fill(cell.topLeft(), cell.bottomLeft());
    fill.setColorAt(0.0, top);
    fill.setColorAt(1.0, bottom);
    const QRectF disc = cell.adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(base.darker(hover ? 135 : 160), 1.0));
    p.setBrush(fill);
    p.drawEllipse(disc);
    // The sheen on the upper half makes the buttons read as pressable at this tiny size.
    QLinearGradient sheen(cell.topLeft(), QPointF(cell.left(), cell.center().y()));
    sheen.setColorAt(0.0, QColor(255, 255, 255, hover ? 110 : 80));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawEllipse(QRectF(disc.left() + 2.0, disc.top() + 1.0, disc.width() - 4.0, 6.0));
}

QPen GlyphPen(double width) {
    return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void CheckCircle(QPainter& p, const QRectF& c, bool hover) {
    Disc(p, c, QColor(0x3B, 0xA8, 0x45), hover);
    QPainterPath tick;
    tick.moveTo(c.left() + 3.4, c.top() + 6.7);
    tick.lineTo(c.left() + 5.5, c.top() + 8.8);
    tick.lineTo(c.left() + 9.6, c.top() + 4.2);
    p.setPen(GlyphPen(1.7));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

void PlayCircle(QPainter& p, const QRectF& c, bool hover) {
    Disc(p, c, QColor(0xE8, 0x9A, 0x1C), hover);
    QPainterPath triangle;
    triangle.moveTo(c.left() + 5.0, c.top() + 3.6);
    triangle.lineTo(c.left() + 9.6, c.top() + 6.5);
    triangle.lineTo(c.left() + 5.0, c.top() + 9.4);
    triangle.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(triangle);
}

void PauseCircle(QPainter& p, const QRectF& c, bool hover) {
    Disc(p, c, QColor(0x8E, 0x8E, 0x8E), hover);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(c.left() + 4.0, c.top() + 3.5, 2.0, 6.0));
    p.drawRect(QRectF(c.left() + 7.0, c.top() + 3.5, 2.0, 6.0));
}

void CrossCircle(QPainter& p, const QRectF& c, const QColor& base) {
    Disc(p, c, base, false);
    p.setPen(GlyphPen(1.6));
    p.drawLine(QPointF(c.left() + 4.3, c.top() + 4.3), QPointF(c.left() + 8.7, c.top() + 8.7));
    p.drawLine(QPointF(c.left() + 8.7, c.top() + 4.3), QPointF(c.left() + 4.3, c.top() + 8.7));
}

void WarningTriangle(QPainter& p, const QRectF& c, bool hover) {
    const QColor base = hover ? QColor(0xFF, 0xDD, 0x33) : QColor(0xF2, 0xC2, 0x0C);
    QPainterPath triangle;
    triangle.moveTo(c.left() + 6.5, c.top() + 0.8);
    triangle.lineTo(c.left() + 12.4, c.top() + 11.9);
    triangle.lineTo(c.left() + 0.6, c.top() + 11.9);
    triangle.closeSubpath();
    QLinearGradient fill(c.topLeft(), c.bottomLeft());
    fill.setColorAt(0.0, base.lighter(125));
    fill.setColorAt(1.0, base);
    p.setPen(QPen(QColor(0x8A, 0x66, 0x00), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPath(triangle);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x33, 0x29, 0x00));
    p.drawRect(QRectF(c.left() + 5.8, c.top() + 4.2, 1.4, 4.0));
    p.drawRect(QRectF(c.left() + 5.8, c.top() + 9.2, 1.4, 1.4));
}

// Status bar dots: a smaller bead centred in the cell, so it sits level with the text.
void Dot(QPainter& p, const QRectF& c, const QColor& base) {
    const QRectF bead = c.adjusted(2.0, 2.0, -2.0, -2.0);
    QRadialGradient fill(bead.center() - QPointF(1.2, 1.5), 5.5);
    fill.setColorAt(0.0, base.lighter(150));
    fill.setColorAt(1.0, base);
    p.setPen(QPen(base.darker(150), 1.0));
    p.setBrush(fill);
    p.drawEllipse(bead.adjusted(0.5, 0.5, -0.5, -0.5));
}

// The header's "nobody signed in" picture: a golden key with a small white tag.
void Key(QPainter& p, const QRectF& c) {
    const QColor gold(0xE8, 0xB8, 0x30);
    const QColor goldEdge(0x8C, 0x62, 0x08);
    p.save();
    p.translate(c.topLeft());
    // Tag on a short string, hanging below the bow.
    p.setPen(QPen(QColor(0xDD, 0xDD, 0xDD), 0.8));
    p.drawLine(QPointF(5.0, 9.0), QPointF(4.5, 12.5));
    p.setPen(QPen(QColor(0x70, 0x70, 0x70), 0.8));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(1.5, 12.5, 6.0, 6.5), 1.2, 1.2);
    // Shaft and bit, running from the bow to the lower right.
    p.setPen(QPen(goldEdge, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(gold);
    QPainterPath shaft;
    shaft.moveTo(9.0, 7.0);
    shaft.lineTo(18.5, 16.5);
    shaft.lineTo(16.8, 18.2);
    shaft.lineTo(15.3, 16.7);
    shaft.lineTo(14.0, 18.0);
    shaft.lineTo(12.7, 16.7);
    shaft.lineTo(13.9, 15.5);
    shaft.lineTo(7.3, 8.9);
    shaft.closeSubpath();
    p.drawPath(shaft);
    // The bow, a ring with a hole.
    QPainterPath bow;
    bow.addEllipse(QRectF(1.0, 1.0, 9.0, 9.0));
    bow.addEllipse(QRectF(3.5, 3.5, 4.0, 4.0));
    QRadialGradient shine(QPointF(4.0, 3.5), 7.0);
    shine.setColorAt(0.0, gold.lighter(140));
    shine.setColorAt(1.0, gold);
    p.setBrush(shine);
    p.drawPath(bow);
    p.restore();
}

}  // namespace

QImage TransparentImage(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

QImage ProgressStrip(const QColor& colour, int alpha) {
    QImage strip = TransparentImage(kStripWidth, kStripHeight);
    QPainter p(&strip);
    QLinearGradient gloss(0, 0, 0, kStripHeight);
    gloss.setColorAt(0.0, colour.lighter(150));
    gloss.setColorAt(0.45, colour.lighter(118));
    gloss.setColorAt(0.5, colour);
    gloss.setColorAt(1.0, colour.darker(122));
    p.fillRect(strip.rect(), gloss);
    // A faint highlight line just under the top edge gives the glassy look.
    p.fillRect(QRect(1, 1, kStripWidth - 2, 1), QColor(255, 255, 255, 60));
    const QColor end = colour.darker(150);
    p.fillRect(QRect(0, 0, 1, kStripHeight), end);
    p.fillRect(QRect(kStripWidth - 1, 0, 1, kStripHeight), end);
    if (alpha < 255) {
        p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        p.fillRect(strip.rect(), QColor(0, 0, 0, alpha));
    }
    return strip;
}

QImage IconAtlas() {
    QImage atlas = TransparentImage(60, 129);
    QPainter p(&atlas);
    p.setRenderHint(QPainter::Antialiasing);
    // Each entry draws into one cell, clipped to it.
    const auto cell = [&p](int x, int y, int size, const auto& draw) {
        const QRectF r(x, y, size, size);
        p.save();
        p.setClipRect(r);
        draw(r);
        p.restore();
    };
    cell(0, 0, 13, [&](const QRectF& r) { CheckCircle(p, r, false); });
    cell(15, 0, 13, [&](const QRectF& r) { PlayCircle(p, r, false); });
    cell(30, 0, 13, [&](const QRectF& r) { PauseCircle(p, r, false); });
    cell(45, 0, 13, [&](const QRectF& r) { CheckCircle(p, r, true); });
    cell(45, 14, 13, [&](const QRectF& r) { PlayCircle(p, r, true); });
    cell(45, 29, 13, [&](const QRectF& r) { PauseCircle(p, r, true); });
    cell(29, 16, 13, [&](const QRectF& r) { WarningTriangle(p, r, false); });
    cell(44, 44, 13, [&](const QRectF& r) { WarningTriangle(p, r, true); });
    cell(15, 15, 13, [&](const QRectF& r) { CrossCircle(p, r, QColor(0x50, 0x50, 0x50)); });
    cell(28, 107, 13, [&](const QRectF& r) { CrossCircle(p, r, QColor(0xB8, 0x22, 0x22)); });
    cell(15, 31, 13, [&](const QRectF& r) { Dot(p, r, QColor(0x3C, 0xC0, 0x4A)); });
    cell(0, 31, 13, [&](const QRectF& r) { Dot(p, r, QColor(0xE8, 0x50, 0x1E)); });
    cell(30, 90, 13, [&](const QRectF& r) { Dot(p, r, QColor(0xF2, 0xA8, 0x14)); });
    cell(0, 66, 20, [&](const QRectF& r) { Key(p, r); });
    return atlas;
}
