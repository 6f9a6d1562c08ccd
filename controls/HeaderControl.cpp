#include "controls/HeaderControl.h"

#include <QMetaObject>
#include <QPainter>

#include "controls/CTranslucentButton.h"
#include "controls/CTranslucentStatic.h"
#include "controls/CTranslucentStaticLink.h"
#include "res/ImageResources.h"

namespace {

// The version resource's form; shown with points, as the log's header shows it.
constexpr char kVersionResource[] = "0,9,0,1336";

const QString kNotLoggedIn = QStringLiteral("Not logged in");
const QString kLogin = QStringLiteral("Login");
const QString kLogout = QStringLiteral("Logout");

const QRect kPictureRect(230, 30, 20, 20);
const QRect kKeyCell(0, 66, 20, 20);

QRect ButtonRect(int x, int width) {
    return QRect(x, 30, width, 20);
}

ButtonCells Cells(SkinCell normal, SkinCell hover, SkinCell pressed, SkinCell disabled) {
    return ButtonCells{normal, hover, pressed, disabled};
}

}  // namespace

HeaderControl::HeaderControl()
    : logo_(LoadImageResource(kWordMark)), defaultPicture_(LoadImageResource(kDefaultUserPicture)) {
    versionFont_ = QFont(QStringLiteral("Tahoma"));
    versionFont_.setStyleHint(QFont::SansSerif);
    versionFont_.setPointSizeF(7.0);
    versionFont_.setBold(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

// The children go first, while this widget still exists as their parent.
HeaderControl::~HeaderControl() = default;

QString HeaderControl::VersionText() {
    return QString::fromLatin1(kVersionResource).replace(QLatin1Char(','), QLatin1Char('.'));
}

bool HeaderControl::Create(QWidget* dialog, HeaderCommandSink* commands, const QImage* skin,
                           const QImage* atlas, const QRect& rect) {
    skin_ = skin;
    atlas_ = atlas;
    commands_ = commands;
    if (dialog != nullptr) {
        setParent(dialog);
    }
    setGeometry(rect);
    setCursor(Qt::ArrowCursor);
    // Every move over the header repaints it.
    setMouseTracking(true);

    resume_ = CreateTranslucentButton(
        ButtonRect(5, 64), kResumeId, skin_,
        Cells({0, 0, 64, 20}, {0, 20, 64, 20}, {0, 20, 64, 20}, {0, 40, 64, 20}), this);
    pause_ = CreateTranslucentButton(
        ButtonRect(69, 50), kPauseId, skin_,
        Cells({64, 0, 50, 20}, {64, 20, 50, 20}, {64, 20, 50, 20}, {64, 40, 50, 20}), this);
    options_ = CreateTranslucentButton(
        ButtonRect(130, 64), kOptionsId, skin_,
        Cells({0, 82, 64, 20}, {0, 102, 64, 20}, {0, 102, 64, 20}, {0, 102, 64, 20}), this);

    userNameText_ = std::make_unique<CTranslucentStatic>(QColor(0xFF, 0xFF, 0xFF));
    userNameText_->Create(QRect(255, 28, 100, 10), -1, this);
    userNameText_->SetText(kNotLoggedIn);
    userNameText_->show();

    loginLink_ = std::make_unique<CTranslucentStaticLink>();
    loginLink_->Create(QRect(255, 40, 100, 15), kLoginLinkId, this);
    loginLink_->SetText(kLogin);
    loginLink_->show();

    show();
    update();
    return resume_ && pause_ && options_;
}

void HeaderControl::SetUser(const std::u16string& picturePath, const std::u16string& userName) {
    if (!picturePath.empty()) {
        // A file that cannot be read gives a null image: nothing is drawn over the grey square.
        userPicture_ = QImage(QString::fromStdU16String(picturePath));
    } else {
        userPicture_ = defaultPicture_;
    }
    userName_ = userName;
    if (userNameText_) {
        userNameText_->SetText(QString::fromStdU16String(userName));
    }
    update();
}

void HeaderControl::SetLoginState(LoginState state, bool reset) {
    if (!resume_ || !pause_ || !loginLink_ || !userNameText_) {
        return;
    }
    switch (state) {
        case LoginState::Offline:
        case LoginState::SignedOut:
            resume_->setEnabled(false);
            pause_->setEnabled(false);
            if (reset) {
                loginLink_->SetText(kLogin);
                userNameText_->SetText(kNotLoggedIn);
                userName_.clear();
                userPicture_.reset();
            }
            break;
        case LoginState::Paused:
            resume_->setEnabled(true);
            pause_->setEnabled(false);
            break;
        case LoginState::SignedIn:
            resume_->setEnabled(false);
            pause_->setEnabled(true);
            loginLink_->SetText(kLogout);
            break;
        default:
            return;
    }
    update();
}

void HeaderControl::ShowSignedIn(bool signedIn) {
    if (!loginLink_) {
        return;
    }
    loginLink_->SetText(signedIn ? kLogout : kLogin);
    update();
}

QImage HeaderControl::Render() {
    if (width() <= 0 || height() <= 0) {
        return {};
    }
    const qreal ratio = devicePixelRatioF();
    QImage image(size() * ratio, QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(rect(), background_);
    p.drawImage(QPoint(5, 5), logo_);
    for (CTranslucentButton* button : {resume_.get(), pause_.get(), options_.get()}) {
        if (button != nullptr) {
            button->DrawOn(p);
        }
    }

    p.fillRect(kPictureRect, pictureBackground_);
    if (userPicture_) {
        // The whole picture goes into the square: the default picture is 49 x 49, but the
        // store's avatars may be any size, and cutting out their top-left 49 x 49 pixels would
        // show a corner of the face. Scaled down smoothly.
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(kPictureRect, *userPicture_, userPicture_->rect());
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    } else if (atlas_ != nullptr) {
        p.drawImage(kPictureRect, *atlas_, kKeyCell);
    }
    p.setPen(QPen(pictureFrame_, 1.0));
    p.setBrush(Qt::NoBrush);
    // Without anti-aliasing a one-pixel outline of a whole-pixel rectangle covers its left and
    // right columns 229 and 251 (and rows 29 and 51).
    p.drawRect(QRect(229, 29, 22, 22));

    p.setRenderHint(QPainter::TextAntialiasing);
    if (userNameText_) {
        userNameText_->DrawOn(p);
    }
    if (loginLink_) {
        loginLink_->DrawOn(p);
    }
    p.setFont(versionFont_);
    p.setPen(versionColour_);
    p.drawText(QRectF(306, 4, 100, 20),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip,
               VersionText());
    return image;
}

void HeaderControl::paintEvent(QPaintEvent*) {
    const QImage frame = Render();
    QPainter(this).drawImage(0, 0, frame);
}

void HeaderControl::mouseMoveEvent(QMouseEvent* event) {
    update();
    QWidget::mouseMoveEvent(event);
}

void HeaderControl::OnTranslucentNotify(const TranslucentNotification& notification) {
    if (notification.code != NM_TRANSLUCENT_CLICK) {
        return;
    }
    switch (notification.idFrom) {
        case kResumeId:
            PostCommand(ID_RESUME_ALL);
            break;
        case kPauseId:
            PostCommand(ID_PAUSE_ALL);
            break;
        case kOptionsId:
            PostCommand(ID_SETTINGS);
            break;
        default:
            break;
    }
}

void HeaderControl::OnTranslucentCommand(int controlId) {
    if (controlId == kLoginLinkId && commands_ != nullptr) {
        commands_->OnHeaderCommand(ID_LOGIN_LOGOUT);
    }
}

void HeaderControl::PostCommand(int commandId) {
    if (commands_ == nullptr) {
        return;
    }
    // Posted, as a window message would be: the main window acts after the click has finished.
    // Queued on this widget, so a header destroyed meanwhile drops the command.
    QMetaObject::invokeMethod(
        this, [this, commandId] { commands_->OnHeaderCommand(commandId); }, Qt::QueuedConnection);
}
