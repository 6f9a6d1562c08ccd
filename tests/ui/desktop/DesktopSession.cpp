// The real program on real desktops, driven as a user would: each test runs build/ui/velkdownloader
// on an X server of its own (Xvfb) with a window manager (openbox) and a session bus of its own,
// against the local test store, and drives it with xdotool, xprop, xwininfo and dbus-send:
// - with a classic tray panel (trayer): closing hides the window and the icon sits in the panel;
//   the icon's menu quits; a panel that starts late still gets the icon, and one that goes gives
//   the window back to the task list;
// - without any tray: closing minimises; a game that completes meanwhile is announced through the
//   desktop's notification service (a stand-in), whose click starts the installer; Ctrl+Q quits;
// - with neither a tray nor a notification service, or no session bus at all: nothing hangs;
// - with a StatusNotifier tray (a stand-in watcher): one activation shows the window, and the
//   icon exports its menu.
// Pictures of the desktops go to build/artifacts/desktop-*.png.
#include <signal.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/CVelkDownloaderApp.h"
#include "platform/Registry.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"
#include "support/XDesktop.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kTitle = "Velkora Downloader";
const fs::path kArtifacts = VELK_ARTIFACTS_DIR;

// Where on the screen the tray panel shows the program's icon: "x y" of its centre, empty if no
// icon is embedded. Read from the X tree: trayer's panel window and, below it, a window of ours.
std::vector<int> EmbeddedIconCentre(XDesktop& desktop) {
    std::istringstream tree(desktop.Tool({"xwininfo", "-root", "-tree"}).out);
    size_t panelIndent = std::string::npos;
    for (std::string line; std::getline(tree, line);) {
        const size_t indent = line.find_first_not_of(' ');
        if (line.find("(\"panel\" \"trayer\")") != std::string::npos) {
            panelIndent = indent;
            continue;
        }
        if (panelIndent == std::string::npos) {
            continue;
        }
        if (indent <= panelIndent) {
            panelIndent = std::string::npos;  // left the panel's subtree
            continue;
        }
        if (line.find("(\"velkdownloader\" \"velkdownloader\")") == std::string::npos) {
            continue;
        }
        // "... 22x30+0+0  +1001+737": the size, then the position on the screen.
        int width = 0, height = 0, x = 0, y = 0, rx = 0, ry = 0;
        const size_t sizeAt = line.find(")  ") + 3;
        if (std::sscanf(line.c_str() + sizeAt, "%dx%d%d%d %d%d", &width, &height, &rx, &ry, &x,
                        &y) == 6) {
            return {x + width / 2, y + height / 2};
        }
    }
    return {};
}

