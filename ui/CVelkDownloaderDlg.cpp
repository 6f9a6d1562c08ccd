#include "ui/CVelkDownloaderDlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QTimer>

#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "app/ProgramCore.h"
#include "controls/CTranslucentButton.h"
#include "controls/CTranslucentStaticLink.h"
#include "controls/ProgressListView.h"
#include "controls/StatusControl.h"
#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/NormalisePath.h"
#include "platform/DesktopEntries.h"
#include "platform/HandOff.h"
#include "res/ImageResources.h"
#include "ui/AppMessageEvent.h"
#include "ui/CAboutDlg.h"
#include "ui/CLoginDlg.h"
#include "ui/DesktopLauncher.h"
#include "ui/DialogUnits.h"
#include "ui/QtText.h"

namespace {

constexpr int kHeaderHeight = 60;
constexpr int kStatusHeight = 40;
// How often a window hidden in the tray checks that the tray is still there.
constexpr int kTrayWatchIntervalMs = 2000;
// The window's template size, in dialog units.
constexpr int kWindowWidthUnits = 240;
constexpr int kWindowHeightUnits = 280;

QIcon ProgramIcon(int number) {
    const QString base = QStringLiteral(":/images/%1").arg(number);
    QIcon icon;
    icon.addFile(base + QStringLiteral("_16.png"));
    icon.addFile(base + QStringLiteral(".png"));
    icon.addFile(base + QStringLiteral("@2x.png"));
    return icon;
}

// The header on top, the status bar at the bottom and the list between them; the list never
// gets a negative height and the status bar never climbs over the header.
QRect HeaderRect(const QRect& client) {
    return QRect(0, 0, client.width(), kHeaderHeight);
}

QRect ListRect(const QRect& client) {
    return QRect(0, kHeaderHeight, client.width(),
                 std::max(0, client.height() - kHeaderHeight - kStatusHeight));
}

QRect StatusRect(const QRect& client) {
    return QRect(0, std::max(kHeaderHeight, client.height() - kStatusHeight), client.width(),
                 kStatusHeight);
}

// The build's version with points, "0.9.0.1336", as the update page names it.
std::u16string VersionForUpdatePage() {
    return FromQString(HeaderControl::VersionText());
}

}  // namespace

CVelkDownloaderDlg::CVelkDownloaderDlg(Services services, std::u16string commandLine)
    : services_(std::move(services)),
      commandLine_(std::move(commandLine)),
      onlineIcon_(ProgramIcon(kOnlineIcon)),
      offlineIcon_(ProgramIcon(kOfflineIcon)),
      iconAtlas_(LoadImageResource(kIconAtlas)),
      buttonSkin_(LoadImageResource(kButtonSkin)),
      tray_(*this, this, onlineIcon_, offlineIcon_) {
    setWindowTitle(QStringLiteral("Velkora Downloader"));
    setObjectName(QStringLiteral("CVelkDownloaderDlg"));
    header_ = new HeaderControl();
    list_ = new ProgressListView(this, iconAtlas_, this);
    list_->hide();
    status_ = new StatusControl(this);
    status_->hide();
    // Where there is no notification area the window is the only way to quit; the key is the
    // desktop's usual one.
    quitAction_ = new QAction(QStringLiteral("Quit"), this);
    quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction_->setShortcutContext(Qt::WindowShortcut);
    connect(quitAction_, &QAction::triggered, this, [this] { Quit(); });
    addAction(quitAction_);
    trayWatch_.setInterval(kTrayWatchIntervalMs);
    connect(&trayWatch_, &QTimer::timeout, this, [this] { CheckTrayStillThere(); });

    ProgramCore::Settings settings;
    settings.registry = services_.registry;
    settings.dataFolder = services_.app.GetDataFolder();
    CVelkDownloaderApp& app = services_.app;
    settings.downloadFolder = [&app] { return app.GetDownloadFolder(); };
    settings.engine = services_.engine;
    const int32_t connections = app.GetConcurrentConnections();
    if (connections > 0) {
        settings.engine.concurrentConnections = static_cast<uint32_t>(connections);
    }
    settings.engine.maxDownloadRate = uint64_t{app.GetMaxDownloadRate()} * 1024;
    core_ = std::make_unique<ProgramCore>(ProgramCore::Frontend{*this, *list_, *this}, settings);
}

CVelkDownloaderDlg::~CVelkDownloaderDlg() {
    if (HandOffReceiver* receiver = services_.app.HandOff()) {
        receiver->Stop();
    }
    // The engines end before anything they report to goes.
    core_.reset();
    tray_.Hide();
    // The children draw with the images below; they go first.
    delete header_;
    delete list_;
    delete status_;
}

