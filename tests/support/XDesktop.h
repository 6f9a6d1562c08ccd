#pragma once
// A private desktop for one test, as a user's would be but all its own: an X server (Xvfb, on a
// display number it picks itself), a window manager (openbox), and a session bus (dbus-daemon
// with no service files, so nothing starts behind the test's back) unless the test wants none;
// on request a classic tray panel (trayer) and the stand-ins on the bus (tests/helpers/dbus_*).
// DISPLAY and DBUS_SESSION_BUS_ADDRESS (and QT_QPA_PLATFORM=xcb) point at it in this process's
// environment for the object's life, so every program a test starts lands on it; the tools that
// drive it (xdotool, xprop, xwininfo, dbus-send) run through Tool. Every process is started here
// and ended by its id when the object goes, the X server last. A missing program fails the test:
// they are in scripts/packages.txt. Used from the test thread; needs a TempHome already in place.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/CliProcess.h"
#include "support/TempHome.h"

class XDesktop {
public:
    struct Options {
        bool sessionBus = true;
    };

    XDesktop();  // with a session bus
    explicit XDesktop(Options options);
    ~XDesktop();
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    // Whether the X server, the window manager and the bus (if asked for) all came up.
    bool Ready() const { return ready_; }
    const std::string& Display() const { return display_; }
    const std::string& BusAddress() const { return busAddress_; }  // empty without a bus
    const std::filesystem::path& Folder() const { return folder_.Path(); }

    // Starts `program` with `args` on this desktop; it stays until the desktop goes (or the test
    // waits for it). `environment` ("NAME=value") is added to this process's own.
    CliProcess& Start(const std::filesystem::path& program, std::vector<std::string> args = {},
                      std::vector<std::string> environment = {});

    // Runs a tool to its end (within `limit`) and gives its exit code and standard output.
    struct ToolResult {
        int code = -1;
        std::string out;
    };
    ToolResult Tool(std::vector<std::string> command,
                    std::chrono::seconds limit = std::chrono::seconds(10));

    // trayer at the bottom right, once it holds the screen's tray selection (null if it does not
    // in time). The test may end it early, to take the tray away.
    CliProcess* StartTrayPanel();
    // A stand-in on the bus; `record` is the file it writes what it was told.
    bool StartNotificationService(const std::filesystem::path& record);
    bool StartStatusNotifierWatcher(const std::filesystem::path& record);

    // The windows of `pid` named `title` (any name if empty); with `viewable`, only those mapped.
    std::vector<std::string> Windows(pid_t pid, const std::string& title, bool viewable);
    // The window's _NET_WM_STATE and WM_STATE as xprop prints them.
    std::string WindowStates(const std::string& window);
    // The window's position and size on the screen: x, y, width, height.
    std::vector<int> Geometry(const std::string& window);
    // Gives the window the focus, as a click on it in the task list would.
    bool Activate(const std::string& window);
    // Presses keys (xdotool's names, e.g. "ctrl+q") on whatever has the focus.
    bool Keys(const std::vector<std::string>& keys);
    // Clicks `button` at the screen position (x, y).
    bool Click(int x, int y, int button);
    // Saves a picture of the whole screen as a PNG.
    bool Grab(const std::filesystem::path& png);

private:
    // Starts the X server, the bus when asked and the window manager; false with what went
    // wrong in `why`.
    bool StartSession(const Options& options, std::string* why);
    // Ends every process started, the last first.
    void StopProcesses();
    bool StartHelper(const std::string& name, const std::filesystem::path& record);
    bool WaitForBusName(const std::string& name);

    TempDir folder_;
    std::vector<std::unique_ptr<CliProcess>> processes_;
    std::vector<std::pair<std::string, std::string>> savedEnvironment_;
    std::string display_;
    std::string busAddress_;
    bool ready_ = false;
};
