#include "res/ImageResources.h"

QString ImageResourcePath(int number) {
    return QStringLiteral(":/images/%1.png").arg(number);
}

QImage LoadImageResource(int number) {
    QImage image(ImageResourcePath(number));
    if (image.isNull()) {
        return image;
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}
