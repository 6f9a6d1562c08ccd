// The real main window against the local test store, on the offscreen platform: a game asked for
// on the command line is signed in for through the login dialog, downloaded, checked and offered;
// the header's commands, the tray, the settings dialog, signing out and the quit order.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "app/RowView.h"
#include "controls/CTranslucentButton.h"
#include "controls/CTranslucentStaticLink.h"
#include "controls/ProgressItem.h"
#include "controls/ProgressListView.h"
#include "controls/StatusControl.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "engine/Md5Context.h"
#include "platform/DesktopEntries.h"
#include "support/FileFixtures.h"
#include "support/LogCapture.h"
#include "support/WindowFixture.h"
#include "ui/CLoginDlg.h"
#include "ui/CSettingsDlg.h"
#include "ui/QtText.h"

namespace fs = std::filesystem;

namespace {

const std::u16string kSmallGame = u"single-file-game";

std::string Md5OfFile(const fs::path& path) {
    return WideToUtf8(Md5Hex(ReadFile(path)));
}

uint64_t BytesUnder(const fs::path& folder) {
    uint64_t total = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

const ProgressItem* RowOf(CVelkDownloaderDlg& window, const std::u16string& name) {
    const int row = window.List()->FindRow(name);
    return row < 0 ? nullptr : &window.List()->Row(row);
}

void SignInThroughDialog(CLoginDlg& dialog) {
    dialog.EmailEdit()->setText(QString::fromStdString(TestStore::DemoEmail()));
    dialog.PasswordEdit()->setText(QString::fromStdString(TestStore::DemoPassword()));
    dialog.OkButton()->click();
}

class MainWindowTest : public ::testing::Test, public WindowFixture {};

TEST_F(MainWindowTest, SignsInThroughTheDialogThenDownloadsTheGameAndStartsItsInstaller) {
    Settings()->SetDword(u"AutomaticInstall", 1);
    DialogAnswerer<CLoginDlg> login(SignInThroughDialog);
    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://single-file-game/"});
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Velkora Downloader"));

    ASSERT_TRUE(SignedInAndOnline()) << "login dialogs seen: " << login.Count();
    EXPECT_EQ(login.Count(), 1);
    EXPECT_EQ(window.Header()->UserName(), u"Demo Player");
    EXPECT_EQ(window.Header()->LoginLink()->Text(), QStringLiteral("Logout"));
    EXPECT_TRUE(window.Header()->LoginLink()->isEnabled());
    // The token the store issued is what the next start signs in with.
    const ItemLifecycle::Credentials stored = ItemLifecycle::ReadStoredCredentials(registry);
    ASSERT_FALSE(stored.token.empty());
    const std::vector<StoreToken> issued = store.Tokens();
    ASSERT_FALSE(issued.empty());
    EXPECT_EQ(WideToUtf8(stored.token), issued.back().token);

    ASSERT_TRUE(ItemReaches(kSmallGame, ItemState::Completed));
    const DownloadInfo* item = Lifecycle().FindItem(kSmallGame);
    const fs::path file = WideToUtf8(NormalisePath(item->folder + item->installer));
    EXPECT_EQ(Md5OfFile(file), store.ExpectedFileMd5("single-file-game", 0));
    const ProgressItem* row = RowOf(window, kSmallGame);
    ASSERT_NE(row, nullptr);
    EXPECT_NE(row->statusText.find(u"completed"), std::u16string::npos)
        << WideToUtf8(row->statusText);
    EXPECT_EQ(row->linkText, u"INSTALL");
    EXPECT_EQ(row->title, u"Single File Game");
    // Visible window and automatic installation: the installer starts; no balloon.
    ASSERT_EQ(launcher.installers.size(), 1u);
    EXPECT_EQ(launcher.installers[0], NormalisePath(item->folder + item->installer));
    EXPECT_EQ(window.Tray().BalloonCount(), 0);
}

TEST_F(MainWindowTest, HiddenInTheTrayACompletedGameShowsTheBalloonAndStartsNothing) {
    StoreSignIn();
    Settings()->SetDword(u"AutomaticInstall", 1);
    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://single-file-game"});
    window.close();
    EXPECT_TRUE(window.HiddenInTray());
    EXPECT_TRUE(window.Tray().Shown());
    EXPECT_FALSE(window.Quitting());
    // Without a notification area (as here) the window is minimised, never lost from sight.
    if (!WindowTray::Available()) {
        EXPECT_TRUE(window.isVisible());
        EXPECT_TRUE(window.isMinimized());
    } else {
        EXPECT_FALSE(window.isVisible());
    }

    ASSERT_TRUE(ItemReaches(kSmallGame, ItemState::Completed));
    EXPECT_EQ(window.Tray().BalloonCount(), 1);
    EXPECT_EQ(window.Tray().LastBalloonTitle(), QStringLiteral("Single File Game"));
    EXPECT_EQ(window.Tray().LastBalloonText(), QStringLiteral("Downloaded and ready to install"));
    EXPECT_TRUE(window.Tray().ShowsOnline());
    EXPECT_EQ(window.Tray().ToolTip(), QStringLiteral("Velkora Downloader (Online)"));
    EXPECT_TRUE(launcher.installers.empty());
    if (!WindowTray::Available()) {
        // No tray and, in a test's home, no session bus: the desktop notification cannot be
        // sent, so the minimised window asks for attention instead.
        EXPECT_EQ(window.Tray().NotificationCount(), 1);
        EXPECT_TRUE(PumpUntil([&] { return window.Tray().AlertCount() == 1; }));
    }

    // A click on the balloon starts the installer that is ready; the menu brings the window back.
    window.OnBalloonClicked();
    ASSERT_EQ(launcher.installers.size(), 1u);
    window.OnTrayCommand(ID_TRAY_OPEN);
    EXPECT_FALSE(window.HiddenInTray());
    EXPECT_FALSE(window.Tray().Shown());
    EXPECT_FALSE(Lifecycle().MinimisedToTray());
}

TEST_F(MainWindowTest, PauseAndResumeFromTheHeaderStopAndRestartTheTransfer) {
    StoreSignIn();
    // Slow enough that the download is still running while the test looks at it.
    store.SetFault(R"({"server":"cdn","path_prefix":"/secure/demo-game/","fail_next":-1,)"
                   R"("rate":400000})");
    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://demo-game"});
    ASSERT_TRUE(ItemReaches(u"demo-game", ItemState::Downloading));
    ASSERT_TRUE(PumpUntil([&] { return window.Header()->PauseButton()->isEnabled(); }));
    EXPECT_FALSE(window.Header()->ResumeButton()->isEnabled());
    EXPECT_EQ(window.Status()->connectionMode, StatusMode::Online);

    LogCapture log;
    window.OnHeaderCommand(ID_PAUSE_ALL);
    window.OnHeaderCommand(ID_PAUSE_ALL);  // a second press changes nothing
    EXPECT_TRUE(window.Core().Downloads().IsPaused());
    EXPECT_EQ(window.Status()->connectionMode, StatusMode::Paused);
    EXPECT_FALSE(window.Header()->PauseButton()->isEnabled());
    EXPECT_TRUE(window.Header()->ResumeButton()->isEnabled());
    EXPECT_EQ(log.Count(u"Pausing"), 1);
    const ProgressItem* row = RowOf(window, u"demo-game");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->state, RowPaused);
    // Nothing moves while paused: no byte reaches the disk. A worker first writes the block it
    // was reading, which on a busy machine may take a while, so the folder is watched until it
    // stays still.
    const std::string folder = WideToUtf8(app->GetDownloadFolder());
    uint64_t heldAt = BytesUnder(folder);
    for (int look = 0; look < 20; ++look) {
        PumpFor(std::chrono::milliseconds(300));
        const uint64_t now = BytesUnder(folder);
        if (now == heldAt) {
            break;
        }
        heldAt = now;
    }
    PumpFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(BytesUnder(folder), heldAt);
    // Speed samples and the reports that were on their way kept the row paused all along.
    row = RowOf(window, u"demo-game");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->state, RowPaused);
    EXPECT_NE(WideToUtf8(row->statusText).find("- paused"), std::string::npos)
        << WideToUtf8(row->statusText);

