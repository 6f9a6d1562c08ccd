#pragma once
// The main window's notification-area icon: shown only while the window is hidden in it, with the
// online or offline icon and tooltip, the "ready to install" message, and the icon's own menu with
// its seven entries. Menu choices, activations and clicks on the message go to the window
// (TrayCommandSink).
// The icon works with both kinds of notification area Qt draws on: the classic XEmbed tray (a
// double-click restores) and a StatusNotifier host on the session bus (KDE Plasma, GNOME with the
// AppIndicator extension: one activation restores; the host shows the menu Qt exports over D-Bus).
// Where the desktop has no notification area the state is kept all the same (the window minimises
// instead of hiding, see CVelkDownloaderDlg), the icon waits for a tray that may still come, and
// the message goes to the desktop's notification service, or, failing that, asks the desktop to
// draw attention to the window. UI thread only.
#include <QIcon>
#include <QMenu>
#include <QString>
#include <memory>

#include "ui/DesktopNotifications.h"

class QSystemTrayIcon;
class QWidget;

// The menu's command ids.
enum TrayCommand : int {
    ID_TRAY_RUN_AT_STARTUP = 33324,
    ID_TRAY_OPEN = 33325,
    ID_TRAY_CHECK_UPDATES = 33326,
    ID_TRAY_HELP = 33327,
    ID_TRAY_ABOUT = 33328,
    ID_TRAY_QUIT = 33329,
};

class TrayCommandSink {
public:
    virtual ~TrayCommandSink() = default;
    // A menu entry was chosen; called once the menu has closed.
    virtual void OnTrayCommand(int commandId) = 0;
    // The icon was activated the desktop's way: a double-click on a classic tray, one click (or
    // the host's "activate") on a StatusNotifier tray.
    virtual void OnTrayActivated() = 0;
    // Whether "&Run at startup" shows checked, asked each time the menu opens.
    virtual bool TrayRunAtStartupChecked() const = 0;
    // The ready message (the tray's balloon or the desktop notification) was clicked.
    virtual void OnBalloonClicked() = 0;
};

// The tray menu's entries, as the tray shows them, added to `menu`: "&Run at startup" checked as
// given; "&Open Downloader" only with `withOpenEntry` (pointless in the window's own menu);
// "Quit" shows Ctrl+Q with `showQuitShortcut` (where the window takes that key).
void AddTrayMenuEntries(QMenu& menu, bool runAtStartup, bool withOpenEntry, bool showQuitShortcut);

class WindowTray {
public:
    static constexpr int kBalloonTitleCharacters = 63;

    // `window` is the main window, which gets the desktop's attention for the ready message
    // when neither a notification area nor a notification service can show it.
    WindowTray(TrayCommandSink& sink, QWidget* window, QIcon onlineIcon, QIcon offlineIcon);
    ~WindowTray();
    WindowTray(const WindowTray&) = delete;
    WindowTray& operator=(const WindowTray&) = delete;

    // Whether the desktop has a notification area to show the icon in.
    static bool Available();
    // Whether Qt shows the icon through a StatusNotifier host rather than the XEmbed tray. Asked
    // of the session bus once, as Qt does, the first time an icon is made.
    static bool UsesStatusNotifier();

    // Puts the icon in place with the icon and tooltip for `online`.
    void Show(bool online);
    void Hide();
    // Icon and tooltip for `online`, only while shown.
    void Update(bool online);
    // "Downloaded and ready to install" titled with the game's title (cut to 63 characters, then
    // made inert to markup: see InertToMarkup), only while shown: the tray's balloon where there
    // is a notification area, otherwise a desktop notification.
    void ShowBalloon(const QString& gameTitle, bool online);

    // The menu as the icon shows it, "&Run at startup" checked as given.
    std::unique_ptr<QMenu> BuildMenu(bool runAtStartup);
    // The icon's own menu (the one a StatusNotifier host shows), kept for the icon's life.
    QMenu& ContextMenu() { return *menu_; }

    bool Shown() const { return shown_; }
    bool ShowsOnline() const { return online_; }
    QString ToolTip() const;
    QString LastBalloonTitle() const { return balloonTitle_; }
    QString LastBalloonText() const { return balloonText_; }
    int BalloonCount() const { return balloonCount_; }
    // Ready messages sent to the desktop's notification service, and those that reached no one.
    int NotificationCount() const { return notificationCount_; }
    int AlertCount() const { return alertCount_; }

private:
    void OnActivated(int reason);
    void Alert();

    TrayCommandSink& sink_;
    QWidget* window_;
    QIcon onlineIcon_;
    QIcon offlineIcon_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    // Made the first time a message needs it: a desktop with a tray never talks to the service.
    std::unique_ptr<DesktopNotifications> notifications_;
    bool shown_ = false;
    bool online_ = false;
    QString balloonTitle_;
    QString balloonText_;
    int balloonCount_ = 0;
    int notificationCount_ = 0;
    int alertCount_ = 0;
};
