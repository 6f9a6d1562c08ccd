#include "controls/CTranslucentStatic.h"

#include <QEvent>
#include <QPainter>

QFont TranslucentFont(const QString& family, double points) {
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    return font;
}

CTranslucentStatic::CTranslucentStatic(QColor colour)
    : font_(TranslucentFont(QStringLiteral("Arial"), 8.0)), brushColour_(colour) {}

CTranslucentStatic::~CTranslucentStatic() = default;

void CTranslucentStatic::RegisterWindowClass() {
    setCursor(Qt::ArrowCursor);
}

bool CTranslucentStatic::Create(const QRect& rect, int id, QWidget* parent) {
    if (parent == nullptr) {
        return false;
    }
    RegisterWindowClass();
    layout_ = QRectF(rect);
    setParent(parent);
    setGeometry(rect);
    controlId_ = id;
    return true;
}

void CTranslucentStatic::DrawOn(QPainter& surface) {
    surface.save();
    surface.setFont(font_);
    surface.setPen(brushColour_);
    surface.drawText(layout_, kTextFlags, text_);
    surface.restore();
}

void CTranslucentStatic::SetText(const QString& text) {
    text_ = text;
    // Being transparent, the widget's repaint is its parent's repaint of the area beneath.
    update();
}

void CTranslucentStatic::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        brushColour_ = isEnabled() ? QColor(0xFF, 0xFF, 0xFF) : QColor(0x80, 0x80, 0x80);
    }
}
