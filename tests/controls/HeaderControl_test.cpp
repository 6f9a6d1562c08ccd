// The header on the offscreen platform: what it draws for each sign-in state and user, and which
// commands reach the main window when its buttons and link are clicked. Clicks go to the child
// under the point, the way the window system routes them.
#include <gtest/gtest.h>

#include <QDir>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <vector>

#include "controls/CTranslucentButton.h"
#include "controls/CTranslucentStatic.h"
#include "controls/CTranslucentStaticLink.h"
#include "controls/HeaderControl.h"
#include "res/ImageResources.h"
#include "support/QtTestApp.h"
#include "support/TempHome.h"

namespace {

constexpr QRgb kBackground = 0xFF454545;
constexpr QRgb kPictureBackground = 0xFF555555;
constexpr QRgb kFrame = 0xFF909090;
const QRect kPicture(230, 30, 20, 20);

class RecordingSink : public HeaderCommandSink {
public:
    void OnHeaderCommand(int commandId) override { commands.push_back(commandId); }
    std::vector<int> commands;
};

class HeaderControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        dialog.resize(640, 480);
        ASSERT_TRUE(header.Create(&dialog, &sink, &skin, &atlas, QRect(0, 0, 640, 60)));
    }

    // A press and release at `point` (header coordinates) on whatever child lies there.
    void Click(QPoint point) {
        QWidget* target = header.childAt(point);
        if (target == nullptr) {
            target = &header;
        }
        const QPoint local = target->mapFrom(&header, point);
        for (auto [type, held] : {std::pair{QEvent::MouseButtonPress, Qt::LeftButton},
                                  std::pair{QEvent::MouseButtonRelease, Qt::NoButton}}) {
            QMouseEvent event(type, QPointF(local), QPointF(target->mapToGlobal(local)),
                              Qt::LeftButton, held, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &event);
        }
    }

    // Whether `frame` shows `cell` of `source` at `at`, comparing the fully opaque pixels.
    static ::testing::AssertionResult ShowsCell(const QImage& frame, QPoint at,
                                                const QImage& source, const QRect& cell) {
        int compared = 0;
        for (int y = 0; y < cell.height(); ++y) {
            for (int x = 0; x < cell.width(); ++x) {
                const QRgb want = source.pixel(cell.x() + x, cell.y() + y);
                if (qAlpha(want) != 255) {
                    continue;
                }
                ++compared;
                if (frame.pixel(at.x() + x, at.y() + y) != want) {
                    return ::testing::AssertionFailure()
                           << "differs at " << at.x() + x << "," << at.y() + y;
                }
            }
        }
        if (compared < 10) {
            return ::testing::AssertionFailure() << "too few opaque pixels to compare";
        }
        return ::testing::AssertionSuccess();
    }

    // Pixels of the picture square that are not its grey background.
    static int PaintedPicturePixels(const QImage& frame) {
        int painted = 0;
        for (int y = kPicture.top(); y <= kPicture.bottom(); ++y) {
            for (int x = kPicture.left(); x <= kPicture.right(); ++x) {
                painted += frame.pixel(x, y) != kPictureBackground ? 1 : 0;
            }
        }
        return painted;
    }

    static bool ShowsKey(const QImage& frame, const QImage& atlas) {
        return ShowsCell(frame, kPicture.topLeft(), atlas, QRect(0, 66, 20, 20));
    }

    QImage skin = LoadImageResource(kButtonSkin);
    QImage atlas = LoadImageResource(kIconAtlas);
    RecordingSink sink;
    QWidget dialog;
    HeaderControl header;
};

