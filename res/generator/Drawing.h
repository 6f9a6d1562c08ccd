#pragma once
// Pictures of the program's image resources, drawn with QPainter at build time by
// velk_image_generator. Each function returns a finished ARGB32 image of the exact size the
// controls expect; none of them touches the disk. Needs a QGuiApplication (text is drawn).
#include <QColor>
#include <QImage>
#include <QString>

// A transparent ARGB32 image of the given size.
QImage TransparentImage(int width, int height);

// The 258 x 14 glossy bar with darker one-pixel ends; `alpha` applies to the whole strip.
QImage ProgressStrip(const QColor& colour, int alpha = 255);

// The 60 x 129 icon atlas with every cell the list, header and status bar use.
QImage IconAtlas();

// The header's button skin: Resume and Pause captions at y = 0, 20, 40 (normal, hover,
// disabled), the Options caption at y = 82 (normal) and 102 (hover).
QImage ButtonSkin();

// The 164 x 19 word mark.
QImage WordMark();

// The 49 x 49 grey head-and-shoulders picture shown for a user without a picture of their own.
QImage DefaultUserPicture();

// The program icon, square, of the given size: coloured when online, grey when offline.
QImage ProgramIcon(int size, bool online);

// The sans-serif face the pictures' texts use (DejaVu Sans where installed), at a pixel size.
QFont CaptionFont(double pixelSize, bool bold);
