// The bundled images: every resource the controls and the main window load exists under
// ":/images/<number>.png" with its size, and its cells sit where the controls cut them out.
#include <gtest/gtest.h>

#include <QImage>
#include <QRect>
#include <algorithm>
#include <cmath>
#include <vector>

#include "res/ImageResources.h"
#include "support/QtTestApp.h"

namespace {

QImage Load(int number) {
    QImage image = LoadImageResource(number);
    EXPECT_FALSE(image.isNull()) << "resource " << number;
    return image;
}

// Mean colour of the clearly opaque pixels of `area`, leaving out white glyphs (ticks, crosses)
// so that it tells the colour of the picture's body.
struct Mean {
    double r = 0, g = 0, b = 0;
    int count = 0;
    double Lightness() const { return (r + g + b) / 3.0; }
};

Mean MeanColour(const QImage& image, const QRect& area, bool skipWhite = true) {
    Mean m;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb px = image.pixel(x, y);
            if (qAlpha(px) < 200 ||
                (skipWhite && qRed(px) > 235 && qGreen(px) > 235 && qBlue(px) > 235)) {
                continue;
            }
            m.r += qRed(px);
            m.g += qGreen(px);
            m.b += qBlue(px);
            ++m.count;
        }
    }
    if (m.count > 0) {
        m.r /= m.count;
        m.g /= m.count;
        m.b /= m.count;
    }
    return m;
}

enum class Hue {
    Green,
    Amber,
    Grey,
    DarkGrey,
    Red,
    Yellow,
    OrangeRed,
    Gold,
    Purple,
    Blue,
    Neutral
};

