#pragma once
// CTranslucentStatic: one line of text that its custom-drawn parent paints through DrawOn. It is
// a real child widget only so that it can be enabled, disabled and hit; it paints nothing itself.
// UI thread only.
#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

class CTranslucentStatic : public QWidget {
public:
    explicit CTranslucentStatic(QColor colour);
    ~CTranslucentStatic() override;

    // Makes this a hidden child of `parent` at `rect` (x, y, width, height, parent coordinates)
    // with control id `id`; the same rectangle is where the text is laid out.
    virtual bool Create(const QRect& rect, int id, QWidget* parent);
    // Draws the text at the layout rectangle's top left, on one line, unclipped.
    virtual void DrawOn(QPainter& surface);
    // Stores the text; the parent shows it at its next repaint.
    virtual void SetText(const QString& text);

    const QString& Text() const { return text_; }
    QColor BrushColour() const { return brushColour_; }
    const QFont& TextFont() const { return font_; }
    QRectF LayoutRect() const { return layout_; }
    int ControlId() const { return controlId_; }

protected:
    // Enabling turns the text white, disabling grey.
    void changeEvent(QEvent* event) override;

    // Sets the cursor the pointer takes over the control.
    virtual void RegisterWindowClass();

    // Flags for QPainter::drawText: near alignment, one line, no clipping.
    static constexpr int kTextFlags =
        Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip;

    QString text_;
    QRectF layout_;
    QFont font_;
    QColor brushColour_;
    int controlId_ = 0;
};

// The face the translucent texts use: `family` at `points`, or the generic sans-serif face
// when the family is not installed.
QFont TranslucentFont(const QString& family, double points);