// The waits below are generous: with the whole suite running beside it, a window manager may take
// seconds to map or minimise a window. Each wait ends as soon as what it waits for holds.
class DesktopSessionTest : public ::testing::Test {
protected:
    DesktopSessionTest() {
        store.UseInEnvironment();
        // Signed in as by an earlier run, so that a second start's game is taken at once.
        store.AddToken("desktop-token-0123456789", "desktop-secret-0123456789");
        std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
        std::optional<RegistryKey> settings =
            RegistryKey::Create(registry, CVelkDownloaderApp::kSettingsKeyPath);
        settings->SetString(u"token", u"desktop-token-0123456789");
        settings->SetString(u"secret", u"desktop-secret-0123456789");
        // The desktop's opener, as the program finds it on PATH: records what it was given.
        const fs::path bin = home.Root() / "bin";
        fs::create_directories(bin);
        WriteFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" +
                                        (home.Root() / "xdg-open.record").string() + "'\n");
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "";
        setenv("PATH", (bin.string() + ":" + savedPath_).c_str(), 1);
    }
    ~DesktopSessionTest() override { setenv("PATH", savedPath_.c_str(), 1); }

    // The program's log, which it writes in UTF-16.
    std::string ProgramLog() const {
        const std::string bytes = ReadFile(home.DataHome() / "VelkDownloader" / "output.log");
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.data()),
                                  static_cast<qsizetype>(bytes.size() / 2))
            .toStdString();
    }
    bool LogSays(const std::string& text, std::chrono::milliseconds limit = 20s) const {
        return WaitFor([&] { return ProgramLog().find(text) != std::string::npos; }, limit);
    }
    std::string OpenerRecord() const { return ReadFile(home.Root() / "xdg-open.record"); }

    CliProcess& StartProgram(XDesktop& desktop, std::vector<std::string> args = {}) {
        return desktop.Start(VELK_GUI_PROGRAM, std::move(args));
    }

    // The program's main window, once it exists (and, with `viewable`, is on the screen).
    std::string WaitForWindow(XDesktop& desktop, CliProcess& program, bool viewable = true) {
        std::string window;
        WaitFor(
            [&] {
                const std::vector<std::string> found =
                    desktop.Windows(program.Pid(), kTitle, viewable);
                window = found.empty() ? std::string() : found.front();
                return !window.empty();
            },
            20s);
        return window;
    }

    // A game handed over by a second start, as a browser would, once the program is online and
    // signed in (before then it would be turned away).
    void AddGameThroughSecondStart(XDesktop& desktop, const std::string& game) {
        ASSERT_TRUE(LogSays("was authenticated")) << ProgramLog();
        ASSERT_TRUE(LogSays("Connection status changed to Online")) << ProgramLog();
        EXPECT_EQ(StartProgram(desktop, {"velkdownloader://" + game}).Wait(20s), 0);
    }

    // Closes the window the way the window manager does (Alt+F4 on the focused window).
    void CloseWindow(XDesktop& desktop, const std::string& window) {
        ASSERT_TRUE(desktop.Activate(window));
        ASSERT_TRUE(desktop.Keys({"alt+F4"}));
    }

    // Opens the window's own menu with the right button on the status bar.
    void OpenWindowMenu(XDesktop& desktop, CliProcess& program, const std::string& window) {
        const std::vector<int> at = desktop.Geometry(window);
        const size_t before = desktop.Windows(program.Pid(), "", true).size();
        ASSERT_TRUE(desktop.Click(at[0] + at[2] / 2, at[1] + at[3] - 12, 3));
        // The menu is a window of its own.
        ASSERT_TRUE(
            WaitFor([&] { return desktop.Windows(program.Pid(), "", true).size() > before; }, 20s));
    }

    // Neither a tray nor a notification service: a game completes while minimised, and Ctrl+Q
    // still quits, in time.
    void RunWithoutTrayOrNotifications(XDesktop& desktop) {
        ASSERT_TRUE(desktop.Ready());
        CliProcess& program = StartProgram(desktop);
        const std::string window = WaitForWindow(desktop, program);
        ASSERT_FALSE(window.empty());
        CloseWindow(desktop, window);
        ASSERT_TRUE(WaitFor(
            [&] {
                return desktop.WindowStates(window).find("_NET_WM_STATE_HIDDEN") !=
                       std::string::npos;
            },
            20s));
        AddGameThroughSecondStart(desktop, "single-file-game");
        ASSERT_TRUE(LogSays("Item single-file-game is downloaded and ready")) << ProgramLog();
        EXPECT_TRUE(LogSays("Desktop notifications are not available", 20s)) << ProgramLog();
        EXPECT_TRUE(program.Running());
        EXPECT_TRUE(OpenerRecord().empty());

        // Back from the task list; Ctrl+Q quits there.
        ASSERT_TRUE(desktop.Activate(window));
        const auto asked = std::chrono::steady_clock::now();
        ASSERT_TRUE(desktop.Keys({"ctrl+q"}));
        EXPECT_EQ(program.Wait(15s), 0) << ProgramLog();
        std::printf("[desktop] Ctrl+Q to the end of the program: %lld ms\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - asked)
                                               .count()));
    }

    TempHome home;
    TestStore store;

