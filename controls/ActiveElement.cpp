#include "controls/ActiveElement.h"

ActiveElement::ActiveElement(const QRectF& rect) : rect_(rect) {}

ActiveElement::ActiveElement(const ActiveElement& other) : rect_(other.rect_) {}

ActiveElement::~ActiveElement() = default;

void ActiveElement::OnClick(RowCommandSink* /*sink*/, const std::u16string& /*id*/,
                            int64_t /*param*/) {}

void ActiveElement::OnMouseEnter() {
    hover_ = true;
}

void ActiveElement::OnMouseLeave() {
    hover_ = false;
}

void ActiveElement::Draw(const QImage& /*texture*/, const QRect& /*rowRect*/,
                         QPainter& /*painter*/) const {}

std::unique_ptr<ActiveElement> ActiveElement::Clone() const {
    return std::unique_ptr<ActiveElement>(new ActiveElement(*this));
}

bool ActiveElement::Contains(const QPointF& pointInRow) const {
    return pointInRow.x() >= rect_.left() && pointInRow.x() < rect_.left() + rect_.width() &&
           pointInRow.y() >= rect_.top() && pointInRow.y() < rect_.top() + rect_.height();
}