bool CVelkDownloaderDlg::Initialise() {
    setWindowIcon(onlineIcon_);
    resize(DialogSize(kWindowWidthUnits, kWindowHeightUnits));
    list_->setGeometry(ListRect(rect()));
    list_->show();
    status_->Create(&iconAtlas_, StatusRect(rect()), this);
    header_->Create(this, this, &buttonSkin_, &iconAtlas_, HeaderRect(rect()));
    header_->PauseButton()->setEnabled(false);
    header_->ResumeButton()->setEnabled(false);

    runAtStartup_ = IsRunAtStartup();

    const bool connected = core_->Start();

    if (HandOffReceiver* receiver = services_.app.HandOff()) {
        // The listener thread only posts; the block is read here, on the UI thread.
        receiver->Start([this] {
            QMetaObject::invokeMethod(
                this, [this] { OnHandOffMessage(); }, Qt::QueuedConnection);
        });
    }

    const CommandLineRequest request = InterpretCommandLine(commandLine_);
    if (request.gameName && !request.gameName->empty()) {
        core_->Lifecycle().AddItemFromUrl(*request.gameName);
    }
    if (request.minimized) {
        Logger().Log(u"Starting minimized (/minimized)");
        HideToTray();
    } else {
        show();
    }
    return connected;
}

void CVelkDownloaderDlg::PlaceChildren() {
    header_->setGeometry(HeaderRect(rect()));
    list_->setGeometry(ListRect(rect()));
    status_->setGeometry(StatusRect(rect()));
}

void CVelkDownloaderDlg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceChildren();
}

bool CVelkDownloaderDlg::OnlineAndSignedIn() const {
    return core_->Lifecycle().Online() && core_->Lifecycle().SignedIn();
}

// ----- engine messages -----------------------------------------------------------------------

void CVelkDownloaderDlg::Post(AppEvent event) {
    QCoreApplication::postEvent(this, new AppMessageEvent(std::move(event)));
}

bool CVelkDownloaderDlg::event(QEvent* event) {
    if (event->type() == AppMessageEvent::EventType()) {
        // After the quit order nothing is left to act on a report; what it carries goes with
        // the Qt event.
        if (!quitting_) {
            core_->HandleMessage(std::move(static_cast<AppMessageEvent*>(event)->event));
        }
        return true;
    }
    return QWidget::event(event);
}

void CVelkDownloaderDlg::OnHandOffMessage() {
    HandOffReceiver* receiver = services_.app.HandOff();
    if (receiver == nullptr) {
        return;
    }
    if (quitting_) {
        receiver->ReturnToken();
        return;
    }
    const bool acted = OnlineAndSignedIn();
    core_->TakeHandOff(*receiver);
    if (acted && !hiddenInTray_) {
        raise();
        activateWindow();
    }
}

// ----- tray ----------------------------------------------------------------------------------

void CVelkDownloaderDlg::HideToTray() {
    tray_.Show(OnlineAndSignedIn());
    hiddenInTray_ = true;
    core_->Lifecycle().SetMinimisedToTray(true);
    if (WindowTray::Available()) {
        hide();
        trayWatch_.start();
    } else {
        // Without a notification area a hidden window could never be found again.
        showMinimized();
    }
}

void CVelkDownloaderDlg::CheckTrayStillThere() {
    if (!hiddenInTray_ || isVisible()) {
        trayWatch_.stop();
        return;
    }
    // The panel went (it crashed, the user removed it): the icon is gone with it, so the window
    // goes to the task list rather than staying out of reach.
    if (!WindowTray::Available()) {
        trayWatch_.stop();
        Logger().Log(u"The notification area went away; the window is minimised instead");
        showMinimized();
    }
}

void CVelkDownloaderDlg::RestoreFromTray() {
    trayWatch_.stop();
    hiddenInTray_ = false;
    core_->Lifecycle().SetMinimisedToTray(false);
    restoring_ = true;
    showNormal();
    restoring_ = false;
    raise();
    activateWindow();
    tray_.Hide();
}

void CVelkDownloaderDlg::setVisible(bool visible) {
    // While the window lives in the tray only RestoreFromTray may show it.
    if (visible && hiddenInTray_ && !restoring_ && WindowTray::Available()) {
        return;
    }
    QWidget::setVisible(visible);
}

void CVelkDownloaderDlg::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A window minimised in place of the tray (no notification area, or one that went or came
    // later) comes back through the desktop's task list: that is the way out of the "tray". A
    // hidden one is in no task list.
    if (event->type() == QEvent::WindowStateChange && hiddenInTray_ && isVisible() &&
        !(windowState() & Qt::WindowMinimized) && !restoring_) {
        hiddenInTray_ = false;
        core_->Lifecycle().SetMinimisedToTray(false);
        tray_.Hide();
    }
}

