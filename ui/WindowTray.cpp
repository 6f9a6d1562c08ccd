#include "ui/WindowTray.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMetaObject>
#include <QSystemTrayIcon>
#include <QWidget>

#include "ui/QtText.h"

namespace {

const QString kOnlineToolTip = QStringLiteral("Velkora Downloader (Online)");
const QString kOfflineToolTip = QStringLiteral("Velkora Downloader (Offline)");
const QString kReadyText = QStringLiteral("Downloaded and ready to install");

// How long the one question to a StatusNotifier watcher may take; an answer is immediate on a
// working desktop, and nobody owning the name is an immediate error from the bus.
constexpr int kWatcherQueryTimeoutMs = 1000;

// The question Qt asks before it puts a tray icon on the bus instead of the XEmbed tray: a
// watcher is there and has a host (a panel that draws the icons) registered.
bool AskStatusNotifierHost() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kWatcherQueryTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return false;
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

}  // namespace

void AddTrayMenuEntries(QMenu& menu, bool runAtStartup, bool withOpenEntry, bool showQuitShortcut) {
    auto add = [&menu](const QString& text, int id) {
        QAction* action = menu.addAction(text);
        action->setData(id);
        return action;
    };
    QAction* run = add(QStringLiteral("&Run at startup"), ID_TRAY_RUN_AT_STARTUP);
    run->setCheckable(true);
    run->setChecked(runAtStartup);
    menu.addSeparator();
    if (withOpenEntry) {
        add(QStringLiteral("&Open Downloader"), ID_TRAY_OPEN);
        menu.addSeparator();
    }
    add(QStringLiteral("Check for updates"), ID_TRAY_CHECK_UPDATES);
    add(QStringLiteral("Help"), ID_TRAY_HELP);
    add(QStringLiteral("About"), ID_TRAY_ABOUT);
    menu.addSeparator();
    QAction* quit = add(QStringLiteral("Quit"), ID_TRAY_QUIT);
    if (showQuitShortcut) {
        // Shown beside the entry; the window's own action takes the key (the menu's copy is
        // limited to the open menu, where choosing it does the same).
        quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        quit->setShortcutContext(Qt::WidgetShortcut);
    }
}

WindowTray::WindowTray(TrayCommandSink& sink, QWidget* window, QIcon onlineIcon, QIcon offlineIcon)
    : sink_(sink),
      window_(window),
      onlineIcon_(std::move(onlineIcon)),
      offlineIcon_(std::move(offlineIcon)),
      menu_(BuildMenu(false)) {
    QMenu* menu = menu_.get();
    // Whoever shows the menu (Qt under the XEmbed tray, a StatusNotifier host through the menu
    // Qt exports) shows the stored state of the day.
    QObject::connect(menu, &QMenu::aboutToShow, menu, [this, menu] {
        for (QAction* action : menu->actions()) {
            if (action->data().toInt() == ID_TRAY_RUN_AT_STARTUP) {
                action->setChecked(sink_.TrayRunAtStartupChecked());
            }
        }
    });
    // Each entry's own signal: every way of choosing one (Qt's popup under the XEmbed tray, a
    // StatusNotifier host through the exported menu) ends in the action being triggered. Acted on
    // once the menu is gone: "Quit" and "&Open Downloader" change what shows it.
    for (QAction* action : menu->actions()) {
        const int id = action->data().toInt();
        if (id == 0) {
            continue;
        }
        QObject::connect(action, &QAction::triggered, menu, [this, menu, id] {
            QMetaObject::invokeMethod(
                menu, [this, id] { sink_.OnTrayCommand(id); }, Qt::QueuedConnection);
        });
    }
}

WindowTray::~WindowTray() = default;

bool WindowTray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool WindowTray::UsesStatusNotifier() {
    static const bool uses = AskStatusNotifierHost();
    return uses;
}

QString WindowTray::ToolTip() const {
    return online_ ? kOnlineToolTip : kOfflineToolTip;
}

void WindowTray::OnActivated(int reason) {
    if (reason == QSystemTrayIcon::DoubleClick) {
        sink_.OnTrayActivated();
    } else if (reason == QSystemTrayIcon::Trigger && UsesStatusNotifier()) {
        // A StatusNotifier host reports a click as an activation and never a double-click. On
        // the XEmbed tray a single click also comes as Trigger, and there it does nothing.
        sink_.OnTrayActivated();
    }
    // Context: the icon shows its own menu.
}

void WindowTray::Show(bool online) {
    online_ = online;
    shown_ = true;
    // Made even where no notification area exists yet, on X: Qt embeds a visible icon in a tray
    // that turns up later (a panel that starts after us). Elsewhere nothing could ever show it.
    if (!icon_ && (Available() || QGuiApplication::platformName() == QStringLiteral("xcb"))) {
        UsesStatusNotifier();
        icon_ = std::make_unique<QSystemTrayIcon>();
        icon_->setContextMenu(menu_.get());
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
        QObject::connect(icon_.get(), &QSystemTrayIcon::messageClicked, icon_.get(),
                         [this] { sink_.OnBalloonClicked(); });
    }
    if (icon_) {
        icon_->setIcon(online ? onlineIcon_ : offlineIcon_);
        icon_->setToolTip(ToolTip());
        icon_->show();
    }
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
    if (icon_ && Available()) {
        icon_->showMessage(balloonTitle_, balloonText_, QSystemTrayIcon::Information);
        return;
    }
    if (!notifications_) {
        DesktopNotifications::Handlers handlers;
        handlers.activated = [this] { sink_.OnBalloonClicked(); };
        handlers.failed = [this] { Alert(); };
        notifications_ = std::make_unique<DesktopNotifications>(std::move(handlers));
    }
    ++notificationCount_;
    notifications_->Show(balloonTitle_, balloonText_);
}

void WindowTray::Alert() {
    ++alertCount_;
    if (window_ != nullptr) {
        QApplication::alert(window_);
    }
}

std::unique_ptr<QMenu> WindowTray::BuildMenu(bool runAtStartup) {
    auto menu = std::make_unique<QMenu>();
    AddTrayMenuEntries(*menu, runAtStartup, true, false);
    return menu;
}
