#include "support/XDesktop.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "support/FileFixtures.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A session bus with no service files (nothing is started on demand) and no limits on who may
// own or call what: the test's own programs are all there is on it.
constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@FOLDER@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

}  // namespace

XDesktop::XDesktop() : XDesktop(Options{}) {}

XDesktop::XDesktop(Options options) {
    for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        savedEnvironment_.emplace_back(name, value != nullptr ? value : "\x01");
    }
    // The window manager has been seen, rarely and only while the whole suite runs, to end at
    // once on a new X server without a word, twice in a row; a whole new session (X server
    // included) is then tried once more before the test gives up with what was seen.
    std::string why;
    for (int session = 1; session <= 2 && !ready_; ++session) {
        ready_ = StartSession(options, &why);
        if (!ready_) {
            StopProcesses();
        }
    }
    if (!ready_) {
        ADD_FAILURE() << why;
    }
}

bool XDesktop::StartSession(const Options& options, std::string* why) {
    // Xvfb picks a free display number and prints it: tests run side by side.
    CliProcess& x = Start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten",
                                   "tcp", "-nolisten", "unix-abstract"});
    if (!WaitFor([&] { return x.Out().find('\n') != std::string::npos; }, 15s)) {
        *why = "Xvfb did not start: " + x.Err();
        return false;
    }
    display_ = ":" + FirstLine(x.Out());
    setenv("DISPLAY", display_.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");

    if (options.sessionBus) {
        const fs::path config = folder_.Path() / "bus.conf";
        std::string text = kBusConfig;
        text.replace(text.find("@FOLDER@"), 8, folder_.Path().string());
        WriteFile(config, text);
        CliProcess& bus = Start(
            "dbus-daemon", {"--nofork", "--config-file=" + config.string(), "--print-address=1"});
        if (!WaitFor([&] { return bus.Out().find('\n') != std::string::npos; }, 10s)) {
            *why = "dbus-daemon did not start: " + bus.Err();
            return false;
        }
        busAddress_ = FirstLine(bus.Out());
        setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
    }

    // The window manager is in charge once it names its check window on the root. One that ends
    // or stays silent is started once more.
    std::string lastAnswer;
    const auto managed = [&] {
        lastAnswer = Tool({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).out;
        return lastAnswer.find("window id") != std::string::npos;
    };
    for (int attempt = 1;; ++attempt) {
        CliProcess& windowManager = Start("openbox");
        if (WaitFor(managed, 20s)) {
            return true;
        }
        const bool running = windowManager.Running();
        if (running) {
            windowManager.Signal(SIGKILL);
        }
        const int status = windowManager.Wait();
        if (attempt == 2) {
            std::ostringstream text;
            text << "openbox did not start on " << display_ << " ("
                 << (running ? "running" : "ended") << ", status " << status << "; X server "
                 << (x.Running() ? "running" : "ended")
                 << "; the root's check window: " << lastAnswer << "): " << windowManager.Err()
                 << windowManager.Out();
            *why = text.str();
            return false;
        }
    }
}

void XDesktop::StopProcesses() {
    // Everything asked to end in the reverse order of its start (the X server last); what does
    // not end in time is killed by its CliProcess.
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        CliProcess& process = **it;
        if (process.Running()) {
            process.Signal(SIGTERM);
            WaitFor([&] { return !process.Running(); }, 3s);
        }
        it->reset();
    }
    processes_.clear();
}

XDesktop::~XDesktop() {
    StopProcesses();
    for (const auto& [name, value] : savedEnvironment_) {
        if (value == "\x01") {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

CliProcess& XDesktop::Start(const fs::path& program, std::vector<std::string> args,
                            std::vector<std::string> environment) {
    CliProcess::Options options;
    options.program = program;
    options.args = std::move(args);
    options.logFolder = folder_.Path();
    options.environment = std::move(environment);
    processes_.push_back(std::make_unique<CliProcess>(options));
    return *processes_.back();
}

XDesktop::ToolResult XDesktop::Tool(std::vector<std::string> command, std::chrono::seconds limit) {
    CliProcess::Options options;
    options.program = command.front();
    options.args.assign(command.begin() + 1, command.end());
    options.logFolder = folder_.Path();
    CliProcess tool(options);
    ToolResult result;
    result.code = tool.Wait(limit);
    result.out = tool.Out();
    return result;
}

CliProcess* XDesktop::StartTrayPanel() {
    CliProcess& panel = Start(
        "trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "160",
                   "--heighttype", "pixel", "--height", "32", "--SetDockType", "true"});
    // trayer takes the tray selection a moment after it starts; a program that looks before
    // then finds no tray.
    const bool owned =
        Tool({HelperProgram("x_desktop_tool").string(), "tray", "10"}, 15s).code == 0;
    return owned ? &panel : nullptr;
}

bool XDesktop::WaitForBusName(const std::string& name) {
    return WaitFor(
        [&] {
            return Tool({"dbus-send", "--bus=" + busAddress_, "--print-reply",
                         "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus.NameHasOwner", "string:" + name})
                       .out.find("boolean true") != std::string::npos;
        },
        10s);
}

bool XDesktop::StartHelper(const std::string& name, const fs::path& record) {
    Start(HelperProgram(name), {record.string()});
    return true;
}

bool XDesktop::StartNotificationService(const fs::path& record) {
    StartHelper("dbus_notifications_standin", record);
    return WaitForBusName("org.freedesktop.Notifications");
}

bool XDesktop::StartStatusNotifierWatcher(const fs::path& record) {
    StartHelper("dbus_tray_watcher_standin", record);
    return WaitForBusName("org.kde.StatusNotifierWatcher");
}

std::vector<std::string> XDesktop::Windows(pid_t pid, const std::string& title, bool viewable) {
    std::vector<std::string> command = {"xdotool", "search"};
    if (viewable) {
        command.push_back("--onlyvisible");
    }
    command.insert(command.end(), {"--pid", std::to_string(pid)});
    if (!title.empty()) {
        // Both conditions, not either (xdotool's default).
        command.insert(command.end(), {"--all", "--name", "^" + title + "$"});
    }
    std::istringstream lines(Tool(command).out);
    std::vector<std::string> windows;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            windows.push_back(line);
        }
    }
    return windows;
}

std::string XDesktop::WindowStates(const std::string& window) {
    return Tool({"xprop", "-id", window, "_NET_WM_STATE", "WM_STATE"}).out;
}

std::vector<int> XDesktop::Geometry(const std::string& window) {
    // xwininfo's absolute position is the client area's (xdotool's counts the frame in twice).
    std::istringstream lines(Tool({"xwininfo", "-id", window}).out);
    std::vector<int> geometry(4, 0);
    const std::vector<std::string> names = {
        "Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"};
    for (std::string line; std::getline(lines, line);) {
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t at = line.find(names[i]);
            if (at != std::string::npos) {
                geometry[i] = std::atoi(line.c_str() + at + names[i].size());
            }
        }
    }
    return geometry;
}

bool XDesktop::Activate(const std::string& window) {
    return Tool({"xdotool", "windowactivate", "--sync", window}).code == 0;
}

bool XDesktop::Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> command = {"xdotool", "key", "--clearmodifiers", "--delay", "80"};
    command.insert(command.end(), keys.begin(), keys.end());
    return Tool(command).code == 0;
}

bool XDesktop::Click(int x, int y, int button) {
    return Tool({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click",
                 std::to_string(button)})
               .code == 0;
}

bool XDesktop::Grab(const fs::path& png) {
    fs::create_directories(png.parent_path());
    return Tool({HelperProgram("x_desktop_tool").string(), "grab", png.string()}).code == 0;
}