::testing::AssertionResult HasHue(const Mean& m, Hue hue) {
    bool ok = false;
    switch (hue) {
        case Hue::Green:
            ok = m.g > m.r + 40 && m.g > m.b + 40;
            break;
        case Hue::Amber:
            ok = m.r > 180 && m.g > 100 && m.g < m.r - 30 && m.b < m.g - 40;
            break;
        case Hue::Grey:
            ok = std::abs(m.r - m.g) < 10 && std::abs(m.g - m.b) < 10 && m.Lightness() > 110;
            break;
        case Hue::DarkGrey:
            ok = std::abs(m.r - m.g) < 10 && std::abs(m.g - m.b) < 10 && m.Lightness() < 110;
            break;
        case Hue::Red:
            ok = m.r > 2 * m.g && m.r > 2 * m.b;
            break;
        case Hue::Yellow:
            ok = m.r > 170 && m.g > 140 && m.b < 90;
            break;
        case Hue::OrangeRed:
            ok = m.r > 180 && m.g > 50 && m.g < 140 && m.b < 80;
            break;
        case Hue::Gold:
            ok = m.r > 150 && m.g > 110 && m.b < m.g - 40;
            break;
        case Hue::Purple:
            ok = m.r > m.g + 40 && m.b > m.g + 40;
            break;
        case Hue::Neutral:
            ok = std::abs(m.r - m.g) < 10 && std::abs(m.g - m.b) < 10;
            break;
        case Hue::Blue:
            ok = m.b > m.r + 60 && m.b > m.g + 20;
            break;
    }
    if (ok && m.count > 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "mean colour (" << m.r << ", " << m.g << ", " << m.b
                                         << ") over " << m.count << " pixels";
}

TEST(Images, ResourcePathsFollowTheResourceNumbers) {
    EXPECT_EQ(ImageResourcePath(999), QStringLiteral(":/images/999.png"));
    EXPECT_EQ(ImageResourcePath(kIconAtlas), QStringLiteral(":/images/1010.png"));
    EXPECT_TRUE(LoadImageResource(1013).isNull()) << "no resource 1013 exists";
}

TEST(Images, EveryImageHasItsSize) {
    const struct {
        QString path;
        QSize size;
    } cases[] = {
        {QStringLiteral(":/images/999.png"), {258, 14}},
        {QStringLiteral(":/images/1000.png"), {258, 14}},
        {QStringLiteral(":/images/1001.png"), {258, 14}},
        {QStringLiteral(":/images/1002.png"), {258, 14}},
        {QStringLiteral(":/images/1003.png"), {258, 14}},
        {QStringLiteral(":/images/1004.png"), {258, 14}},
        {QStringLiteral(":/images/1005.png"), {258, 14}},
        {QStringLiteral(":/images/1010.png"), {60, 129}},
        {QStringLiteral(":/images/1012.png"), {164, 19}},
        {QStringLiteral(":/images/1014.png"), {49, 49}},
        {QStringLiteral(":/images/128.png"), {32, 32}},
        {QStringLiteral(":/images/129.png"), {32, 32}},
        {QStringLiteral(":/images/128@2x.png"), {64, 64}},
        {QStringLiteral(":/images/129@2x.png"), {64, 64}},
        {QStringLiteral(":/images/128_16.png"), {16, 16}},
        {QStringLiteral(":/images/129_16.png"), {16, 16}},
    };
    for (const auto& c : cases) {
        const QImage image(c.path);
        EXPECT_EQ(image.size(), c.size) << c.path.toStdString();
        EXPECT_TRUE(image.hasAlphaChannel()) << c.path.toStdString();
    }
    // The skin must hold every cell the header cuts out of it.
    const QImage skin = Load(kButtonSkin);
    EXPECT_GE(skin.width(), 114);
    EXPECT_GE(skin.height(), 122);
}

TEST(Images, ProgressStripsHaveTheirColoursAndDarkerEnds) {
    const struct {
        int number;
        Hue hue;
        int alpha;
    } cases[] = {
        {kStripTrack, Hue::Grey, 255},        {kStripRed, Hue::Red, 255},
        {kStripDarkGrey, Hue::DarkGrey, 255}, {kStripAmber, Hue::Amber, 255},
        {kStripGreen, Hue::Green, 255},       {kStripPurple, Hue::Purple, 195},
        {kStripBlue, Hue::Blue, 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const QImage strip = Load(c.number);
        ASSERT_EQ(strip.size(), QSize(258, 14));
        // Alpha is uniform over the whole strip.
        for (int y = 0; y < 14; ++y) {
            for (int x = 0; x < 258; ++x) {
                ASSERT_EQ(qAlpha(strip.pixel(x, y)), c.alpha) << x << "," << y;
            }
        }
        // Read colours through an opaque copy so the purple's alpha does not skew them.
        QImage opaque = strip;
        for (int y = 0; y < 14; ++y) {
            for (int x = 0; x < 258; ++x) {
                opaque.setPixel(x, y, strip.pixel(x, y) | 0xFF000000u);
            }
        }
        EXPECT_TRUE(HasHue(MeanColour(opaque, QRect(1, 0, 256, 14)), c.hue));
        for (int end : {0, 257}) {
            EXPECT_LT(MeanColour(opaque, QRect(end, 0, 1, 14), false).Lightness(),
                      MeanColour(opaque, QRect(end == 0 ? 1 : 256, 0, 1, 14), false).Lightness())
                << "end column " << end;
        }
        // Glossy: the top is lighter than the bottom.
        EXPECT_GT(MeanColour(opaque, QRect(1, 1, 256, 3), false).Lightness(),
                  MeanColour(opaque, QRect(1, 10, 256, 3), false).Lightness());
    }
}

struct AtlasCell {
    QRect rect;
    Hue hue;
};

const std::vector<AtlasCell>& AtlasCells() {
    static const std::vector<AtlasCell> cells = {
        {{0, 0, 13, 13}, Hue::Green},       // check
        {{15, 0, 13, 13}, Hue::Amber},      // play
        {{30, 0, 13, 13}, Hue::Grey},       // pause
        {{45, 0, 13, 13}, Hue::Green},      // check, hover
        {{45, 14, 13, 13}, Hue::Amber},     // play, hover
        {{45, 29, 13, 13}, Hue::Grey},      // pause, hover
        {{29, 16, 13, 13}, Hue::Yellow},    // warning
        {{44, 44, 13, 13}, Hue::Yellow},    // warning, hover
        {{15, 15, 13, 13}, Hue::DarkGrey},  // grey cross
        {{28, 107, 13, 13}, Hue::Red},      // red cross
        {{15, 31, 13, 13}, Hue::Green},     // online dot
        {{0, 31, 13, 13}, Hue::OrangeRed},  // offline dot
        {{30, 90, 13, 13}, Hue::Amber},     // paused dot
        {{0, 66, 20, 20}, Hue::Gold},       // key
    };
    return cells;
}

TEST(Images, AtlasCellsHoldTheirPicturesAndNothingLiesOutsideThem) {
    const QImage atlas = Load(kIconAtlas);
    ASSERT_EQ(atlas.size(), QSize(60, 129));
    for (const AtlasCell& cell : AtlasCells()) {
        SCOPED_TRACE(
            QStringLiteral("cell %1,%2").arg(cell.rect.x()).arg(cell.rect.y()).toStdString());
        const Mean m = MeanColour(atlas, cell.rect);
        EXPECT_GT(m.count, 20) << "cell is nearly empty";
        EXPECT_TRUE(HasHue(m, cell.hue));
    }
    for (int y = 0; y < atlas.height(); ++y) {
        for (int x = 0; x < atlas.width(); ++x) {
            bool inCell = false;
            for (const AtlasCell& cell : AtlasCells()) {
                inCell = inCell || cell.rect.contains(x, y);
            }
            if (!inCell) {
                ASSERT_EQ(qAlpha(atlas.pixel(x, y)), 0) << "stray pixel at " << x << "," << y;
            }
        }
    }
}

TEST(Images, HoverLooksAreLighterAndTheKeyHasAWhiteTag) {
    const QImage atlas = Load(kIconAtlas);
    const std::pair<QRect, QRect> pairs[] = {
        {{0, 0, 13, 13}, {45, 0, 13, 13}},
        {{15, 0, 13, 13}, {45, 14, 13, 13}},
        {{30, 0, 13, 13}, {45, 29, 13, 13}},
        {{29, 16, 13, 13}, {44, 44, 13, 13}},
    };
    for (const auto& [normal, hover] : pairs) {
        EXPECT_GT(MeanColour(atlas, hover).Lightness(), MeanColour(atlas, normal).Lightness() + 5)
            << "hover of " << normal.x() << "," << normal.y();
    }
    int white = 0;
    for (int y = 66; y < 86; ++y) {
        for (int x = 0; x < 20; ++x) {
            white += atlas.pixel(x, y) == 0xFFFFFFFFu ? 1 : 0;
        }
    }
    EXPECT_GE(white, 8);
}

TEST(Images, ButtonSkinRowsShowNormalHoverAndDisabledLooks) {
    const QImage skin = Load(kButtonSkin);
    // Each caption cell is opaque: the skin covers the header completely where it is drawn.
    for (const QRect cell : {QRect(0, 0, 64, 20), QRect(64, 0, 50, 20), QRect(0, 20, 64, 20),
                             QRect(64, 40, 50, 20), QRect(0, 82, 64, 20), QRect(0, 102, 64, 20)}) {
        EXPECT_EQ(qAlpha(skin.pixel(cell.center())), 255) << cell.x() << "," << cell.y();
    }
    const auto brightest = [&skin](const QRect& cell) {
        int best = 0;
        for (int y = cell.top(); y <= cell.bottom(); ++y) {
            for (int x = cell.left(); x <= cell.right(); ++x) {
                best = std::max(best, qGray(skin.pixel(x, y)));
            }
        }
        return best;
    };
    for (int x : {0, 64}) {
        const int width = x == 0 ? 64 : 50;
        const QRect normal(x, 0, width, 20), hover(x, 20, width, 20), disabled(x, 40, width, 20);
        EXPECT_GT(MeanColour(skin, hover).Lightness(), MeanColour(skin, normal).Lightness());
        // A disabled caption is dim: its lightest pixel is well below the normal caption's.
        EXPECT_LT(brightest(disabled) + 60, brightest(normal));
    }
    EXPECT_GT(MeanColour(skin, {0, 102, 64, 20}).Lightness(),
              MeanColour(skin, {0, 82, 64, 20}).Lightness());
}

TEST(Images, WordMarkUserPictureAndProgramIcons) {
    const QImage mark = Load(kWordMark);
    const Mean text = MeanColour(mark, QRect(25, 0, 139, 19));
    EXPECT_GT(text.count, 60) << "the word mark's letters";
    EXPECT_GT(text.Lightness(), 180) << "light letters on the dark header";

    const QImage picture = Load(kDefaultUserPicture);
    EXPECT_EQ(qAlpha(picture.pixel(0, 0)), 255);
    EXPECT_TRUE(HasHue(MeanColour(picture, picture.rect()), Hue::Neutral));
    // The silhouette's head is lighter than the corner beside it.
    EXPECT_GT(qGray(picture.pixel(24, 19)), qGray(picture.pixel(3, 3)) + 30);

    const Mean online = MeanColour(Load(kOnlineIcon), QRect(0, 0, 32, 32));
    const Mean offline = MeanColour(Load(kOfflineIcon), QRect(0, 0, 32, 32));
    EXPECT_GT(online.b, online.r + 40) << "the online icon is blue";
    EXPECT_LT(offline.b, offline.r) << "the offline icon is grey with a red badge";
}

}  // namespace
