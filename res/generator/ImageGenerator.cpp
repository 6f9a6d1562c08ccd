// velk_image_generator <output folder>: draws every image resource of the program and writes it
// as "<number>.png" into the folder. The build runs it and bundles the results as ":/images/...".
// Program icons come in three sizes: "<n>_16.png", "<n>.png" (32) and "<n>@2x.png" (64).
#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <utility>
#include <vector>

#include "Drawing.h"

int main(int argc, char** argv) {
    // Text needs a font database, hence an application object; the offscreen platform needs
    // no display, so the build works on a headless machine.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: velk_image_generator <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    std::vector<std::pair<QString, QImage>> images = {
        {QStringLiteral("999"), ProgressStrip(QColor(0xC4, 0xC4, 0xC4))},
        {QStringLiteral("1000"), ProgressStrip(QColor(0xD2, 0x36, 0x2C))},
        {QStringLiteral("1001"), ProgressStrip(QColor(0x4A, 0x4A, 0x4A))},
        {QStringLiteral("1002"), ProgressStrip(QColor(0xEE, 0x9E, 0x1A))},
        {QStringLiteral("1003"), ProgressStrip(QColor(0x38, 0xB0, 0x44))},
        {QStringLiteral("1004"), ProgressStrip(QColor(0x8E, 0x44, 0xC8), 195)},
        {QStringLiteral("1005"), ProgressStrip(QColor(0x2C, 0x8C, 0xE0))},
        {QStringLiteral("1010"), IconAtlas()},
        {QStringLiteral("1011"), ButtonSkin()},
        {QStringLiteral("1012"), WordMark()},
        {QStringLiteral("1014"), DefaultUserPicture()},
    };
    for (const auto& [number, online] :
         {std::pair{QStringLiteral("128"), true}, std::pair{QStringLiteral("129"), false}}) {
        images.emplace_back(number + QStringLiteral("_16"), ProgramIcon(16, online));
        images.emplace_back(number, ProgramIcon(32, online));
        images.emplace_back(number + QStringLiteral("@2x"), ProgramIcon(64, online));
    }

    for (const auto& [name, image] : images) {
        const QString path = out.filePath(name + QStringLiteral(".png"));
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
