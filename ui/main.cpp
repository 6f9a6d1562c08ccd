// velkdownloader: the desktop program. The first start shows the main window (or only the tray
// icon with /minimized) and keeps running in the tray until "Quit"; a later start, typically by
// the browser with a velkdownloader://GAME address, hands its command line to the running one and
// ends without a window.
//
//   velkdownloader [velkdownloader://GAME] [/minimized]
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "core/DebugPrintf.h"
#include "core/TextUtil.h"
#include "platform/UniqueFd.h"
#include "ui/CVelkDownloaderDlg.h"
#include "ui/DesktopLauncher.h"
#include "ui/QtText.h"

namespace {

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

// The Qt application is made only once a window or a box is needed: a second start hands its
// command line over without touching the display at all.
class QtSession {
public:
    QtSession(int& argc, char** argv) : argc_(argc), argv_(argv) {}

    QApplication& Application() {
        if (!app_) {
            app_ = std::make_unique<QApplication>(argc_, argv_);
            // Closing the window hides it in the tray; only "Quit" ends the program.
            QApplication::setQuitOnLastWindowClosed(false);
        }
        return *app_;
    }

private:
    int& argc_;
    char** argv_;
    std::unique_ptr<QApplication> app_;
};

class MessageBoxStartupUi final : public StartupUi {
public:
    explicit MessageBoxStartupUi(QtSession& session) : session_(session) {}

    void ShowError(const std::u16string& text) override {
        // On standard error too: a start from a terminal or a script sees why it ended.
        std::fprintf(stderr, "velkdownloader: %s\n", WideToUtf8(text).c_str());
        if (!HasDisplay()) {
            return;
        }
        session_.Application();
        // Folder names are the user's, and may look like markup: shown as they are.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Velkora Downloader"), QString(),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.setText(ToQString(text));
        box.exec();
    }

private:
    QtSession& session_;
};

// SIGINT and SIGTERM (the session ending, a kill from the terminal) quit in the window's order,
// so nothing on disk is left half-written. The signals are blocked in every thread and read from
// a signalfd on the UI thread.
int BlockStopSignals() {
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    return signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

int main(int argc, char** argv) {
    Logger();  // opened before start-up, as the program's first object

    const std::u16string commandLine =
        JoinCommandLine(std::span<const char* const>(argv, static_cast<size_t>(argc)));
    std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
    QtSession session(argc, argv);
    MessageBoxStartupUi startupUi(session);

    CVelkDownloaderApp::Options options;
    options.registry = registry;
    options.commandLine = commandLine;
    CVelkDownloaderApp app(startupUi, options);
    if (app.InitInstance() != StartupOutcome::RunWindow) {
        return app.ExitInstance();
    }
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "velkdownloader: no display; use velkdownloader-cli on a machine without "
                     "one\n");
        app.Shutdown();
        app.ExitInstance();
        return 1;
    }

    UniqueFd stopSignals(BlockStopSignals());
    QApplication& qtApp = session.Application();
    {
        SystemDesktopLauncher launcher;
        CVelkDownloaderDlg::Services services{app, registry, launcher};
        services.onQuit = [] { QCoreApplication::quit(); };
        CVelkDownloaderDlg window(services, app.CommandLine());

        std::unique_ptr<QSocketNotifier> signalNotifier;
        if (stopSignals) {
            signalNotifier =
                std::make_unique<QSocketNotifier>(stopSignals.Get(), QSocketNotifier::Read);
            QObject::connect(
                signalNotifier.get(), &QSocketNotifier::activated, &window,
                [&window, fd = stopSignals.Get()] {
                    signalfd_siginfo info{};
                    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    }
                    window.Quit();
                });
        }
        window.Initialise();
        qtApp.exec();
    }
    stopSignals.Reset();
    app.Shutdown();
    return app.ExitInstance();
}
