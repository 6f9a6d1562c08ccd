#pragma once
// StatusControl: the bar along the bottom of the main window, one coloured dot and one line of
// text ("online - 245 KB/s", "offline", "paused"). The main window writes `connectionMode` and
// `speed` directly and calls update(). Paints into an off-screen image that it copies to the
// screen in one draw. UI thread only; the icon atlas is the main window's and must outlive it.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QWidget>

#include "app/LifecycleServices.h"

class StatusControl : public QWidget {
public:
    static constexpr int kControlId = 7;

    explicit StatusControl(QWidget* parent = nullptr);
    ~StatusControl() override;

    // Stores the icon atlas, places the control at `rect` in `parent` (which then owns it as its
    // Qt parent) and shows it.
    bool Create(const QImage* texture, const QRect& rect, QWidget* parent);

    // The text shown for the current mode and speed.
    QString StatusText() const;
    // Draws the whole control into a new image of its size.
    QImage Render() const;

    StatusMode connectionMode = StatusMode::Offline;
    int speed = 0;  // KB/s, from the speed meter
    int limit = 0;  // KB/s, the speed limit; 0: none (not shown)

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor background_ = QColor::fromRgba(0xFF454545);
    QColor textColour_ = QColor::fromRgba(0xFF949494);
    QFont font_;
    const QImage* texture_ = nullptr;
};