    store.ClearFaults();
    window.OnHeaderCommand(ID_RESUME_ALL);
    EXPECT_FALSE(window.Core().Downloads().IsPaused());
    EXPECT_EQ(window.Status()->connectionMode, StatusMode::Online);
    EXPECT_TRUE(window.Header()->PauseButton()->isEnabled());
    EXPECT_FALSE(window.Header()->ResumeButton()->isEnabled());
    EXPECT_EQ(log.Count(u"Unpausing"), 1);
    ASSERT_TRUE(ItemReaches(u"demo-game", ItemState::Completed, std::chrono::seconds(60)));
    for (uint32_t id = 0; id < 3; ++id) {
        const DownloadInfo* item = Lifecycle().FindItem(u"demo-game");
        const fs::path file = WideToUtf8(NormalisePath(item->folder + u"/" + item->files[id].name));
        EXPECT_EQ(Md5OfFile(file), store.ExpectedFileMd5("demo-game", id)) << file;
    }
}

TEST_F(MainWindowTest, AGameFailedForItsMissingFolderIsRetriedOnceTheFolderIsBack) {
    StoreSignIn();
    const fs::path games = home.Root() / "external-disk" / "Games";
    fs::create_directories(games);
    Settings()->SetString(u"DownloadFolder", Utf8ToWide(games.string()));
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());
    // The disk is unmounted: the failure names no file, and still the row offers a way back.
    fs::remove_all(games);
    ASSERT_EQ(Lifecycle().AddItemFromUrl(kSmallGame), ItemLifecycle::AddResult::Added);
    ASSERT_TRUE(ItemReaches(kSmallGame, ItemState::Failed));
    const int row = window.List()->FindRow(kSmallGame);
    ASSERT_GE(row, 0);
    const std::unique_ptr<QMenu> menu = window.List()->BuildContextMenu(row);
    std::vector<int> commands;
    for (const QAction* action : menu->actions()) {
        commands.push_back(action->data().toInt());
    }
    EXPECT_NE(std::find(commands.begin(), commands.end(), 33443), commands.end())
        << "no Retry in the row's menu";
    EXPECT_FALSE(fs::exists(games)) << "the missing folder was made again";

    // Mounted again: Retry checks the folder again and the game downloads.
    fs::create_directories(games);
    window.OnRowCommand(WM_APP_RETRY_ITEM, kSmallGame, 0);
    ASSERT_TRUE(ItemReaches(kSmallGame, ItemState::Completed));
    const DownloadInfo* item = Lifecycle().FindItem(kSmallGame);
    EXPECT_EQ(Md5OfFile(WideToUtf8(NormalisePath(item->folder + item->installer))),
              store.ExpectedFileMd5("single-file-game", 0));
}

