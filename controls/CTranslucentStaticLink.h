#pragma once
// CTranslucentStaticLink: an underlined, clickable text drawn by its parent. At the first
// drawing after a text change it measures the text and fits its own widget to it, so that the
// clickable area always covers exactly the text. A click is reported to the parent
// (TranslucentParent::OnTranslucentCommand). UI thread only.
#include "controls/CTranslucentStatic.h"

class CTranslucentStaticLink : public CTranslucentStatic {
public:
    CTranslucentStaticLink();
    ~CTranslucentStaticLink() override;

    // Measures the text if it changed (moving and resizing the widget to it), then draws it.
    void DrawOn(QPainter& surface) override;
    // Stores the text; the widget is fitted to it at the next drawing.
    void SetText(const QString& text) override;

    bool NeedsMeasuring() const { return needsMeasuring_; }

protected:
    void RegisterWindowClass() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Enabling gives the link colour back, disabling turns it grey.
    void changeEvent(QEvent* event) override;

private:
    bool pressed_ = false;
    bool needsMeasuring_ = true;
};
