// The status bar rendered on the offscreen platform: text per mode and speed, the dot cut from
// the icon atlas, and nothing but background where no dot belongs.
#include <gtest/gtest.h>

#include <QDir>
#include <algorithm>
#include <cstdlib>

#include "controls/StatusControl.h"
#include "res/ImageResources.h"
#include "support/QtTestApp.h"

namespace {

constexpr QRgb kBackground = 0xFF454545;
const QRect kDotRect(10, 15, 13, 13);

// Where the text may ink: from the layout rectangle's left, a line centred on y = 20.
const QRect kTextArea(23, 10, 300, 21);

class StatusControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(640, 480);
        ASSERT_TRUE(status.Create(&atlas, QRect(0, 440, 640, 40), &window));
    }

    // Whether the dot area shows the atlas cell at `cell`: every opaque pixel of the cell is
    // copied unchanged, every transparent one leaves the background.
    ::testing::AssertionResult ShowsDot(const QImage& frame, QPoint cell) const {
        for (int y = 0; y < 13; ++y) {
            for (int x = 0; x < 13; ++x) {
                const QRgb source = atlas.pixel(cell.x() + x, cell.y() + y);
                const QRgb shown = frame.pixel(kDotRect.x() + x, kDotRect.y() + y);
                if ((qAlpha(source) == 255 && shown != source) ||
                    (qAlpha(source) == 0 && shown != kBackground)) {
                    return ::testing::AssertionFailure() << "differs at " << x << "," << y;
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Rightmost column of `frame` inked by the text, or -1 when there is no text.
    static int TextRightEdge(const QImage& frame) {
        int right = -1;
        for (int y = kTextArea.top(); y <= kTextArea.bottom(); ++y) {
            for (int x = kTextArea.left(); x <= kTextArea.right(); ++x) {
                if (frame.pixel(x, y) != kBackground) {
                    right = std::max(right, x);
                }
            }
        }
        return right;
    }

    QImage atlas = LoadImageResource(kIconAtlas);
    QWidget window;
    StatusControl status;
};

TEST_F(StatusControlTest, StartsOfflineWithTheOrangeRedDot) {
    EXPECT_EQ(status.connectionMode, StatusMode::Offline);
    EXPECT_EQ(status.speed, 0);
    EXPECT_EQ(status.StatusText(), QStringLiteral("offline"));
    const QImage frame = status.Render();
    ASSERT_EQ(frame.size(), QSize(640, 40));
    EXPECT_TRUE(ShowsDot(frame, {0, 31}));
    EXPECT_EQ(frame.pixel(5, 5), kBackground);
    EXPECT_EQ(frame.pixel(639, 39), kBackground);
}

TEST_F(StatusControlTest, EachModeShowsItsTextAndDot) {
    const struct {
        StatusMode mode;
        int speed;
        QString text;
        QPoint dot;     // (-1, -1): no dot
        int limit = 0;  // the speed limit, KB/s
    } cases[] = {
        {StatusMode::Online, 245, QStringLiteral("online - 245 KB/s"), {15, 31}},
        {StatusMode::Online, 0, QStringLiteral("online - 0 KB/s"), {15, 31}},
        {StatusMode::Online, 512, QStringLiteral("online - 512 KB/s (limit 1024)"), {15, 31}, 1024},
        {StatusMode::Offline, 245, QStringLiteral("offline"), {0, 31}, 1024},
        {StatusMode::Paused, 245, QStringLiteral("paused"), {30, 90}},
        {static_cast<StatusMode>(3), 245, QStringLiteral("paused"), {-1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString() + " mode " + std::to_string(static_cast<int>(c.mode)));
        status.connectionMode = c.mode;
        status.speed = c.speed;
        status.limit = c.limit;
        EXPECT_EQ(status.StatusText(), c.text);
        const QImage frame = status.Render();
        if (c.dot.x() >= 0) {
            EXPECT_TRUE(ShowsDot(frame, c.dot));
        } else {
            for (int y = kDotRect.top(); y <= kDotRect.bottom(); ++y) {
                for (int x = kDotRect.left(); x <= kDotRect.right(); ++x) {
                    ASSERT_EQ(frame.pixel(x, y), kBackground) << x << "," << y;
                }
            }
        }
        EXPECT_GT(TextRightEdge(frame), 40) << "the text is drawn";
    }
}

TEST_F(StatusControlTest, TextIsGreyAndTheSpeedWidensTheLine) {
    status.connectionMode = StatusMode::Offline;
    const QImage offline = status.Render();
    status.connectionMode = StatusMode::Online;
    status.speed = 245;
    const QImage online = status.Render();
    EXPECT_GT(TextRightEdge(online), TextRightEdge(offline) + 30);

    // Anti-aliased strokes reach close to the grey text colour and never beyond it.
    int brightest = 0;
    for (int y = kTextArea.top(); y <= kTextArea.bottom(); ++y) {
        for (int x = kTextArea.left(); x <= kTextArea.right(); ++x) {
            const QRgb px = online.pixel(x, y);
            EXPECT_LE(std::abs(qRed(px) - qBlue(px)), 2) << "grey at " << x << "," << y;
            brightest = std::max(brightest, qGray(px));
        }
    }
    EXPECT_GE(brightest, 0x94 - 24);
    EXPECT_LE(brightest, 0x94 + 1);
}

TEST_F(StatusControlTest, RenderedBarIsKeptAsAnArtifact) {
    status.connectionMode = StatusMode::Online;
    status.speed = 245;
    const QDir artifacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../artifacts"));
    ASSERT_TRUE(artifacts.mkpath(QStringLiteral(".")));
    EXPECT_TRUE(status.Render().save(artifacts.filePath(QStringLiteral("status.png"))));
    // And with a speed limit set, as the bar shows it then.
    status.speed = 512;
    status.limit = 1024;
    EXPECT_TRUE(status.Render().save(artifacts.filePath(QStringLiteral("status-limit.png"))));
}

}  // namespace
