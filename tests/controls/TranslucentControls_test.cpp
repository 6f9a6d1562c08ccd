// The translucent button, text and link, on a probe parent that records what they report and
// how often it is asked to repaint. Mouse input is sent as events, the way the window system
// would deliver it to the widget under the pointer.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <memory>
#include <vector>

#include "controls/CTranslucentButton.h"
#include "controls/CTranslucentStatic.h"
#include "controls/CTranslucentStaticLink.h"
#include "controls/TranslucentParent.h"
#include "support/QtTestApp.h"

namespace {

void SendMouse(QWidget* target, QEvent::Type type, QPoint local, Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(local), QPointF(target->mapToGlobal(local)), Qt::LeftButton,
                      held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

void Press(QWidget* target, QPoint local) {
    SendMouse(target, QEvent::MouseButtonPress, local, Qt::LeftButton);
}
void Move(QWidget* target, QPoint local) {
    SendMouse(target, QEvent::MouseMove, local, Qt::LeftButton);
}
void Release(QWidget* target, QPoint local) {
    SendMouse(target, QEvent::MouseButtonRelease, local, Qt::NoButton);
}
void Enter(QWidget* target) {
    QEnterEvent event(QPointF(1, 1), QPointF(1, 1), QPointF(target->mapToGlobal(QPoint(1, 1))));
    QCoreApplication::sendEvent(target, &event);
}
void Leave(QWidget* target) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(target, &event);
}

// Stands for the custom-drawn parent: records reports and counts its repaints.
class ProbeParent : public QWidget, public TranslucentParent {
public:
    void OnTranslucentNotify(const TranslucentNotification& n) override {
        notifications.push_back(n);
        if (deleteOnNotify) {
            deleteOnNotify->reset();
        }
    }
    void OnTranslucentCommand(int controlId) override { commands.push_back(controlId); }

    std::vector<TranslucentNotification> notifications;
    std::vector<int> commands;
    int paints = 0;
    std::unique_ptr<CTranslucentButton>* deleteOnNotify = nullptr;

protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
};

// A 4 x 2 texture with distinct colours, so that every cell can be recognised when drawn.
QImage Skin() {
    QImage skin(40, 40, QImage::Format_ARGB32);
    skin.fill(Qt::transparent);
    QPainter p(&skin);
    p.fillRect(QRect(0, 0, 10, 10), QColor(0xFF, 0, 0));         // normal
    p.fillRect(QRect(10, 0, 10, 10), QColor(0, 0xFF, 0));        // hover
    p.fillRect(QRect(20, 0, 10, 10), QColor(0, 0, 0xFF));        // pressed
    p.fillRect(QRect(30, 0, 10, 10), QColor(0x80, 0x80, 0x80));  // disabled
    return skin;
}

const ButtonCells kCells{{0, 0, 10, 10}, {10, 0, 10, 10}, {20, 0, 10, 10}, {30, 0, 10, 10}};

class TranslucentButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        parent.resize(200, 100);
        parent.show();
        button = CreateTranslucentButton(QRect(20, 30, 40, 20), 7, &skin, kCells, &parent);
        ASSERT_NE(button, nullptr);
        Settle();
    }

    // Lets pending repaints happen, then forgets them.
    void Settle() {
        QCoreApplication::processEvents();
        parent.paints = 0;
    }
    int RepaintsAfterEvents() {
        QCoreApplication::processEvents();
        return parent.paints;
    }

    QImage skin = Skin();
    ProbeParent parent;
    std::unique_ptr<CTranslucentButton> button;
};

TEST_F(TranslucentButtonTest, PressAndReleaseInsideNotifiesTheParentOnce) {
    Enter(button.get());
    Press(button.get(), {5, 5});
    EXPECT_EQ(button->CurrentCell(), kCells.pressed);
    Release(button.get(), {6, 6});
    ASSERT_EQ(parent.notifications.size(), 1u);
    EXPECT_EQ(parent.notifications[0].code, 0x807B);
    EXPECT_EQ(parent.notifications[0].idFrom, 7);
    EXPECT_EQ(parent.notifications[0].from, button.get());
    EXPECT_EQ(button->CurrentCell(), kCells.hover) << "still under the pointer";
    EXPECT_FALSE(button->IsChecked()) << "a push button is never checked";
}