TEST_F(MainWindowTest, SettingsAreAppliedAndStored) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    const TempDir games;
    chosenFolder = QString::fromStdString((games.Path() / "Games").string());
    fs::create_directories(games.Path() / "Games");
    const std::u16string folderBefore = app->GetDownloadFolder();

    {
        DialogAnswerer<CSettingsDlg> answer([](CSettingsDlg& dialog) {
            EXPECT_EQ(dialog.ConnectionsEdit()->text(), QStringLiteral("6"));
            EXPECT_FALSE(dialog.StartWithSessionBox()->isChecked());
            EXPECT_FALSE(dialog.FolderEdit()->isEnabled());
            dialog.StartWithSessionBox()->setChecked(true);
            dialog.AutomaticInstallBox()->setChecked(true);
            dialog.ConnectionsEdit()->setText(QStringLiteral("15"));
            dialog.ChangeButton()->click();
            dialog.OkButton()->click();
        });
        window.OnHeaderCommand(ID_SETTINGS);
        EXPECT_EQ(answer.Count(), 1);
    }
    ASSERT_EQ(chooserTitles.size(), 1u);
    EXPECT_EQ(chooserTitles[0], QStringLiteral("Select new downloads directory"));
    EXPECT_EQ(FromQString(chooserStarts[0]), folderBefore);

    std::shared_ptr<RegistryKey> settings = Settings();
    EXPECT_EQ(settings->QueryDword(u"AutomaticInstall"), 1u);
    EXPECT_EQ(settings->QueryDword(u"ConcurrentConnections"), 15u);
    EXPECT_EQ(settings->QueryString(u"DownloadFolder"),
              Utf8ToWide((games.Path() / "Games").string() + "/"));
    EXPECT_EQ(app->GetDownloadFolder(), Utf8ToWide((games.Path() / "Games").string() + "/"));
    EXPECT_EQ(app->GetConcurrentConnections(), 15);
    EXPECT_EQ(window.Core().Downloads().EnabledWorkerCount(), 15u);
    EXPECT_TRUE(Lifecycle().AutomaticInstall());
    EXPECT_TRUE(window.RunAtStartup());
    EXPECT_TRUE(IsRunAtStartup());
    // The token is back: the settings can open again.
    EXPECT_TRUE(window.ModalUiToken().IsSet());

    // The folder that is already set is not written again; Cancel changes nothing.
    settings->DeleteValue(u"DownloadFolder");
    {
        DialogAnswerer<CSettingsDlg> keep([](CSettingsDlg& dialog) {
            dialog.ConnectionsEdit()->setText(QStringLiteral("0"));
            dialog.OkButton()->click();
        });
        window.OnHeaderCommand(ID_SETTINGS);
        EXPECT_EQ(keep.Count(), 1);
    }
    EXPECT_FALSE(settings->Query(u"DownloadFolder"));
    EXPECT_EQ(settings->QueryDword(u"ConcurrentConnections"), 1u);
    {
        DialogAnswerer<CSettingsDlg> cancel([](CSettingsDlg& dialog) {
            dialog.StartWithSessionBox()->setChecked(false);
            dialog.ConnectionsEdit()->setText(QStringLiteral("9"));
            dialog.CancelButton()->click();
        });
        window.OnHeaderCommand(ID_SETTINGS);
        EXPECT_EQ(cancel.Count(), 1);
    }
    EXPECT_EQ(settings->QueryDword(u"ConcurrentConnections"), 1u);
    EXPECT_TRUE(IsRunAtStartup());
    EXPECT_TRUE(window.ModalUiToken().IsSet());
}

