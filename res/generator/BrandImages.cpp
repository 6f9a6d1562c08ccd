// The header's pictures (button skin, word mark, default user picture) and the program icon.
// They sit on the header's FF454545 grey, so the buttons are a few steps lighter than it and the
// word mark is near-white with the program's blue.
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "Drawing.h"

namespace {

const QColor kBrandBlue(0x3A, 0x9A, 0xD9);

enum class Look { Normal, Hover, Disabled };
enum class Corners { Left, Right, All };

// The outline of one button face; the Resume and Pause buttons touch, so they are rounded only
// on their outer side and read as one segmented group.
QPainterPath FacePath(const QRectF& r, Corners corners) {
    constexpr double kRadius = 3.0;
    QPainterPath rounded;
    rounded.addRoundedRect(r, kRadius, kRadius);
    if (corners == Corners::All) {
        return rounded;
    }
    QPainterPath square;
    const double half = r.width() / 2.0;
    square.addRect(corners == Corners::Left ? QRectF(r.left() + half, r.top(), half, r.height())
                                            : QRectF(r.left(), r.top(), half, r.height()));
    return rounded.united(square).simplified();
}

enum class Glyph { None, Play, Pause };

void DrawGlyph(QPainter& p, Glyph glyph, const QRectF& box, const QColor& colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    if (glyph == Glyph::Play) {
        QPainterPath triangle;
        triangle.moveTo(box.left(), box.top());
        triangle.lineTo(box.right(), box.center().y());
        triangle.lineTo(box.left(), box.bottom());
        triangle.closeSubpath();
        p.drawPath(triangle);
    } else if (glyph == Glyph::Pause) {
        p.drawRect(QRectF(box.left(), box.top(), 2.0, box.height()));
        p.drawRect(QRectF(box.left() + 4.0, box.top(), 2.0, box.height()));
    }
}

// One skinned button face in the cell (x, y, width, 20), caption centred with its glyph.
void Face(QPainter& p, int x, int y, int width, Corners corners, Look look, const QString& caption,
          Glyph glyph) {
    const QRectF cell(x, y, width, 20);
    const QRectF face = cell.adjusted(0.5, 0.5, -0.5, -0.5);
    QColor top(0x62, 0x62, 0x62), bottom(0x4C, 0x4C, 0x4C), edge(0x2C, 0x2C, 0x2C);
    QColor text(0xEE, 0xEE, 0xEE), glyphColour(0xEE, 0xEE, 0xEE);
    if (look == Look::Hover) {
        top = QColor(0x74, 0x74, 0x74);
        bottom = QColor(0x58, 0x58, 0x58);
        text = Qt::white;
        glyphColour = kBrandBlue.lighter(135);
    } else if (look == Look::Disabled) {
        top = QColor(0x50, 0x50, 0x50);
        bottom = QColor(0x48, 0x48, 0x48);
        edge = QColor(0x38, 0x38, 0x38);
        text = QColor(0x80, 0x80, 0x80);
        glyphColour = text;
    }
    const QPainterPath outline = FacePath(face, corners);
    QLinearGradient fill(cell.topLeft(), cell.bottomLeft());
    fill.setColorAt(0.0, top);
    fill.setColorAt(1.0, bottom);
    p.setPen(QPen(edge, 1.0));
    p.setBrush(fill);
    p.drawPath(outline);
    if (look != Look::Disabled) {
        // Inner highlight along the top edge.
        p.setPen(QPen(QColor(255, 255, 255, look == Look::Hover ? 55 : 35), 1.0));
        p.drawLine(QPointF(face.left() + 2.0, face.top() + 1.0),
                   QPointF(face.right() - 2.0, face.top() + 1.0));
    }

    // Shrink the caption until glyph, gap and text fit with a small margin.
    const double glyphWidth = glyph == Glyph::None ? 0.0 : 6.0;
    const double gap = glyph == Glyph::None ? 0.0 : 4.0;
    QFont font = CaptionFont(10.0, true);
    double textWidth = QFontMetricsF(font).horizontalAdvance(caption);
    while (glyphWidth + gap + textWidth > width - 8 && font.pixelSize() > 8) {
        font.setPixelSize(font.pixelSize() - 1);
        textWidth = QFontMetricsF(font).horizontalAdvance(caption);
    }
    const double left = x + (width - (glyphWidth + gap + textWidth)) / 2.0;
    DrawGlyph(p, glyph, QRectF(std::round(left), y + 7.0, glyphWidth, 7.0), glyphColour);
    p.setFont(font);
    p.setPen(text);
    p.drawText(QRectF(left + glyphWidth + gap, y, textWidth + 2.0, 20.0),
               Qt::AlignLeft | Qt::AlignVCenter, caption);
}

// The program's emblem: a rounded square with a downward arrow into a tray.
void Emblem(QPainter& p, const QRectF& r, const QColor& base) {
    const double unit = r.width() / 19.0;
    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0.0, base.lighter(125));
    fill.setColorAt(1.0, base.darker(125));
    p.setPen(QPen(base.darker(170), unit));
    p.setBrush(fill);
    const QRectF square = r.adjusted(unit / 2, unit / 2, -unit / 2, -unit / 2);
    p.drawRoundedRect(square, 4.0 * unit, 4.0 * unit);
    const auto at = [&](double x, double y) {
        return QPointF(r.left() + x * unit, r.top() + y * unit);
    };
    QPainterPath arrow;
    arrow.moveTo(at(8.0, 3.5));
    arrow.lineTo(at(11.0, 3.5));
    arrow.lineTo(at(11.0, 8.5));
    arrow.lineTo(at(14.0, 8.5));
    arrow.lineTo(at(9.5, 13.0));
    arrow.lineTo(at(5.0, 8.5));
    arrow.lineTo(at(8.0, 8.5));
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);
    QPainterPath tray;
    tray.moveTo(at(4.0, 12.5));
    tray.lineTo(at(4.0, 15.5));
    tray.lineTo(at(15.0, 15.5));
    tray.lineTo(at(15.0, 12.5));
    p.setPen(QPen(Qt::white, 1.6 * unit, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tray);
}

}  // namespace

