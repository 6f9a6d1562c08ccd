// The progress list on a screen of twice the usual pixel density: its rows are drawn at full
// detail, like the header beside it, rather than drawn at 1x and stretched. The whole program runs
// at scale 2, so it is a test program of its own. Pictures of both densities are kept next to
// the build for people to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <map>

#include "controls/HeaderControl.h"
#include "controls/ProgressListView.h"
#include "res/ImageResources.h"
#include "support/QtTestApp.h"

namespace {

// Set before the test environment makes the application: Qt reads it once, at start-up.
const bool kScaleSet = setenv("QT_SCALE_FACTOR", "2", 1) == 0;

class NoCommands : public RowCommandSink {
public:
    void OnRowCommand(uint32_t, const std::u16string&, int64_t) override {}
    void OnRowOrderChanged() override {}
};

// How much finer than its logical pixels a picture of ratio 2 is inside `logical`: of the 2 x 2
// blocks (one logical pixel each) that hold ink, the share whose four pixels are not all equal.
// A 1x drawing stretched to 2x has none: each of its pixels became a uniform block.
double FineDetail(const QImage& image, const QRect& logical) {
    std::map<QRgb, int> counts;
    for (int y = logical.top() * 2; y <= logical.bottom() * 2 + 1; ++y) {
        for (int x = logical.left() * 2; x <= logical.right() * 2 + 1; ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    QRgb background = 0;
    int most = 0;
    for (const auto& [colour, count] : counts) {
        if (count > most) {
            background = colour;
            most = count;
        }
    }
    int inked = 0;
    int detailed = 0;
    for (int y = logical.top(); y <= logical.bottom(); ++y) {
        for (int x = logical.left(); x <= logical.right(); ++x) {
            const QRgb block[4] = {image.pixel(2 * x, 2 * y), image.pixel(2 * x + 1, 2 * y),
                                   image.pixel(2 * x, 2 * y + 1),
                                   image.pixel(2 * x + 1, 2 * y + 1)};
            bool ink = false;
            bool uniform = true;
            for (const QRgb pixel : block) {
                ink = ink || pixel != background;
                uniform = uniform && pixel == block[0];
            }
            inked += ink ? 1 : 0;
            detailed += ink && !uniform ? 1 : 0;
        }
    }
    return inked == 0 ? 0.0 : static_cast<double>(detailed) / inked;
}

TEST(ProgressListHiDpi, RowsAreDrawnAtTheScreensPixelDensityLikeTheHeader) {
    ASSERT_TRUE(kScaleSet);
    QtTestApp();
    const QImage skin = LoadImageResource(kButtonSkin);
    const QImage atlas = LoadImageResource(kIconAtlas);
    QWidget window;
    window.resize(640, 400);
    HeaderControl header;
    ASSERT_TRUE(header.Create(&window, nullptr, &skin, &atlas, QRect(0, 0, 640, 60)));
    header.SetUser(u"", u"Alice Example");
    NoCommands sink;
    ProgressListView list(&sink, atlas, &window);
    list.setGeometry(0, 60, 640, 300);
    list.AddOrUpdateRow(u"a", u"Keeping Titles Sharp", u"300 MB of 1024 MB - 1 min remaining", u"",
                        RowActive);
    list.RowSegments(0) = {{SegmentKind::Downloading, 0.0F, 1.0F, 0.3F}};
    list.AddOrUpdateRow(u"b", u"Ready to install", u"1024 MB of 1024 MB - completed. ", u"",
                        RowReady);
    list.SetRowLink(1, u"INSTALL", u"/games/b/setup.sh");
    window.show();
    ASSERT_DOUBLE_EQ(list.devicePixelRatioF(), 2.0);

    const QImage once = list.Render(1.0);
    const QRectF linkAt1x = list.Row(1).linkRect;
    const QImage shown = list.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(shown.size(), QSize(1280, 600));
    EXPECT_EQ(list.Render().size(), QSize(1280, 600));
    // Hit tests keep the logical geometry: the link is where it was at 1x.
    EXPECT_EQ(list.Row(1).linkRect, linkAt1x);

    // The 1x drawing stretched by two is what a list that ignores the density shows.
    const QImage stretched =
        once.scaled(once.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const QRect title(8 + 72, 0, 200, 20);
    const QRect status(8 + 57, 35, 250, 18);
    EXPECT_EQ(FineDetail(stretched, title), 0.0);
    const QRect titlePixels(title.topLeft() * 2, title.size() * 2);
    EXPECT_FALSE(shown.copy(titlePixels) == stretched.copy(titlePixels))
        << "the title is the 1x drawing stretched";

    const QImage headerShown = header.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(headerShown.size(), QSize(1280, 120));
    const double headerDetail = FineDetail(headerShown, QRect(306, 4, 100, 20));
    const double titleDetail = FineDetail(shown, title);
    const double statusDetail = FineDetail(shown, status);
    std::printf(
        "hidpi: fine detail of text at scale 2: header %.2f, list title %.2f, list "
        "status %.2f (a stretched 1x drawing: 0)\n",
        headerDetail, titleDetail, statusDetail);
    ASSERT_GT(headerDetail, 0.2) << "the header itself is not drawn at full density";
    EXPECT_GT(titleDetail, headerDetail * 0.6);
    EXPECT_GT(statusDetail, headerDetail * 0.6);

    const QDir artifacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../artifacts"));
    ASSERT_TRUE(artifacts.mkpath(QStringLiteral(".")));
    EXPECT_TRUE(once.save(artifacts.filePath(QStringLiteral("list-1x.png"))));
    EXPECT_TRUE(shown.save(artifacts.filePath(QStringLiteral("list-2x.png"))));
}

}  // namespace