TEST_F(MainWindowTest, SettingsDoNotOpenWhileAMessageBoxHoldsTheScreen) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    int settingsShown = 0;
    DialogAnswerer<CSettingsDlg> settings([&](CSettingsDlg& dialog) {
        ++settingsShown;
        dialog.CancelButton()->click();
    });
    {
        DialogAnswerer<QMessageBox> box([&](QMessageBox& shown) {
            // The box is open: the settings button does nothing now.
            window.OnHeaderCommand(ID_SETTINGS);
            shown.button(QMessageBox::No)->click();
        });
        EXPECT_EQ(window.AskUser(AskStyle::YesNoQuestion, u"Remove?"), Answer::No);
        EXPECT_EQ(box.Count(), 1);
    }
    EXPECT_EQ(settingsShown, 0);
    EXPECT_TRUE(window.ModalUiToken().IsSet());
    // A second box is refused while one is open, without waiting.
    DialogAnswerer<QMessageBox> nested([&](QMessageBox& shown) {
        EXPECT_EQ(window.AskUser(AskStyle::OkWarning, u"Second"), Answer::NotShown);
        shown.button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(window.AskUser(AskStyle::YesNoQuestion, u"First"), Answer::Yes);
}

TEST_F(MainWindowTest, AfterSigningOutAFailedSignInShowsNoDialog) {
    StoreSignIn();
    DialogAnswerer<CLoginDlg> login([](CLoginDlg& dialog) { dialog.CancelButton()->click(); });
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());

    window.OnHeaderCommand(ID_LOGIN_LOGOUT);
    EXPECT_FALSE(window.Header()->LoginLink()->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return !Lifecycle().SignedIn(); }));
    ASSERT_TRUE(PumpUntil([&] { return window.Header()->LoginLink()->isEnabled(); }));
    EXPECT_EQ(window.Header()->LoginLink()->Text(), QStringLiteral("Login"));
    EXPECT_EQ(window.Status()->connectionMode, StatusMode::Offline);
    PumpFor(std::chrono::milliseconds(500));
    EXPECT_EQ(login.Count(), 0);

    // The link still offers the dialog; cancelling it hands nothing to the store.
    const size_t requests = store.Requests().size();
    window.OnHeaderCommand(ID_LOGIN_LOGOUT);
    EXPECT_EQ(login.Count(), 1);
    EXPECT_TRUE(window.Header()->LoginLink()->isEnabled());
    PumpFor(std::chrono::milliseconds(300));
    for (size_t i = requests; i < store.Requests().size(); ++i) {
        EXPECT_EQ(store.Requests()[i].path.find("/oauth/"), std::string::npos);
    }
}

