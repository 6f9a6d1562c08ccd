#pragma once
// Draws one progress-list row into the list's off-screen image. The resources (strip images,
// button texture, fonts) belong to the list and are only read here. User-interface thread only.
// Drawing writes back what the list needs for hit tests (the link rectangle) and the fills the
// row's look implies (unavailable segments, downloading segments of a ready row): nothing else.
#include <QFont>
#include <QImage>
#include <array>

#include "res/ImageResources.h"

class ProgressItem;
class QPainter;
class QRect;

struct ProgressListResources {
    static constexpr int kFirstStrip = kStripTrack;
    static constexpr int kStripCount = kStripBlue - kStripTrack + 1;

    ProgressListResources();
    // A strip by its resource number (kStripTrack..kStripBlue); a strip that did not load is a null
    // image.
    const QImage& Strip(int number) const;

    std::array<QImage, kStripCount> strips;
    QImage texture;  // the shared button texture, handed over by the list's owner
    QFont titleFont;
    QFont statusFont;
    QFont linkFont;
};

// Paints `item` into `rowRect` (X, Y, W, 53): background, icon square and frame, title, track,
// bar content by state and segments, status line, link, then the row's elements.
void PaintProgressItem(QPainter& painter, ProgressItem& item, const QRect& rowRect, bool hovered,
                       bool dragged, const ProgressListResources& resources);
