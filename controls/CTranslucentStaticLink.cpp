#include "controls/CTranslucentStaticLink.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QMouseEvent>

#include "controls/TranslucentParent.h"

namespace {

const QColor kLinkColour(0x7E, 0xAD, 0xC0);
const QColor kDisabledColour(0x80, 0x80, 0x80);

}  // namespace

CTranslucentStaticLink::CTranslucentStaticLink() : CTranslucentStatic(QColor(0xFF, 0xFF, 0xFF)) {
    font_.setUnderline(true);
    brushColour_ = kLinkColour;
}

CTranslucentStaticLink::~CTranslucentStaticLink() = default;

void CTranslucentStaticLink::RegisterWindowClass() {
    setCursor(Qt::PointingHandCursor);
}

void CTranslucentStaticLink::DrawOn(QPainter& surface) {
    if (needsMeasuring_) {
        const QRectF box =
            QFontMetricsF(font_).boundingRect(layout_, kTextFlags & ~Qt::TextDontClip, text_);
        setGeometry(static_cast<int>(box.x()), static_cast<int>(box.y()),
                    static_cast<int>(box.width()), static_cast<int>(box.height()));
        needsMeasuring_ = false;
    }
    CTranslucentStatic::DrawOn(surface);
}

void CTranslucentStaticLink::SetText(const QString& text) {
    needsMeasuring_ = true;
    CTranslucentStatic::SetText(text);
}

void CTranslucentStaticLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = true;
    event->accept();
}

void CTranslucentStaticLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressed_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    pressed_ = false;
    if (rect().contains(event->position().toPoint())) {
        if (auto* target = dynamic_cast<TranslucentParent*>(parentWidget())) {
            target->OnTranslucentCommand(controlId_);
        }
    }
}

void CTranslucentStaticLink::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        brushColour_ = isEnabled() ? kLinkColour : kDisabledColour;
        update();
    }
}
