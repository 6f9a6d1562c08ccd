#pragma once
// The main window's notification-area icon: shown only while the window is hidden in it, with the
// online or offline icon and tooltip, the "ready to install" balloon, and the menu with its seven
// entries. Menu choices, double-clicks and balloon clicks go to the window (TrayCommandSink).
// Where the desktop has no notification area the icon is never shown; the state is kept all the
// same (the window minimises instead of hiding, see CVelkDownloaderDlg), and a balloon asks the
// desktop to draw attention to the window. UI thread only.
#include <QIcon>
#include <QMenu>
#include <QString>
#include <memory>

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
    virtual void OnTrayCommand(int commandId) = 0;
    // A double-click on the icon.
    virtual void OnTrayDoubleClick() = 0;
    // A right click on the icon: the window runs the menu (RunMenu) with its own state.
    virtual void OnTrayMenuRequested() = 0;
    virtual void OnBalloonClicked() = 0;
};

class WindowTray {
public:
    static constexpr int kBalloonTitleCharacters = 63;

    // `window` is the main window, which gets the desktop's attention for a balloon when there is
    // no notification area.
    WindowTray(TrayCommandSink& sink, QWidget* window, QIcon onlineIcon, QIcon offlineIcon);
    ~WindowTray();
    WindowTray(const WindowTray&) = delete;
    WindowTray& operator=(const WindowTray&) = delete;

    // Whether the desktop has a notification area to show the icon in.
    static bool Available();

    // Puts the icon in place with the icon and tooltip for `online`.
    void Show(bool online);
    void Hide();
    // Icon and tooltip for `online`, only while shown.
    void Update(bool online);
    // "Downloaded and ready to install" titled with the game's title (cut to 63 characters, then
    // made inert to markup: see InertToMarkup), only while shown.
    void ShowBalloon(const QString& gameTitle, bool online);

    // The menu as the right button shows it, "&Run at startup" checked as given.
    std::unique_ptr<QMenu> BuildMenu(bool runAtStartup);
    // What a right click does: builds the menu, runs it at the cursor and passes the chosen
    // command on.
    void RunMenu(bool runAtStartup);

    bool Shown() const { return shown_; }
    bool ShowsOnline() const { return online_; }
    QString ToolTip() const;
    QString LastBalloonTitle() const { return balloonTitle_; }
    QString LastBalloonText() const { return balloonText_; }
    int BalloonCount() const { return balloonCount_; }

private:
    TrayCommandSink& sink_;
    QWidget* window_;
    QIcon onlineIcon_;
    QIcon offlineIcon_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    bool shown_ = false;
    bool online_ = false;
    QString balloonTitle_;
    QString balloonText_;
    int balloonCount_ = 0;
};
