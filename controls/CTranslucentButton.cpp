#include "controls/CTranslucentButton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include "controls/TranslucentParent.h"

CTranslucentButton::CTranslucentButton() = default;
CTranslucentButton::~CTranslucentButton() = default;

bool CTranslucentButton::Create(const QRect& rect, int id, QWidget* parent) {
    if (parent == nullptr) {
        return false;
    }
    setParent(parent);  // leaves the widget hidden, like a child created without WS_VISIBLE
    setGeometry(rect);
    controlId_ = id;
    // The window attaching: copy its visible and disabled state into the flags.
    visible_ = !isHidden();
    disabled_ = !isEnabled();
    return true;
}

void CTranslucentButton::SetCells(const ButtonCells& cells, const QImage* texture) {
    if (texture == nullptr) {
        return;
    }
    normal_ = cells.normal;
    hoverCell_ = cells.hover;
    pressedCell_ = cells.pressed;
    disabledCell_ = cells.disabled;
    normalTexture_ = hoverTexture_ = pressedTexture_ = disabledTexture_ = texture;
}

void CTranslucentButton::DrawOn(QPainter& surface) const {
    // A hidden button draws nothing: the parent paints every child whether shown or not.
    if (currentTexture_ == nullptr || !visible_) {
        return;
    }
    surface.drawImage(QRectF(geometry()), *currentTexture_, QRectF(current_.Rect()));
}

void CTranslucentButton::UpdateLook() {
    const SkinCell previous = current_;
    const QImage* previousTexture = currentTexture_;
    current_ = normal_;
    currentTexture_ = normalTexture_;
    if (hover_) {
        if (pressed_ && pressedTexture_ != nullptr) {
            current_ = pressedCell_;
            currentTexture_ = pressedTexture_;
        } else if (!pressed_ && hoverTexture_ != nullptr) {
            current_ = hoverCell_;
            currentTexture_ = hoverTexture_;
        }
    } else if (disabled_ && disabledTexture_ != nullptr) {
        current_ = disabledCell_;
        currentTexture_ = disabledTexture_;
    }
    // Equal cells (say a hover look that is the normal look) must not cost a repaint.
    if (!previous.Rect().contains(current_.Rect()) || previousTexture != currentTexture_) {
        RepaintParent();
    }
}

void CTranslucentButton::setVisible(bool visible) {
    QWidget::setVisible(visible);
    const bool shown = !isHidden();
    if (shown != visible_) {
        visible_ = shown;
        RepaintParent();
    }
}

void CTranslucentButton::RepaintParent() {
    if (QWidget* parent = parentWidget()) {
        parent->update();
    }
}

void CTranslucentButton::SetHover(bool hover) {
    if (hover_ != hover) {
        hover_ = hover;
        UpdateLook();
    }
}

void CTranslucentButton::enterEvent(QEnterEvent* event) {
    // A disabled button takes no part in the pointer's movements.
    if (isEnabled()) {
        SetHover(true);
    }
    QWidget::enterEvent(event);
}

void CTranslucentButton::leaveEvent(QEvent* event) {
    SetHover(false);
    QWidget::leaveEvent(event);
}

void CTranslucentButton::mouseMoveEvent(QMouseEvent* event) {
    // While the button holds the mouse, the pressed look shows only with the pointer over it.
    if (pressed_) {
        SetHover(rect().contains(event->position().toPoint()));
    }
    QWidget::mouseMoveEvent(event);
}

void CTranslucentButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = true;
    hover_ = rect().contains(event->position().toPoint());
    UpdateLook();
    event->accept();
}

void CTranslucentButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    const bool wasPressed = pressed_;
    if (rect().contains(event->position().toPoint())) {
        const bool toggles = style_ == kCheckBox || style_ == kAutoCheckBox ||
                             style_ == kRadioButton || style_ == kAutoRadioButton;
        checked_ = toggles ? !checked_ : false;
        if (wasPressed) {
            if (auto* target = dynamic_cast<TranslucentParent*>(parentWidget())) {
                // The parent may delete this button while handling the click.
                QPointer<CTranslucentButton> self(this);
                target->OnTranslucentNotify({this, controlId_, NM_TRANSLUCENT_CLICK});
                if (self.isNull()) {
                    return;
                }
            }
        }
    } else {
        hover_ = false;
    }
    pressed_ = false;
    UpdateLook();
}

void CTranslucentButton::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        const bool disabled = !isEnabled();
        if (disabled != disabled_) {
            disabled_ = disabled;
            UpdateLook();
        }
    }
}

std::unique_ptr<CTranslucentButton> CreateTranslucentButton(const QRect& rect, int id,
                                                            const QImage* texture,
                                                            const ButtonCells& cells,
                                                            QWidget* parent) {
    auto button = std::make_unique<CTranslucentButton>();
    if (!button->Create(rect, id, parent)) {
        return nullptr;
    }
    button->SetCells(cells, texture);
    button->show();  // refreshes the visible flag and repaints the parent
    button->UpdateLook();
    return button;
}