private:
    std::string savedPath_;
};

TEST_F(DesktopSessionTest, WithATrayPanelCloseHidesInTheTrayAndTheIconsMenuQuits) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.Ready());
    ASSERT_NE(desktop.StartTrayPanel(), nullptr);
    CliProcess& program = StartProgram(desktop);
    const std::string window = WaitForWindow(desktop, program);
    ASSERT_FALSE(window.empty());
    EXPECT_TRUE(EmbeddedIconCentre(desktop).empty());  // shown only while in the tray
    ASSERT_TRUE(LogSays("was authenticated")) << ProgramLog();
    EXPECT_TRUE(desktop.Grab(kArtifacts / "desktop-tray-window.png"));

    CloseWindow(desktop, window);
    // Hidden, not minimised: nothing of it on the screen but the icon.
    ASSERT_TRUE(WaitFor([&] { return desktop.Windows(program.Pid(), kTitle, true).empty(); }, 20s));
    EXPECT_EQ(desktop.WindowStates(window).find("Iconic"), std::string::npos)
        << desktop.WindowStates(window);
    std::vector<int> icon;
    ASSERT_TRUE(WaitFor([&] { return !(icon = EmbeddedIconCentre(desktop)).empty(); }, 20s))
        << desktop.Tool({"xwininfo", "-root", "-tree"}).out;
    EXPECT_TRUE(program.Running());

    // The icon's menu, at a right click on the icon; its last entry is Quit.
    ASSERT_TRUE(desktop.Click(icon[0], icon[1], 3));
    ASSERT_TRUE(WaitFor([&] { return !desktop.Windows(program.Pid(), "", true).empty(); }, 20s));
    EXPECT_TRUE(desktop.Grab(kArtifacts / "desktop-tray-menu.png"));
    ASSERT_TRUE(desktop.Keys({"Up", "Return"}));
    EXPECT_EQ(program.Wait(20s), 0) << ProgramLog();
}

TEST_F(DesktopSessionTest, ATrayPanelThatComesLaterTakesTheIconAndOneThatGoesGivesTheWindowBack) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.Ready());
    CliProcess& program = StartProgram(desktop);
    const std::string window = WaitForWindow(desktop, program);
    ASSERT_FALSE(window.empty());
    const auto minimised = [&] {
        const std::string states = desktop.WindowStates(window);
        return states.find("_NET_WM_STATE_HIDDEN") != std::string::npos &&
               states.find("Iconic") != std::string::npos;
    };
    CloseWindow(desktop, window);
    ASSERT_TRUE(WaitFor(minimised, 20s)) << desktop.WindowStates(window);

    // A panel that starts now still gets the icon.
    CliProcess* panel = desktop.StartTrayPanel();
    ASSERT_NE(panel, nullptr);
    std::vector<int> icon;
    ASSERT_TRUE(WaitFor([&] { return !(icon = EmbeddedIconCentre(desktop)).empty(); }, 20s))
        << desktop.Tool({"xwininfo", "-root", "-tree"}).out;
    // On this classic tray one click does nothing; a double-click brings the window back.
    ASSERT_TRUE(desktop.Click(icon[0], icon[1], 1));
    WaitFor([] { return false; }, 800ms);
    EXPECT_TRUE(minimised());
    // Under heavy load the two clicks may land further apart than a double-click's interval;
    // a few tries tell that from a double-click that does nothing.
    const auto shown = [&] { return !desktop.Windows(program.Pid(), kTitle, true).empty(); };
    bool restored = false;
    for (int attempt = 0; attempt < 3 && !restored; ++attempt) {
        ASSERT_TRUE(
            desktop.Tool({"xdotool", "click", "--repeat", "2", "--delay", "60", "1"}).code == 0);
        restored = WaitFor(shown, 8s);
    }
    ASSERT_TRUE(restored) << desktop.WindowStates(window);
    EXPECT_FALSE(minimised());
    ASSERT_TRUE(WaitFor([&] { return EmbeddedIconCentre(desktop).empty(); }, 20s));

    // Now closing hides in the tray; when the panel goes, the window comes to the task list.
    CloseWindow(desktop, window);
    ASSERT_TRUE(WaitFor([&] { return desktop.Windows(program.Pid(), kTitle, true).empty(); }, 20s));
    EXPECT_FALSE(minimised());
    panel->Signal(SIGTERM);
    ASSERT_TRUE(WaitFor(minimised, 20s)) << desktop.WindowStates(window);
    EXPECT_TRUE(LogSays("The notification area went away")) << ProgramLog();

    ASSERT_TRUE(desktop.Activate(window));
    ASSERT_TRUE(desktop.Keys({"ctrl+q"}));
    EXPECT_EQ(program.Wait(20s), 0) << ProgramLog();
}

