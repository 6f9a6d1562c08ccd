#pragma once
// A row button drawn from a cell of the shared button texture (the icon atlas), with a second cell
// for its hover look, that sends one command to the list's owner when clicked. Owned by its row;
// user-interface thread only. It never acts on a download itself: the owner decides.
#include <QRect>

#include "controls/ActiveElement.h"

class ButtonFromCommonTexture : public ActiveElement {
public:
    ButtonFromCommonTexture(const QRectF& rect, const QRect& normalCell, const QRect& hoverCell,
                            uint32_t message);

    // Sends the button's message with `id` and `param`. The receiver may remove the row, and with
    // it this button, before the call returns: nothing here touches the button afterwards.
    void OnClick(RowCommandSink* sink, const std::u16string& id, int64_t param) override;
    // The hover cell while hovered, else the normal cell, into the button's place in the row.
    void Draw(const QImage& texture, const QRect& rowRect, QPainter& painter) const override;
    std::unique_ptr<ActiveElement> Clone() const override;

    // The row's state restyles its status button.
    void Restyle(const QRect& normalCell, const QRect& hoverCell, uint32_t message);

    const QRect& NormalCell() const { return normalCell_; }
    const QRect& HoverCell() const { return hoverCell_; }
    uint32_t Message() const { return message_; }

private:
    ButtonFromCommonTexture(const ButtonFromCommonTexture& other) = default;

    QRect normalCell_;
    QRect hoverCell_;
    uint32_t message_;
};
