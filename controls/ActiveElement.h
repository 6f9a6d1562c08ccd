#pragma once
// A clickable area of a progress-list row (the row's remove and status buttons derive from it).
// Owned by its row; used on the user-interface thread only. Its rectangle is relative to the row's
// top-left corner; the list decides when the pointer enters, leaves or clicks it.
#include <QRectF>
#include <cstdint>
#include <memory>
#include <string>

class QImage;
class QPainter;
class QRect;
class RowCommandSink;

class ActiveElement {
public:
    explicit ActiveElement(const QRectF& rect);
    virtual ~ActiveElement();
    ActiveElement& operator=(const ActiveElement&) = delete;

    // What a click does. The plain element does nothing; buttons report to `sink` (may be null).
    virtual void OnClick(RowCommandSink* sink, const std::u16string& id, int64_t param);
    virtual void OnMouseEnter();
    virtual void OnMouseLeave();
    // Draws the element into the row whose rectangle is `rowRect`; the plain element draws nothing.
    virtual void Draw(const QImage& texture, const QRect& rowRect, QPainter& painter) const;
    // A copy with the same look; a clone is never hovered.
    virtual std::unique_ptr<ActiveElement> Clone() const;

    bool Hovered() const { return hover_; }
    const QRectF& Rect() const { return rect_; }
    // Half-open test (left and top inclusive) of a point given relative to the row's top-left.
    bool Contains(const QPointF& pointInRow) const;

protected:
    // Copies the rectangle only: hover state never travels with a copy.
    ActiveElement(const ActiveElement& other);

private:
    bool hover_ = false;
    QRectF rect_;
};