TEST_F(DesktopSessionTest, WithoutATrayCloseMinimisesAndTheReadyGameIsANotificationThatInstalls) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.Ready());
    const fs::path notifications = desktop.Folder() / "notifications.jsonl";
    ASSERT_TRUE(desktop.StartNotificationService(notifications));
    CliProcess& program = StartProgram(desktop);
    const std::string window = WaitForWindow(desktop, program);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(LogSays("was authenticated")) << ProgramLog();
    EXPECT_TRUE(desktop.Grab(kArtifacts / "desktop-notray-window.png"));
    OpenWindowMenu(desktop, program, window);
    EXPECT_TRUE(desktop.Grab(kArtifacts / "desktop-notray-menu.png"));
    ASSERT_TRUE(desktop.Keys({"Escape"}));

    CloseWindow(desktop, window);
    // Minimised, never hidden: the task list still has it.
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string states = desktop.WindowStates(window);
            return states.find("_NET_WM_STATE_HIDDEN") != std::string::npos &&
                   states.find("Iconic") != std::string::npos;
        },
        20s))
        << desktop.WindowStates(window);
    EXPECT_TRUE(program.Running());
    EXPECT_TRUE(desktop.Grab(kArtifacts / "desktop-notray-minimised.png"));

    AddGameThroughSecondStart(desktop, "single-file-game");
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(notifications).empty(); }, 30s)) << ProgramLog();
    // Exactly one, even a moment later.
    WaitFor([] { return false; }, 500ms);
    const std::string record = ReadFile(notifications);
    fs::copy_file(notifications, kArtifacts / "desktop-notray-notification.jsonl",
                  fs::copy_options::overwrite_existing);
    ASSERT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
    const QJsonObject notify = QJsonDocument::fromJson(QByteArray::fromStdString(record)).object();
    EXPECT_EQ(notify[QStringLiteral("summary")].toString(), QStringLiteral("Single File Game"));
    EXPECT_EQ(notify[QStringLiteral("body")].toString(),
              QStringLiteral("Downloaded and ready to install"));
    EXPECT_EQ(notify[QStringLiteral("app")].toString(), QStringLiteral("Velkora Downloader"));
    EXPECT_TRUE(notify[QStringLiteral("actions")].toArray().contains(QStringLiteral("default")));
    EXPECT_TRUE(OpenerRecord().empty()) << "nothing starts before the click";

    // The user clicks it: the checked installer goes to the desktop's opener.
    const int id = notify[QStringLiteral("id")].toInt();
    ASSERT_EQ(desktop
                  .Tool({"dbus-send", "--bus=" + desktop.BusAddress(), "--print-reply",
                         "--dest=org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.velk.test.Notifications.Invoke", "uint32:" + std::to_string(id),
                         "string:default"})
                  .code,
              0);
    ASSERT_TRUE(WaitFor([&] { return !OpenerRecord().empty(); }, 10s)) << ProgramLog();
    WaitFor([] { return false; }, 300ms);
    const std::string opened = OpenerRecord();
    EXPECT_EQ(std::count(opened.begin(), opened.end(), '\n'), 1) << opened;
    EXPECT_EQ(opened.rfind("file://", 0), 0u) << opened;
    EXPECT_NE(opened.find("single.bin\n"), std::string::npos) << opened;

    // Back from the task list: the window is as it was; Ctrl+Q quits.
    ASSERT_TRUE(desktop.Activate(window));
    ASSERT_TRUE(WaitFor(
        [&] {
            return desktop.WindowStates(window).find("_NET_WM_STATE_HIDDEN") == std::string::npos;
        },
        20s));
    ASSERT_TRUE(desktop.Keys({"ctrl+q"}));
    EXPECT_EQ(program.Wait(20s), 0) << ProgramLog();
}