void CVelkDownloaderDlg::closeEvent(QCloseEvent* event) {
    if (quitting_) {
        event->accept();
        return;
    }
    event->ignore();
    HideToTray();
}

void CVelkDownloaderDlg::UpdateTrayIcon(bool online) {
    tray_.Update(online);
}

void CVelkDownloaderDlg::ShowReadyBalloon(const std::u16string& title) {
    tray_.ShowBalloon(ToQString(title), OnlineAndSignedIn());
}

void CVelkDownloaderDlg::OnTrayActivated() {
    if (hiddenInTray_) {
        RestoreFromTray();
    }
}

void CVelkDownloaderDlg::OnBalloonClicked() {
    core_->Lifecycle().RunReadyInstaller();
}

void CVelkDownloaderDlg::OnTrayCommand(int commandId) {
    switch (commandId) {
        case ID_TRAY_RUN_AT_STARTUP:
            runAtStartup_ = !runAtStartup_;
            services_.app.SetRunAtStartup(runAtStartup_);
            return;
        case ID_TRAY_OPEN:
            RestoreFromTray();
            return;
        case ID_TRAY_CHECK_UPDATES:
            services_.launcher.OpenUrl(SiteBaseUrl() + u"/en/downloader/" + VersionForUpdatePage());
            return;
        case ID_TRAY_HELP:
            services_.launcher.OpenUrl(SiteBaseUrl() +
                                       u"/en/support/website_help/downloads_and_games");
            return;
        case ID_TRAY_ABOUT:
            services_.launcher.OpenUrl(SiteBaseUrl() + u"/en/about");
            return;
        case ID_TRAY_QUIT:
            Quit();
            return;
        default:
            return;
    }
}

// ----- window menu and about box -------------------------------------------------------------

std::unique_ptr<QMenu> CVelkDownloaderDlg::BuildWindowMenu() {
    auto menu = std::make_unique<QMenu>();
    QAction* about = menu->addAction(QStringLiteral("&About VelkDownloader..."));
    about->setData(IDM_ABOUTBOX);
    menu->addSeparator();
    // The window is in view whenever its menu is: "&Open Downloader" would do nothing.
    AddTrayMenuEntries(*menu, runAtStartup_, false, true);
    return menu;
}

void CVelkDownloaderDlg::OnWindowMenuCommand(int commandId) {
    if (commandId == IDM_ABOUTBOX) {
        AboutBox();
    } else if (commandId != 0) {
        OnTrayCommand(commandId);
    }
}

void CVelkDownloaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    std::unique_ptr<QMenu> menu = BuildWindowMenu();
    const QAction* chosen = menu->exec(event->globalPos());
    if (chosen != nullptr) {
        const int id = chosen->data().toInt();
        menu.reset();
        OnWindowMenuCommand(id);
    }
}

void CVelkDownloaderDlg::AboutBox() {
    CAboutDlg about(onlineIcon_, this);
    about.exec();
}

// ----- header --------------------------------------------------------------------------------

void CVelkDownloaderDlg::OnHeaderCommand(int commandId) {
    switch (commandId) {
        case ID_PAUSE_ALL:
            PauseAll();
            return;
        case ID_RESUME_ALL:
            ResumeAll();
            return;
        case ID_SETTINGS:
            SettingsCommand();
            return;
        case ID_LOGIN_LOGOUT:
            LoginLogoutCommand();
            return;
        default:
            return;
    }
}

void CVelkDownloaderDlg::PauseAll() {
    core_->Lifecycle().PauseAll();
}

void CVelkDownloaderDlg::ResumeAll() {
    core_->Lifecycle().ResumeAll();
}

void CVelkDownloaderDlg::LoginLogoutCommand() {
    core_->Lifecycle().LoginLogoutCommand();
}

void CVelkDownloaderDlg::SetHeaderMode(HeaderMode mode, bool signedIn) {
    switch (mode) {
        case HeaderMode::Running:
            header_->SetLoginState(LoginState::SignedIn, false);
            break;
        case HeaderMode::SignedOut:
            header_->SetLoginState(LoginState::SignedOut, true);
            break;
        case HeaderMode::Paused:
            header_->SetLoginState(LoginState::Paused, false);
            break;
        case HeaderMode::Offline:
            header_->SetLoginState(LoginState::Offline, false);
            break;
    }
    header_->ShowSignedIn(signedIn);
}

void CVelkDownloaderDlg::SetLoginLinkEnabled(bool enabled) {
    if (CTranslucentStaticLink* link = header_->LoginLink()) {
        link->setEnabled(enabled);
    }
    header_->update();
}

void CVelkDownloaderDlg::SetUser(const std::u16string& picturePath,
                                 const std::u16string& userName) {
    header_->SetUser(picturePath, userName);
    header_->update();
}