TEST_F(MainWindowTest, StartedMinimisedItLivesInTheTrayWithTheOfflineIcon) {
    CVelkDownloaderDlg& window = StartWindow({"/minimized"});
    EXPECT_TRUE(window.HiddenInTray());
    EXPECT_TRUE(window.Tray().Shown());
    EXPECT_FALSE(window.Tray().ShowsOnline());
    EXPECT_EQ(window.Tray().ToolTip(), QStringLiteral("Velkora Downloader (Offline)"));
    // No token: the sign-in fails, but no dialog opens while the window is in the tray.
    DialogAnswerer<CLoginDlg> login([](CLoginDlg& dialog) { dialog.CancelButton()->click(); });
    ASSERT_TRUE(PumpUntil([&] { return Lifecycle().Online(); }));
    PumpFor(std::chrono::milliseconds(500));
    EXPECT_EQ(login.Count(), 0);
    EXPECT_TRUE(window.Header()->LoginLink()->isEnabled());
}

// A menu's entries as (text, command id), separators as "-".
std::vector<std::pair<QString, int>> MenuEntries(const QMenu& menu) {
    std::vector<std::pair<QString, int>> entries;
    for (const QAction* action : menu.actions()) {
        entries.emplace_back(action->isSeparator() ? QStringLiteral("-") : action->text(),
                             action->data().toInt());
    }
    return entries;
}

TEST_F(MainWindowTest, TrayAndWindowMenusOfferTheirEntries) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    std::unique_ptr<QMenu> menu = window.Tray().BuildMenu(true);
    const std::vector<std::pair<QString, int>> entries = MenuEntries(*menu);
    const std::vector<std::pair<QString, int>> expected = {
        {QStringLiteral("&Run at startup"), ID_TRAY_RUN_AT_STARTUP},
        {QStringLiteral("-"), 0},
        {QStringLiteral("&Open Downloader"), ID_TRAY_OPEN},
        {QStringLiteral("-"), 0},
        {QStringLiteral("Check for updates"), ID_TRAY_CHECK_UPDATES},
        {QStringLiteral("Help"), ID_TRAY_HELP},
        {QStringLiteral("About"), ID_TRAY_ABOUT},
        {QStringLiteral("-"), 0},
        {QStringLiteral("Quit"), ID_TRAY_QUIT},
    };
    EXPECT_EQ(entries, expected);
    EXPECT_TRUE(menu->actions()[0]->isChecked());

    window.OnTrayCommand(ID_TRAY_CHECK_UPDATES);
    window.OnTrayCommand(ID_TRAY_HELP);
    window.OnTrayCommand(ID_TRAY_ABOUT);
    const std::u16string site = Utf8ToWide(store.SiteUrl());
    const std::vector<std::u16string> urls = {
        site + u"/en/downloader/0.9.0.1336", site + u"/en/support/website_help/downloads_and_games",
        site + u"/en/about"};
    EXPECT_EQ(launcher.urls, urls);

    // Run at startup, twice: on, then nothing left behind.
    window.OnTrayCommand(ID_TRAY_RUN_AT_STARTUP);
    EXPECT_TRUE(fs::exists(AutostartEntryPath()));
    window.OnTrayCommand(ID_TRAY_RUN_AT_STARTUP);
    EXPECT_FALSE(fs::exists(AutostartEntryPath()));

    // The window's own menu: the about box, then the tray's entries but "&Open Downloader" (the
    // window is in view), so that they are in reach where the desktop has no tray.
    window.OnTrayCommand(ID_TRAY_RUN_AT_STARTUP);
    std::unique_ptr<QMenu> windowMenu = window.BuildWindowMenu();
    const std::vector<std::pair<QString, int>> windowEntries = MenuEntries(*windowMenu);
    const std::vector<std::pair<QString, int>> expectedWindowEntries = {
        {QStringLiteral("&About VelkDownloader..."), IDM_ABOUTBOX},
        {QStringLiteral("-"), 0},
        {QStringLiteral("&Run at startup"), ID_TRAY_RUN_AT_STARTUP},
        {QStringLiteral("-"), 0},
        {QStringLiteral("Check for updates"), ID_TRAY_CHECK_UPDATES},
        {QStringLiteral("Help"), ID_TRAY_HELP},
        {QStringLiteral("About"), ID_TRAY_ABOUT},
        {QStringLiteral("-"), 0},
        {QStringLiteral("Quit"), ID_TRAY_QUIT},
    };
    EXPECT_EQ(windowEntries, expectedWindowEntries);
    // "&Run at startup" shows the stored state, and Quit the key that quits.
    EXPECT_TRUE(windowMenu->actions()[2]->isChecked());
    EXPECT_EQ(windowMenu->actions().back()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    window.OnWindowMenuCommand(ID_TRAY_RUN_AT_STARTUP);
    EXPECT_FALSE(fs::exists(AutostartEntryPath()));
    EXPECT_FALSE(window.BuildWindowMenu()->actions()[2]->isChecked());
    window.OnWindowMenuCommand(ID_TRAY_HELP);
    EXPECT_EQ(launcher.urls.back(), site + u"/en/support/website_help/downloads_and_games");

    // The tray icon's own menu (the one a StatusNotifier host shows) reads the state as it opens.
    QMenu& trayMenu = window.Tray().ContextMenu();
    window.OnTrayCommand(ID_TRAY_RUN_AT_STARTUP);
    emit trayMenu.aboutToShow();
    EXPECT_TRUE(trayMenu.actions()[0]->isChecked());
    window.OnTrayCommand(ID_TRAY_RUN_AT_STARTUP);
    emit trayMenu.aboutToShow();
    EXPECT_FALSE(trayMenu.actions()[0]->isChecked());
    // Its choices reach the window once the menu has closed.
    const size_t before = launcher.urls.size();
    trayMenu.actions()[4]->trigger();
    EXPECT_EQ(launcher.urls.size(), before);
    ASSERT_TRUE(PumpUntil([&] { return launcher.urls.size() == before + 1; }));
    EXPECT_EQ(launcher.urls.back(), site + u"/en/downloader/0.9.0.1336");

    DialogAnswerer<QDialog> about([](QDialog& dialog) {
        auto* text = dialog.findChild<QLabel*>(QStringLiteral("aboutText"));
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->text(), QStringLiteral("VelkDownloader, Version 1.0"));
        dialog.accept();
    });
    window.OnWindowMenuCommand(IDM_ABOUTBOX);
    EXPECT_EQ(about.Count(), 1);
}

