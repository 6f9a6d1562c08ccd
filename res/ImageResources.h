#pragma once
// The program's images, bundled as Qt resources named by their resource numbers:
// ":/images/<number>.png". They are drawn at build time by res/generator. Program icons also come
// as "<number>_16.png" and "<number>@2x.png" (16 and 64 pixels; QIcon picks the "@2x" form up).
#include <QImage>
#include <QString>

enum ImageResource : int {
    kOnlineIcon = 128,
    kOfflineIcon = 129,
    kStripTrack = 999,  // light grey, the empty track
    kStripRed = 1000,
    kStripDarkGrey = 1001,
    kStripAmber = 1002,
    kStripGreen = 1003,
    kStripPurple = 1004,  // alpha 195 of 255
    kStripBlue = 1005,
    kIconAtlas = 1010,
    kButtonSkin = 1011,
    kWordMark = 1012,
    kDefaultUserPicture = 1014,
};

// ":/images/<number>.png"
QString ImageResourcePath(int number);

// The image in ARGB32, or a null image when there is no such resource.
QImage LoadImageResource(int number);
