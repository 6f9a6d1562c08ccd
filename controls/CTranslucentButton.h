#pragma once
// CTranslucentButton: a skinned push button that never paints itself. It is a real child widget
// (it gets the mouse and can be disabled), but its parent draws it onto its own off-screen
// surface through DrawOn, and the button asks the parent to repaint when its look changes.
// UI thread only. The skin image belongs to the parent and must outlive the button.
#include <QImage>
#include <QRect>
#include <QWidget>
#include <memory>

class QPainter;

// A rectangle of the skin image, in pixels.
struct SkinCell {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    QRect Rect() const { return QRect(x, y, width, height); }
    friend bool operator==(const SkinCell&, const SkinCell&) = default;
};

// The four looks of a button.
struct ButtonCells {
    SkinCell normal;
    SkinCell hover;
    SkinCell pressed;
    SkinCell disabled;
};

class CTranslucentButton : public QWidget {
public:
    // Window style low bytes that make clicks toggle the check flag.
    enum ButtonStyle : int {
        kPushButton = 0,
        kCheckBox = 2,
        kAutoCheckBox = 3,
        kRadioButton = 4,
        kAutoRadioButton = 9,
    };

    CTranslucentButton();
    ~CTranslucentButton() override;

    // Makes the button a hidden child of `parent` with the rectangle (x, y, width, height) of
    // `rect` in the parent's coordinates and control id `id`.
    virtual bool Create(const QRect& rect, int id, QWidget* parent);
    // Draws the current cell of the current texture, scaled into the button's rectangle.
    virtual void DrawOn(QPainter& surface) const;
    // Chooses the cell for the hover, pressed and disabled flags; asks the parent to repaint
    // when the look changed.
    virtual void UpdateLook();

    // Sets the four looks, all from `texture`; a null texture sets nothing.
    void SetCells(const ButtonCells& cells, const QImage* texture);
    void SetButtonStyle(int style) { style_ = style; }

    int ControlId() const { return controlId_; }
    SkinCell CurrentCell() const { return current_; }
    const QImage* CurrentTexture() const { return currentTexture_; }
    bool IsHovered() const { return hover_; }
    bool IsPressed() const { return pressed_; }
    bool IsChecked() const { return checked_; }

    void setVisible(bool visible) override;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void RepaintParent();
    void SetHover(bool hover);

    SkinCell normal_;
    const QImage* normalTexture_ = nullptr;
    SkinCell hoverCell_;
    const QImage* hoverTexture_ = nullptr;
    SkinCell pressedCell_;
    const QImage* pressedTexture_ = nullptr;
    SkinCell disabledCell_;
    const QImage* disabledTexture_ = nullptr;
    SkinCell current_;
    bool visible_ = false;
    bool hover_ = false;
    bool disabled_ = false;
    bool pressed_ = false;
    bool checked_ = false;
    const QImage* currentTexture_ = nullptr;
    int controlId_ = 0;
    int style_ = kPushButton;
};

// The factory parents use: creates the button, gives it the four cells from `texture`, shows it
// and picks its first look. Returns null when the button could not be created.
std::unique_ptr<CTranslucentButton> CreateTranslucentButton(const QRect& rect, int id,
                                                            const QImage* texture,
                                                            const ButtonCells& cells,
                                                            QWidget* parent);