TEST_F(MainWindowTest, CtrlQQuitsOnceAndOtherKeysDoNot) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    // Another key does nothing; Ctrl+Q quits, once.
    QTest::keyClick(&window, Qt::Key_Q);
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.Quitting());
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(window.Quitting());
    EXPECT_EQ(quitCalls, 1);
    EXPECT_FALSE(window.isVisible());
    window.OnWindowMenuCommand(ID_TRAY_QUIT);
    EXPECT_EQ(quitCalls, 1);
}

TEST_F(MainWindowTest, TheWindowMenuQuitsToo) {
    CVelkDownloaderDlg& window = StartWindow({"/minimized"});
    window.OnWindowMenuCommand(ID_TRAY_QUIT);
    EXPECT_TRUE(window.Quitting());
    EXPECT_EQ(quitCalls, 1);
}

TEST_F(MainWindowTest, QuitStopsEveryThreadInOrder) {
    StoreSignIn();
    const int threadsBefore = OwnThreadCount();
    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://single-file-game"});
    ASSERT_TRUE(SignedInAndOnline());
    EXPECT_GT(OwnThreadCount(), threadsBefore + 20);

    LogCapture log;
    window.OnTrayCommand(ID_TRAY_QUIT);
    EXPECT_TRUE(window.Quitting());
    EXPECT_EQ(quitCalls, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_LE(OwnThreadCount(), threadsBefore + kSanitizerThreads);
    EXPECT_GE(OwnThreadCount(), threadsBefore);
    // The item's record survives the quit for the next start.
    EXPECT_NE(Lifecycle().FindItem(kSmallGame), nullptr);
    window.OnTrayCommand(ID_TRAY_QUIT);
    EXPECT_EQ(quitCalls, 1);
}

TEST_F(MainWindowTest, QuitWhileADialogIsOpenClosesItFirst) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    DialogAnswerer<CSettingsDlg> settings(
        [&](CSettingsDlg&) { window.OnTrayCommand(ID_TRAY_QUIT); });
    window.OnHeaderCommand(ID_SETTINGS);
    EXPECT_EQ(settings.Count(), 1);
    ASSERT_TRUE(PumpUntil([&] { return quitCalls == 1; }));
    EXPECT_TRUE(window.ModalUiToken().IsSet());
    // Nothing of the closed dialog was applied.
    EXPECT_FALSE(Settings()->Query(u"ConcurrentConnections"));
}

}  // namespace