TEST_F(HeaderControlTest, FreshHeaderShowsLogoButtonsKeyAndTexts) {
    const QImage frame = header.Render();
    ASSERT_EQ(frame.size(), QSize(640, 60));
    EXPECT_EQ(frame.pixel(2, 2), kBackground);
    EXPECT_EQ(frame.pixel(600, 55), kBackground);
    const QImage logo = LoadImageResource(kWordMark);
    EXPECT_TRUE(ShowsCell(frame, {5, 5}, logo, logo.rect()));
    EXPECT_TRUE(ShowsCell(frame, {5, 30}, skin, {0, 0, 64, 20}));
    EXPECT_TRUE(ShowsCell(frame, {69, 30}, skin, {64, 0, 50, 20}));
    EXPECT_TRUE(ShowsCell(frame, {130, 30}, skin, {0, 82, 64, 20}));
    EXPECT_TRUE(ShowsKey(frame, atlas));
    // The frame sits on columns 229 and 251 and rows 29 and 51.
    for (QPoint p : {QPoint(229, 29), QPoint(251, 29), QPoint(229, 51), QPoint(251, 51),
                     QPoint(240, 29), QPoint(229, 40)}) {
        EXPECT_EQ(frame.pixel(p), kFrame) << p.x() << "," << p.y();
    }
    EXPECT_EQ(frame.pixel(228, 40), kBackground);
    EXPECT_EQ(header.UserNameText()->Text(), QStringLiteral("Not logged in"));
    EXPECT_EQ(header.LoginLink()->Text(), QStringLiteral("Login"));
    EXPECT_EQ(HeaderControl::VersionText(), QStringLiteral("0.9.0.1336"));

    // The version is light text in its rectangle; the name is white and the link blue.
    const auto hasColourNear = [&frame](const QRect& area, QRgb colour, int tolerance) {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                const QRgb px = frame.pixel(x, y);
                if (std::abs(qRed(px) - qRed(colour)) <= tolerance &&
                    std::abs(qGreen(px) - qGreen(colour)) <= tolerance &&
                    std::abs(qBlue(px) - qBlue(colour)) <= tolerance) {
                    return true;
                }
            }
        }
        return false;
    };
    EXPECT_TRUE(hasColourNear({306, 4, 100, 20}, 0xFFD6D6D6, 12));
    EXPECT_TRUE(hasColourNear({255, 26, 100, 14}, 0xFFFFFFFF, 30));
    EXPECT_TRUE(hasColourNear({255, 40, 60, 15}, 0xFF7EADC0, 12));
}

TEST_F(HeaderControlTest, SetLoginStateEnablesButtonsAndSetsTheLink) {
    const struct {
        LoginState mode;
        bool reset;
        bool resume;
        bool pause;
        QString link;
    } cases[] = {
        {LoginState::SignedIn, false, false, true, QStringLiteral("Logout")},
        {LoginState::Paused, false, true, false, QStringLiteral("Logout")},
        {LoginState::Offline, false, false, false,
         QStringLiteral("Logout")},  // link unchanged without reset
        {LoginState::SignedOut, true, false, false, QStringLiteral("Login")},
        {LoginState::SignedIn, true, false, true, QStringLiteral("Logout")},
        {LoginState::Offline, true, false, false, QStringLiteral("Login")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(c.mode)) +
                     (c.reset ? " reset" : ""));
        header.SetLoginState(c.mode, c.reset);
        EXPECT_EQ(header.ResumeButton()->isEnabled(), c.resume);
        EXPECT_EQ(header.PauseButton()->isEnabled(), c.pause);
        EXPECT_EQ(header.LoginLink()->Text(), c.link);
        const QImage frame = header.Render();
        EXPECT_TRUE(ShowsCell(frame, {5, 30}, skin, {0, c.resume ? 0 : 40, 64, 20}));
        EXPECT_TRUE(ShowsCell(frame, {69, 30}, skin, {64, c.pause ? 0 : 40, 50, 20}));
    }
}

TEST_F(HeaderControlTest, SetUserShowsPictureAndNameAndResetRestoresTheKey) {
    header.SetUser(u"", u"Alice");
    header.SetLoginState(LoginState::SignedIn, false);
    EXPECT_EQ(header.UserNameText()->Text(), QStringLiteral("Alice"));
    EXPECT_EQ(header.UserName(), u"Alice");
    QImage frame = header.Render();
    EXPECT_FALSE(ShowsKey(frame, atlas));
    // The default picture scaled into the square: neutral greys with a lighter head.
    EXPECT_GT(PaintedPicturePixels(frame), 300);
    const QRgb head = frame.pixel(240, 37);
    EXPECT_EQ(qRed(head), qBlue(head));
    EXPECT_GT(qGray(head), qGray(frame.pixel(231, 31)) + 20);

    header.SetLoginState(LoginState::SignedOut, true);
    frame = header.Render();
    EXPECT_TRUE(ShowsKey(frame, atlas));
    EXPECT_EQ(header.UserNameText()->Text(), QStringLiteral("Not logged in"));
    EXPECT_EQ(header.LoginLink()->Text(), QStringLiteral("Login"));
    EXPECT_FALSE(header.ResumeButton()->isEnabled());
    EXPECT_FALSE(header.PauseButton()->isEnabled());
}