void CVelkDownloaderDlg::SetStatusMode(StatusMode mode) {
    status_->connectionMode = mode;
    status_->update();
}

void CVelkDownloaderDlg::SetSpeed(uint32_t kilobytesPerSecond) {
    status_->speed = static_cast<int>(std::min<uint32_t>(kilobytesPerSecond, INT32_MAX));
    status_->limit =
        static_cast<int>(std::min<uint32_t>(services_.app.GetMaxDownloadRate(), INT32_MAX));
    status_->update();
}

// ----- settings ------------------------------------------------------------------------------

void CVelkDownloaderDlg::SettingsCommand() {
    if (!modalUiToken_.Wait(0)) {
        return;
    }
    SettingsRecord record;
    record.startWithSession = runAtStartup_;
    record.automaticInstall = core_->Lifecycle().AutomaticInstall();
    record.downloadFolder = services_.app.GetDownloadFolder();
    record.concurrentConnections = services_.app.GetConcurrentConnections();
    record.windowIcon = onlineIcon_;
    {
        CSettingsDlg dialog(record, services_.chooseFolder, this);
        if (dialog.exec() == CSettingsDlg::kResultOk && !quitting_) {
            ApplySettings(record);
        }
    }
    modalUiToken_.Set();
}

void CVelkDownloaderDlg::ApplySettings(const SettingsRecord& record) {
    runAtStartup_ = record.startWithSession;
    services_.app.SetRunAtStartup(runAtStartup_);

    core_->Lifecycle().SetAutomaticInstall(record.automaticInstall);
    RegistryKey* settings = services_.app.SettingsKey();
    if (settings != nullptr) {
        settings->SetDword(u"AutomaticInstall", record.automaticInstall ? 1 : 0);
    }

    const int32_t connections = record.concurrentConnections;
    services_.app.SetConcurrentConnections(connections);
    if (settings != nullptr) {
        settings->SetDword(u"ConcurrentConnections", static_cast<uint32_t>(connections));
    }
    core_->Downloads().SetConcurrentConnections(static_cast<uint32_t>(connections));

    if (record.downloadFolder != services_.app.GetDownloadFolder()) {
        services_.app.SetDownloadFolder(record.downloadFolder, true);
    }
}

// ----- message boxes, login, desktop ---------------------------------------------------------

Answer CVelkDownloaderDlg::AskUser(AskStyle style, const std::u16string& text) {
    if (!modalUiToken_.Wait(0)) {
        return Answer::NotShown;
    }
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("Velkora Downloader"));
    // The text carries titles and the store's own words: a title ending in "<!--" must not be
    // read as markup and swallow the rest of the question.
    box.setTextFormat(Qt::PlainText);
    box.setText(ToQString(text));
    Answer answer = Answer::Ok;
    if (style == AskStyle::YesNoQuestion) {
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        // Closing the box is a "no": nothing is removed unless the user said so.
        box.setEscapeButton(QMessageBox::No);
        answer = box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
    } else {
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    }
    modalUiToken_.Set();
    return answer;
}

bool CVelkDownloaderDlg::ShowLoginDialog(std::u16string& email, std::u16string& password) {
    if (hiddenInTray_ || quitting_) {
        return false;
    }
    LoginRecord record{email, password};
    CLoginDlg dialog(record, this);
    if (dialog.exec() != CLoginDlg::kResultOk || quitting_) {
        return false;
    }
    email = record.email;
    password = record.password;
    return true;
}

void CVelkDownloaderDlg::OpenUrl(const std::u16string& url) {
    services_.launcher.OpenUrl(url);
}

void CVelkDownloaderDlg::RunInstaller(const std::u16string& path) {
    services_.launcher.RunInstaller(path);
}

// ----- list ----------------------------------------------------------------------------------

void CVelkDownloaderDlg::OnRowCommand(uint32_t message, const std::u16string& argument,
                                      int64_t lParam) {
    if (!quitting_) {
        core_->Lifecycle().OnRowCommand(message, argument, lParam);
    }
}

void CVelkDownloaderDlg::OnRowOrderChanged() {
    if (!quitting_) {
        core_->Lifecycle().OnRowOrderChanged();
    }
}

// ----- quit ----------------------------------------------------------------------------------

void CVelkDownloaderDlg::Quit() {
    if (quitting_) {
        return;
    }
    // A dialog's own loop is running below us: close it and quit once it has returned.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
        QTimer::singleShot(0, this, [this] { Quit(); });
        return;
    }
    quitting_ = true;
    trayWatch_.stop();
    if (HandOffReceiver* receiver = services_.app.HandOff()) {
        receiver->Stop();
    }
    core_->Quit();
    tray_.Hide();
    close();
    if (services_.onQuit) {
        services_.onQuit();
    }
}