TEST_F(TranslucentButtonTest, DraggingOffBeforeReleasingCancelsTheClick) {
    Enter(button.get());
    Press(button.get(), {5, 5});
    Move(button.get(), {60, 5});
    EXPECT_EQ(button->CurrentCell(), kCells.normal) << "pressed look only while over the button";
    Move(button.get(), {5, 5});
    EXPECT_EQ(button->CurrentCell(), kCells.pressed);
    Release(button.get(), {5, 45});
    EXPECT_TRUE(parent.notifications.empty());
    EXPECT_FALSE(button->IsHovered());
    EXPECT_FALSE(button->IsPressed());
    EXPECT_EQ(button->CurrentCell(), kCells.normal);
}

TEST_F(TranslucentButtonTest, LookFollowsHoverAndDisabledAndRepaintsOnlyOnChange) {
    EXPECT_EQ(button->CurrentCell(), kCells.normal);
    Enter(button.get());
    EXPECT_EQ(button->CurrentCell(), kCells.hover);
    EXPECT_GE(RepaintsAfterEvents(), 1);
    Settle();
    Enter(button.get());
    EXPECT_EQ(RepaintsAfterEvents(), 0) << "the same look again costs no repaint";
    Leave(button.get());
    EXPECT_EQ(button->CurrentCell(), kCells.normal);

    button->setEnabled(false);
    EXPECT_EQ(button->CurrentCell(), kCells.disabled);
    Enter(button.get());
    EXPECT_FALSE(button->IsHovered()) << "a disabled button ignores the pointer";
    Press(button.get(), {5, 5});
    Release(button.get(), {5, 5});
    EXPECT_TRUE(parent.notifications.empty()) << "a disabled button gets no clicks";
    button->setEnabled(true);
    EXPECT_EQ(button->CurrentCell(), kCells.normal);
}

TEST_F(TranslucentButtonTest, HoverCellEqualToNormalCellDoesNotRepaintTheParent) {
    ButtonCells same = kCells;
    same.hover = same.normal;
    auto plain = CreateTranslucentButton(QRect(100, 30, 40, 20), 8, &skin, same, &parent);
    Settle();
    Enter(plain.get());
    EXPECT_TRUE(plain->IsHovered());
    EXPECT_EQ(RepaintsAfterEvents(), 0);
}

TEST_F(TranslucentButtonTest, DrawOnScalesTheCurrentCellIntoTheButtonRectangle) {
    QImage surface(200, 100, QImage::Format_ARGB32);
    surface.fill(Qt::black);
    {
        QPainter p(&surface);
        button->DrawOn(p);
    }
    EXPECT_EQ(surface.pixel(20, 30), 0xFFFF0000u);
    EXPECT_EQ(surface.pixel(59, 49), 0xFFFF0000u);
    EXPECT_EQ(surface.pixel(60, 49), 0xFF000000u);
    EXPECT_EQ(surface.pixel(19, 30), 0xFF000000u);

    button->hide();
    surface.fill(Qt::black);
    {
        QPainter p(&surface);
        button->DrawOn(p);
    }
    EXPECT_EQ(surface.pixel(30, 40), 0xFF000000u) << "a hidden button draws nothing";
}

TEST_F(TranslucentButtonTest, ButtonWithoutTextureDrawsNothing) {
    auto bare = CreateTranslucentButton(QRect(20, 30, 40, 20), 9, nullptr, kCells, &parent);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->CurrentTexture(), nullptr);
    QImage surface(200, 100, QImage::Format_ARGB32);
    surface.fill(Qt::black);
    QPainter p(&surface);
    bare->DrawOn(p);
    p.end();
    EXPECT_EQ(surface.pixel(30, 40), 0xFF000000u);
}

TEST_F(TranslucentButtonTest, CheckBoxStylesToggleTheCheckFlag) {
    button->SetButtonStyle(CTranslucentButton::kAutoCheckBox);
    Press(button.get(), {5, 5});
    Release(button.get(), {5, 5});
    EXPECT_TRUE(button->IsChecked());
    Press(button.get(), {5, 5});
    Release(button.get(), {5, 5});
    EXPECT_FALSE(button->IsChecked());
    EXPECT_EQ(parent.notifications.size(), 2u);
}

TEST_F(TranslucentButtonTest, ParentMayDeleteTheButtonWhileHandlingItsClick) {
    parent.deleteOnNotify = &button;
    Press(button.get(), {5, 5});
    CTranslucentButton* raw = button.get();
    Release(raw, {5, 5});
    EXPECT_EQ(button, nullptr);
    EXPECT_EQ(parent.notifications.size(), 1u);
}