TEST_F(HeaderControlTest, SetUserLoadsThePictureFileAndAnUnreadableOneLeavesTheSquareGrey) {
    TempDir folder;
    const std::string avatar = (folder.Path() / "avatar.png").string();
    // A 98 x 98 avatar, red above and blue below: the whole of it must fit into the square.
    QImage picture(98, 98, QImage::Format_ARGB32);
    picture.fill(QColor(0xCC, 0x10, 0x10));
    QPainter(&picture).fillRect(QRect(0, 49, 98, 49), QColor(0x10, 0x10, 0xCC));
    ASSERT_TRUE(picture.save(QString::fromStdString(avatar)));

    header.SetUser(QString::fromStdString(avatar).toStdU16String(), u"Bob");
    QImage frame = header.Render();
    EXPECT_EQ(frame.pixel(230, 30), 0xFFCC1010u);
    EXPECT_EQ(frame.pixel(249, 34), 0xFFCC1010u);
    EXPECT_EQ(frame.pixel(230, 49), 0xFF1010CCu);
    EXPECT_EQ(frame.pixel(249, 45), 0xFF1010CCu);
    EXPECT_EQ(frame.pixel(229, 29), kFrame);

    header.SetUser(u"/no/such/picture.png", u"Bob");
    frame = header.Render();
    EXPECT_EQ(PaintedPicturePixels(frame), 0) << "only the grey square";
    EXPECT_FALSE(ShowsKey(frame, atlas));
    EXPECT_EQ(frame.pixel(251, 51), kFrame);
}

TEST_F(HeaderControlTest, ButtonClicksArePostedAndDisabledButtonsIgnoreThem) {
    header.SetLoginState(LoginState::SignedIn, false);  // Pause enabled, Resume disabled
    Click({90, 40});
    EXPECT_TRUE(sink.commands.empty()) << "posted, not delivered during the click";
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.commands, std::vector<int>{ID_PAUSE_ALL});

    sink.commands.clear();
    Click({30, 40});  // the disabled Resume button
    QCoreApplication::processEvents();
    EXPECT_TRUE(sink.commands.empty());

    header.SetLoginState(LoginState::Paused, false);
    Click({30, 40});
    Click({90, 40});  // now the disabled one
    Click({160, 40});
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.commands, (std::vector<int>{ID_RESUME_ALL, ID_SETTINGS}));
}

TEST_F(HeaderControlTest, TheLinkReadsWhatTheSignedInStateSaysInEveryMode) {
    // Signed out, then in while paused, and offline: neither state sets the
    // link, so the window's word on the signed-in state decides it.
    header.SetLoginState(LoginState::SignedOut, true);
    header.ShowSignedIn(false);
    EXPECT_EQ(header.LoginLink()->Text(), QStringLiteral("Login"));
    for (const LoginState mode : {LoginState::Paused, LoginState::Offline, LoginState::SignedIn}) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)));
        header.SetLoginState(mode, false);
        header.ShowSignedIn(true);
        EXPECT_EQ(header.LoginLink()->Text(), QStringLiteral("Logout"));
    }
    header.SetLoginState(LoginState::Offline, false);
    header.ShowSignedIn(false);
    EXPECT_EQ(header.LoginLink()->Text(), QStringLiteral("Login"));
}

TEST_F(HeaderControlTest, LinkClickSendsLoginLogoutWhateverItReads) {
    header.Render();  // fits the link to its text
    Click({258, 46});
    EXPECT_EQ(sink.commands, std::vector<int>{ID_LOGIN_LOGOUT}) << "sent during the click";
    header.SetLoginState(LoginState::SignedIn, false);
    header.Render();
    Click({258, 46});
    EXPECT_EQ(sink.commands, (std::vector<int>{ID_LOGIN_LOGOUT, ID_LOGIN_LOGOUT}));
    Click({250, 46});  // left of the link, on the picture frame
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.commands.size(), 2u);
}

TEST_F(HeaderControlTest, HoveredButtonShowsItsHoverCell) {
    header.SetLoginState(LoginState::SignedIn, false);
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3),
                      QPointF(header.PauseButton()->mapToGlobal(QPoint(3, 3))));
    QCoreApplication::sendEvent(header.PauseButton(), &enter);
    EXPECT_TRUE(ShowsCell(header.Render(), {69, 30}, skin, {64, 20, 50, 20}));
}

TEST_F(HeaderControlTest, RenderedHeaderIsKeptAsAnArtifact) {
    // A signed-in look with the default picture, above the signed-out look.
    header.SetUser(u"", u"Alice Example");
    header.SetLoginState(LoginState::SignedIn, false);
    const QImage signedIn = header.Render();
    header.SetLoginState(LoginState::SignedOut, true);
    const QImage signedOut = header.Render();
    QImage sheet(640, 124, QImage::Format_ARGB32);
    sheet.fill(Qt::black);
    {
        QPainter p(&sheet);
        p.drawImage(0, 0, signedIn);
        p.drawImage(0, 64, signedOut);
    }
    const QDir artifacts(QCoreApplication::applicationDirPath() + QStringLiteral("/../artifacts"));
    ASSERT_TRUE(artifacts.mkpath(QStringLiteral(".")));
    EXPECT_TRUE(sheet.save(artifacts.filePath(QStringLiteral("header.png"))));
}

}  // namespace