QFont CaptionFont(double pixelSize, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(pixelSize));
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

QImage ButtonSkin() {
    QImage skin = TransparentImage(114, 122);
    QPainter p(&skin);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const Look looks[] = {Look::Normal, Look::Hover, Look::Disabled};
    for (int row = 0; row < 3; ++row) {
        Face(p, 0, row * 20, 64, Corners::Left, looks[row], QStringLiteral("Resume"), Glyph::Play);
        Face(p, 64, row * 20, 50, Corners::Right, looks[row], QStringLiteral("Pause"),
             Glyph::Pause);
    }
    Face(p, 0, 82, 64, Corners::All, Look::Normal, QStringLiteral("Options"), Glyph::None);
    Face(p, 0, 102, 64, Corners::All, Look::Hover, QStringLiteral("Options"), Glyph::None);
    return skin;
}

QImage WordMark() {
    QImage mark = TransparentImage(164, 19);
    QPainter p(&mark);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    Emblem(p, QRectF(0, 0, 19, 19), kBrandBlue);
    QFont font = CaptionFont(17.0, true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    p.setFont(font);
    p.setPen(QColor(0xF4, 0xF4, 0xF4));
    p.drawText(QRectF(25, -1, 139, 20), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Velkora"));
    return mark;
}

QImage DefaultUserPicture() {
    QImage picture = TransparentImage(49, 49);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient back(0, 0, 0, 49);
    back.setColorAt(0.0, QColor(0x66, 0x66, 0x66));
    back.setColorAt(1.0, QColor(0x55, 0x55, 0x55));
    p.fillRect(picture.rect(), back);
    const QColor figure(0x9C, 0x9C, 0x9C);
    p.setPen(Qt::NoPen);
    p.setBrush(figure);
    QPainterPath shoulders;
    shoulders.moveTo(6.0, 49.0);
    shoulders.cubicTo(6.0, 36.0, 14.0, 31.0, 24.5, 31.0);
    shoulders.cubicTo(35.0, 31.0, 43.0, 36.0, 43.0, 49.0);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
    // The head, with a thin ring of the background around it to part it from the shoulders.
    p.setPen(QPen(QColor(0x5E, 0x5E, 0x5E), 2.0));
    p.drawEllipse(QPointF(24.5, 19.0), 9.5, 10.5);
    return picture;
}

QImage ProgramIcon(int size, bool online) {
    QImage icon = TransparentImage(size, size);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    Emblem(p, QRectF(0, 0, size, size), online ? kBrandBlue : QColor(0x88, 0x88, 0x88));
    if (!online) {
        // A small dark badge in the corner tells "offline" apart at tray size.
        const double d = size * 0.42;
        const QRectF badge(size - d, size - d, d, d);
        p.setPen(QPen(QColor(0x30, 0x30, 0x30), size / 19.0));
        p.setBrush(QColor(0xE8, 0x50, 0x1E));
        p.drawEllipse(badge.adjusted(0.5, 0.5, -0.5, -0.5));
        p.setPen(QPen(Qt::white, size / 12.0, Qt::SolidLine, Qt::RoundCap));
        const double m = d * 0.3;
        p.drawLine(badge.topLeft() + QPointF(m, d / 2), badge.topRight() + QPointF(-m, d / 2));
    }
    return icon;
}
