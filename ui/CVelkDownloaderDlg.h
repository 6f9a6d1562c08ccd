#pragma once
// CVelkDownloaderDlg: the program's main window. It builds the header, the progress list and the
// status bar, owns the working parts (ProgramCore: both engines, the loader, the speed meter and
// the item lifecycle) and is the lifecycle's user interface: message boxes, the login and
// settings dialogs, the tray icon, the header's buttons and the status bar. Engine threads post
// their messages to it (MessageTarget); it hands each to the lifecycle on the UI thread.
// Closing the window only hides it in the tray (or minimises it where the desktop has no tray);
// "Quit" (the tray menu, the window's own menu, Ctrl+Q) stops the engines in order and ends the
// program.
// UI thread only, except Post, which any thread may call while the window exists.
#include <QAction>
#include <QIcon>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/LifecycleServices.h"
#include "app/RowView.h"
#include "controls/HeaderControl.h"
#include "core/AppEvent.h"
#include "engine/DownloadsManager.h"
#include "platform/Event.h"
#include "platform/Registry.h"
#include "ui/CSettingsDlg.h"
#include "ui/WindowTray.h"

class CVelkDownloaderApp;
class DesktopLauncher;
class ProgramCore;
class ProgressListView;
class StatusControl;

// The system menu's about entry.
inline constexpr int IDM_ABOUTBOX = 16;

class CVelkDownloaderDlg final : public QWidget,
                                 public MessageTarget,
                                 public LifecycleUi,
                                 public HeaderCommandSink,
                                 public TrayCommandSink,
                                 public RowCommandSink {
public:
    struct Services {
        Services(CVelkDownloaderApp& application, std::shared_ptr<Registry> settingsStore,
                 DesktopLauncher& desktop)
            : app(application), registry(std::move(settingsStore)), launcher(desktop) {}

        // Settings, folders and the hand-off receiver; must outlive the window.
        CVelkDownloaderApp& app;
        std::shared_ptr<Registry> registry;
        DesktopLauncher& launcher;
        FolderChooser chooseFolder = ChooseFolderWithDesktopDialog;
        // Called once the quit order has run; ends the program's event loop.
        std::function<void()> onQuit;
        // The engine's options; the connection count is taken from the application.
        DownloadsManagerOptions engine;
    };

    CVelkDownloaderDlg(Services services, std::u16string commandLine);
    ~CVelkDownloaderDlg() override;

    // The window's start: children, stored records, the engines' threads, the store connection
    // with the stored token, the hand-off listener, then the command line (a game to add, or
    // "/minimized"). Shows the window unless it started in the tray. False when the store
    // connection could not start (its address does not parse); the rest runs all the same.
    bool Initialise();

    // Commands, as the header, the tray menu and the system menu give them.
    void PauseAll();
    void ResumeAll();
    void SettingsCommand();
    void LoginLogoutCommand();
    void AboutBox();
    void HideToTray();
    void RestoreFromTray();
    // Stops the engines in order, each to its end, then ends the program (onQuit). A dialog that
    // is open is closed first.
    void Quit();
    // The hand-off listener said a second start left its command line.
    void OnHandOffMessage();

    // MessageTarget: any thread.
    void Post(AppEvent event) override;

    // LifecycleUi.
    Answer AskUser(AskStyle style, const std::u16string& text) override;
    void OpenUrl(const std::u16string& url) override;
    void RunInstaller(const std::u16string& path) override;
    void ShowReadyBalloon(const std::u16string& title) override;
    void UpdateTrayIcon(bool online) override;
    void SetStatusMode(StatusMode mode) override;
    void SetSpeed(uint32_t kilobytesPerSecond) override;
    void SetHeaderMode(HeaderMode mode, bool signedIn) override;
    void SetLoginLinkEnabled(bool enabled) override;
    void SetUser(const std::u16string& picturePath, const std::u16string& userName) override;
    bool ShowLoginDialog(std::u16string& email, std::u16string& password) override;

    // HeaderCommandSink.
    void OnHeaderCommand(int commandId) override;
    // TrayCommandSink.
    void OnTrayCommand(int commandId) override;
    void OnTrayActivated() override;
    bool TrayRunAtStartupChecked() const override { return runAtStartup_; }
    void OnBalloonClicked() override;
    // RowCommandSink: the list's commands go to the lifecycle.
    void OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) override;
    void OnRowOrderChanged() override;

    // The window menu (the right button on the header or the status bar): the about box, then
    // the tray menu's entries but "&Open Downloader", so that Quit and the rest are in reach on
    // every desktop, with a notification area or without.
    std::unique_ptr<QMenu> BuildWindowMenu();
    void OnWindowMenuCommand(int commandId);
    // Ctrl+Q, while the window is the active one: the same quit as the menus'.
    QAction* QuitAction() const { return quitAction_; }

    ProgramCore& Core() { return *core_; }
    HeaderControl* Header() const { return header_; }
    ProgressListView* List() const { return list_; }
    StatusControl* Status() const { return status_; }
    WindowTray& Tray() { return tray_; }
    bool RunAtStartup() const { return runAtStartup_; }
    bool HiddenInTray() const { return hiddenInTray_; }
    bool Quitting() const { return quitting_; }
    // Taken (auto reset) while a message box or the settings dialog is open.
    Event& ModalUiToken() { return modalUiToken_; }

    void setVisible(bool visible) override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceChildren();
    bool OnlineAndSignedIn() const;
    void ApplySettings(const SettingsRecord& record);
    void CheckTrayStillThere();

    Services services_;
    std::u16string commandLine_;
    QIcon onlineIcon_;
    QIcon offlineIcon_;
    QImage iconAtlas_;
    QImage buttonSkin_;
    // The window's own: only its dialogs take and give it back, so nobody else needs to find it.
    Event modalUiToken_{false, true};
    WindowTray tray_;
    // Children, owned through Qt's parent links; deleted before the images they draw.
    HeaderControl* header_ = nullptr;
    ProgressListView* list_ = nullptr;
    StatusControl* status_ = nullptr;
    QAction* quitAction_ = nullptr;
    std::unique_ptr<ProgramCore> core_;
    bool runAtStartup_ = false;
    bool hiddenInTray_ = false;
    // Set while RestoreFromTray shows the window: the only way out of the tray.
    bool restoring_ = false;
    // While hidden in the tray: minimises the window if the notification area goes away.
    QTimer trayWatch_;
    bool quitting_ = false;
};