TEST_F(DesktopSessionTest, WithoutATrayAndWithNobodyOwningTheNotificationServiceNothingHangs) {
    XDesktop desktop;
    RunWithoutTrayOrNotifications(desktop);
}

TEST_F(DesktopSessionTest, WithoutATrayAndWithoutASessionBusNothingHangs) {
    XDesktop desktop(XDesktop::Options{.sessionBus = false});
    RunWithoutTrayOrNotifications(desktop);
}

TEST_F(DesktopSessionTest, OnAStatusNotifierTrayOneActivationShowsTheWindowAndTheMenuIsExported) {
    XDesktop desktop;
    ASSERT_TRUE(desktop.Ready());
    const fs::path items = desktop.Folder() / "items.tsv";
    ASSERT_TRUE(desktop.StartStatusNotifierWatcher(items));
    CliProcess& program = StartProgram(desktop, {"/minimized"});
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(items).empty(); }, 20s)) << ProgramLog();
    const std::string item = ReadFile(items);
    const std::string service = item.substr(0, item.find('\t'));
    const std::string path =
        item.substr(item.find('\t') + 1, item.find('\n') - item.find('\t') - 1);
    // In the tray: nothing of the program on the screen.
    EXPECT_TRUE(desktop.Windows(program.Pid(), "", true).empty());

    const auto call = [&](std::vector<std::string> args) {
        std::vector<std::string> command = {"dbus-send", "--bus=" + desktop.BusAddress(),
                                            "--print-reply", "--dest=" + service};
        command.insert(command.end(), args.begin(), args.end());
        return desktop.Tool(command);
    };
    const XDesktop::ToolResult menu = call({path, "org.freedesktop.DBus.Properties.Get",
                                            "string:org.kde.StatusNotifierItem", "string:Menu"});
    ASSERT_EQ(menu.code, 0);
    const size_t quoted = menu.out.find("object path \"/");
    ASSERT_NE(quoted, std::string::npos) << menu.out;
    const std::string menuPath =
        menu.out.substr(quoted + 13, menu.out.find('"', quoted + 13) - quoted - 13);
    EXPECT_NE(menuPath, "/NO_DBUSMENU");
    // The host reads the entries from there.
    const XDesktop::ToolResult layout = call({menuPath, "com.canonical.dbusmenu.GetLayout",
                                              "int32:0", "int32:-1", "array:string:label"});
    for (const char* entry :
         {"Run at startup", "Open Downloader", "Check for updates", "Help", "About", "Quit"}) {
        EXPECT_NE(layout.out.find(entry), std::string::npos) << entry << "\n" << layout.out;
    }

    // One activation, as the host sends for a click.
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(call({path, "org.kde.StatusNotifierItem.Activate", "int32:0", "int32:0"}).code, 0);
    const std::string window = WaitForWindow(desktop, program);
    ASSERT_FALSE(window.empty());
    std::printf("[desktop] activation to window shown: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - asked)
                                           .count()));

    // The window's own menu quits too: its last entry.
    ASSERT_TRUE(desktop.Activate(window));
    OpenWindowMenu(desktop, program, window);
    ASSERT_TRUE(desktop.Keys({"Up", "Return"}));
    EXPECT_EQ(program.Wait(20s), 0) << ProgramLog();
}

}  // namespace
