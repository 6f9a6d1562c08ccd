#include "ui/WindowTray.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QSystemTrayIcon>
#include <QWidget>

#include "ui/QtText.h"

namespace {

const QString kOnlineToolTip = QStringLiteral("Velkora Downloader (Online)");
const QString kOfflineToolTip = QStringLiteral("Velkora Downloader (Offline)");
const QString kReadyText = QStringLiteral("Downloaded and ready to install");

}  // namespace

WindowTray::WindowTray(TrayCommandSink& sink, QWidget* window, QIcon onlineIcon, QIcon offlineIcon)
    : sink_(sink),
      window_(window),
      onlineIcon_(std::move(onlineIcon)),
      offlineIcon_(std::move(offlineIcon)) {}

WindowTray::~WindowTray() = default;

bool WindowTray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString WindowTray::ToolTip() const {
    return online_ ? kOnlineToolTip : kOfflineToolTip;
}

void WindowTray::Show(bool online) {
    online_ = online;
    shown_ = true;
    if (!Available()) {
        return;
    }
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>();
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::DoubleClick) {
                                 sink_.OnTrayDoubleClick();
                             } else if (reason == QSystemTrayIcon::Context) {
                                 sink_.OnTrayMenuRequested();
                             }
                         });
        QObject::connect(icon_.get(), &QSystemTrayIcon::messageClicked, icon_.get(),
                         [this] { sink_.OnBalloonClicked(); });
    }
    icon_->setIcon(online ? onlineIcon_ : offlineIcon_);
    icon_->setToolTip(ToolTip());
    icon_->show();
}

void WindowTray::Hide() {
    shown_ = false;
    if (icon_) {
        icon_->hide();
    }
}

void WindowTray::Update(bool online) {
    if (!shown_) {
        return;
    }
    online_ = online;
    if (icon_) {
        icon_->setIcon(online ? onlineIcon_ : offlineIcon_);
        icon_->setToolTip(ToolTip());
    }
}

void WindowTray::ShowBalloon(const QString& gameTitle, bool online) {
    if (!shown_) {
        return;
    }
    Update(online);
    balloonTitle_ = InertToMarkup(gameTitle.left(kBalloonTitleCharacters));
    balloonText_ = kReadyText;
    ++balloonCount_;
    if (icon_) {
        icon_->showMessage(balloonTitle_, balloonText_, QSystemTrayIcon::Information);
    } else if (window_ != nullptr) {
        QApplication::alert(window_);
    }
}

std::unique_ptr<QMenu> WindowTray::BuildMenu(bool runAtStartup) {
    auto menu = std::make_unique<QMenu>();
    auto add = [&menu](const QString& text, int id) {
        QAction* action = menu->addAction(text);
        action->setData(id);
        return action;
    };
    QAction* run = add(QStringLiteral("&Run at startup"), ID_TRAY_RUN_AT_STARTUP);
    run->setCheckable(true);
    run->setChecked(runAtStartup);
    menu->addSeparator();
    add(QStringLiteral("&Open Downloader"), ID_TRAY_OPEN);
    menu->addSeparator();
    add(QStringLiteral("Check for updates"), ID_TRAY_CHECK_UPDATES);
    add(QStringLiteral("Help"), ID_TRAY_HELP);
    add(QStringLiteral("About"), ID_TRAY_ABOUT);
    menu->addSeparator();
    add(QStringLiteral("Quit"), ID_TRAY_QUIT);
    return menu;
}

void WindowTray::RunMenu(bool runAtStartup) {
    std::unique_ptr<QMenu> menu = BuildMenu(runAtStartup);
    // Runs its own loop; the choice is acted on once the menu is gone.
    const QAction* chosen = menu->exec(QCursor::pos());
    if (chosen != nullptr) {
        const int id = chosen->data().toInt();
        menu.reset();
        sink_.OnTrayCommand(id);
    }
}