TEST(TranslucentStatic, DrawsItsTextAndGreysWhenDisabled) {
    ProbeParent parent;
    CTranslucentStatic text(QColor(0x12, 0x34, 0x56));
    ASSERT_TRUE(text.Create(QRect(10, 10, 100, 10), -1, &parent));
    text.SetText(QStringLiteral("Not logged in"));
    EXPECT_EQ(text.LayoutRect(), QRectF(10, 10, 100, 10));

    QImage surface(200, 40, QImage::Format_ARGB32);
    surface.fill(Qt::black);
    {
        QPainter p(&surface);
        text.DrawOn(p);
    }
    int inked = 0;
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 200; ++x) {
            if (surface.pixel(x, y) != 0xFF000000u) {
                ++inked;
                EXPECT_GE(x, 10) << "text starts at the layout rectangle's left";
            }
        }
    }
    EXPECT_GT(inked, 30);

    text.setEnabled(false);
    EXPECT_EQ(text.BrushColour(), QColor(0x80, 0x80, 0x80));
    text.setEnabled(true);
    EXPECT_EQ(text.BrushColour(), QColor(0xFF, 0xFF, 0xFF)) << "white, not the first colour";
}

class TranslucentLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        parent.resize(400, 60);
        ASSERT_TRUE(link.Create(QRect(255, 40, 100, 15), 1013, &parent));
        link.SetText(QStringLiteral("Login"));
        link.show();
    }
    void Draw() {
        QImage surface(400, 60, QImage::Format_ARGB32);
        QPainter p(&surface);
        link.DrawOn(p);
    }
    // The advance width the link font gives `text`; the measured box may round up a pixel.
    int TextWidth(const QString& text) const {
        return static_cast<int>(QFontMetricsF(link.TextFont()).horizontalAdvance(text));
    }

    ProbeParent parent;
    CTranslucentStaticLink link;
};

TEST_F(TranslucentLinkTest, FitsItselfToItsTextAtTheNextDrawing) {
    EXPECT_EQ(link.geometry(), QRect(255, 40, 100, 15)) << "until first drawn";
    Draw();
    EXPECT_FALSE(link.NeedsMeasuring());
    EXPECT_EQ(link.geometry().topLeft(), QPoint(255, 40));
    EXPECT_NEAR(link.width(), TextWidth(QStringLiteral("Login")), 1);
    EXPECT_GT(link.height(), 5);
    const int loginWidth = link.width();

    link.SetText(QStringLiteral("Logout"));
    EXPECT_TRUE(link.NeedsMeasuring());
    EXPECT_EQ(link.width(), loginWidth) << "resized only when drawn";
    Draw();
    const int logoutWidth = TextWidth(QStringLiteral("Logout"));
    EXPECT_NEAR(link.width(), logoutWidth, 1);
    ASSERT_GT(link.width(), loginWidth + 2);

    // Back to the shorter text: a point just right of "Login" is no longer on the link.
    const QPoint justRightOfLogin(255 + loginWidth + 1, 45);
    EXPECT_EQ(parent.childAt(justRightOfLogin), &link);
    link.SetText(QStringLiteral("Login"));
    Draw();
    EXPECT_EQ(parent.childAt(justRightOfLogin), nullptr);
    EXPECT_EQ(parent.childAt(QPoint(257, 45)), &link);
}

TEST_F(TranslucentLinkTest, ClickInsideSendsTheCommandAndReleaseOutsideDoesNot) {
    Draw();
    Press(&link, {2, 2});
    Release(&link, {2, 2});
    ASSERT_EQ(parent.commands, std::vector<int>{1013});

    Press(&link, {2, 2});
    Release(&link, {link.width() + 5, 2});
    EXPECT_EQ(parent.commands.size(), 1u);

    Release(&link, {2, 2});
    EXPECT_EQ(parent.commands.size(), 1u) << "a release without a press is no click";
}

TEST_F(TranslucentLinkTest, ColoursFollowTheEnabledState) {
    EXPECT_EQ(link.BrushColour(), QColor(0x7E, 0xAD, 0xC0));
    EXPECT_TRUE(link.TextFont().underline());
    link.setEnabled(false);
    EXPECT_EQ(link.BrushColour(), QColor(0x80, 0x80, 0x80));
    link.setEnabled(true);
    EXPECT_EQ(link.BrushColour(), QColor(0x7E, 0xAD, 0xC0));
}

}  // namespace
