#include "controls/ButtonFromCommonTexture.h"

#include <QImage>
#include <QPainter>

#include "app/RowView.h"

ButtonFromCommonTexture::ButtonFromCommonTexture(const QRectF& rect, const QRect& normalCell,
                                                 const QRect& hoverCell, uint32_t message)
    : ActiveElement(rect), normalCell_(normalCell), hoverCell_(hoverCell), message_(message) {}

void ButtonFromCommonTexture::OnClick(RowCommandSink* sink, const std::u16string& id,
                                      int64_t param) {
    if (sink == nullptr) {
        return;
    }
    // Copies, because the receiver may destroy this button and the string `id` refers to.
    const uint32_t message = message_;
    const std::u16string argument = id;
    sink->OnRowCommand(message, argument, param);
}

void ButtonFromCommonTexture::Draw(const QImage& texture, const QRect& rowRect,
                                   QPainter& painter) const {
    if (texture.isNull()) {
        return;
    }
    const QRectF& place = Rect();
    const QRectF target(rowRect.x() + place.x(), rowRect.y() + place.y(), place.width(),
                        place.height());
    painter.drawImage(target, texture, QRectF(Hovered() ? hoverCell_ : normalCell_));
}

std::unique_ptr<ActiveElement> ButtonFromCommonTexture::Clone() const {
    return std::unique_ptr<ActiveElement>(new ButtonFromCommonTexture(*this));
}

void ButtonFromCommonTexture::Restyle(const QRect& normalCell, const QRect& hoverCell,
                                      uint32_t message) {
    normalCell_ = normalCell;
    hoverCell_ = hoverCell;
    message_ = message;
}
