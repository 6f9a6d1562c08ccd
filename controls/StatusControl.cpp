#include "controls/StatusControl.h"

#include <QPainter>
#include <iterator>

namespace {

// Atlas cells of the dots, 13 x 13, by StatusMode: online, offline, paused.
constexpr QPoint kDotCells[] = {{15, 31}, {0, 31}, {30, 90}};
constexpr int kDotSize = 13;

}  // namespace

StatusControl::StatusControl(QWidget* parent) : QWidget(parent) {
    font_ = QFont(QStringLiteral("Tahoma"));
    font_.setStyleHint(QFont::SansSerif);
    font_.setPointSizeF(8.0);
    // Every pixel is painted from the off-screen image: nothing beneath needs drawing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

StatusControl::~StatusControl() = default;

bool StatusControl::Create(const QImage* texture, const QRect& rect, QWidget* parent) {
    texture_ = texture;
    if (parent != nullptr) {
        setParent(parent);
    }
    setGeometry(rect);
    setCursor(Qt::ArrowCursor);
    show();
    return true;
}

QString StatusControl::StatusText() const {
    switch (connectionMode) {
        case StatusMode::Online:
            return limit > 0 ? QStringLiteral("online - %1 KB/s (limit %2)").arg(speed).arg(limit)
                             : QStringLiteral("online - %1 KB/s").arg(speed);
        case StatusMode::Offline:
            return QStringLiteral("offline");
        case StatusMode::Paused:
        default:
            return QStringLiteral("paused");
    }
}

QImage StatusControl::Render() const {
    if (width() <= 0 || height() <= 0) {
        return {};
    }
    const qreal ratio = devicePixelRatioF();
    QImage image(size() * ratio, QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(rect(), background_);
    const auto mode = static_cast<int32_t>(connectionMode);
    if (texture_ != nullptr && mode >= 0 && mode < static_cast<int32_t>(std::size(kDotCells))) {
        const QPoint cell = kDotCells[mode];
        p.drawImage(QRect(10, 15, kDotSize, kDotSize), *texture_,
                    QRect(cell, QSize(kDotSize, kDotSize)));
    }
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(font_);
    p.setPen(textColour_);
    // The line is centred on the 10-pixel-high rectangle and may reach beyond it.
    p.drawText(QRectF(23, 15, 200, 10),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip,
               StatusText());
    return image;
}

void StatusControl::paintEvent(QPaintEvent*) {
    QPainter(this).drawImage(0, 0, Render());
}
