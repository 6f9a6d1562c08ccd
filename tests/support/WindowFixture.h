#pragma once
// The real main window on Qt's offscreen platform, against the local test store, in a home of its
// own: the application's start-up as the program runs it (this test program is the first
// instance), a launcher that records what the window would start, and waits that keep Qt's event
// loop running, since the window only learns anything through its events.
#include <dirent.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "app/ProgramCore.h"
#include "core/TextUtil.h"
#include "platform/Registry.h"
#include "support/QtTestApp.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "ui/CVelkDownloaderDlg.h"
#include "ui/DesktopLauncher.h"

class RecordingLauncher final : public DesktopLauncher {
public:
    void OpenUrl(const std::u16string& url) override { urls.push_back(url); }
    void RunInstaller(const std::u16string& path) override { installers.push_back(path); }

    std::vector<std::u16string> urls;
    std::vector<std::u16string> installers;
};

class ErrorRecorder final : public StartupUi {
public:
    void ShowError(const std::u16string& text) override { errors.push_back(text); }
    std::vector<std::u16string> errors;
};

// Keeps Qt's events flowing until `condition` holds or the limit passes; whether it held.
template <class Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
}

// Acts on every modal dialog of type T that opens while the object lives (the window's dialogs
// run their own loops, so a test answers them from a timer), and counts them. Give each answerer
// a scope of its own: one that still lives answers the next dialog of its type too.
template <class T>
class DialogAnswerer {
public:
    explicit DialogAnswerer(std::function<void(T&)> answer) : answer_(std::move(answer)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            T* typed = dynamic_cast<T*>(dialog);
            // Marked on the object itself: a later dialog may well get the same address.
            if (typed == nullptr || dialog->property(kAnsweredProperty).toBool()) {
                return;
            }
            dialog->setProperty(kAnsweredProperty, true);
            ++count_;
            answer_(*typed);
        });
        timer_.start();
    }
    int Count() const { return count_; }

private:
    static constexpr const char* kAnsweredProperty = "velkTestAnswered";
    std::function<void(T&)> answer_;
    QTimer timer_;
    int count_ = 0;
};

// ThreadSanitizer starts a background thread of its own, lazily and under the process's name.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSanitizerThreads = 1;
#else
inline constexpr int kSanitizerThreads = 0;
#endif

// The threads of this process that carry the process's own name: ours. Qt names the threads it
// starts for itself (its pool, its event readers), and those come and go as it pleases.
inline int OwnThreadCount() {
    const auto nameOf = [](const std::string& task) {
        std::ifstream comm("/proc/self/task/" + task + "/comm");
        std::string name;
        std::getline(comm, name);
        return name;
    };
    std::ifstream processName("/proc/self/comm");
    std::string ownName;
    std::getline(processName, ownName);
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.' && nameOf(entry->d_name) == ownName) {
                ++count;
            }
        }
        closedir(tasks);
    }
    return count;
}

class WindowFixture {
public:
    WindowFixture() {
        QtTestApp();
        store.UseInEnvironment();
        registry = Registry::Open(Registry::DefaultPath());
    }
    ~WindowFixture() {
        if (ownedWindow && !ownedWindow->Quitting()) {
            ownedWindow->Quit();
        }
        ownedWindow.reset();
        if (app) {
            app->Shutdown();
            app->ExitInstance();
        }
    }

    std::shared_ptr<RegistryKey> Settings() {
        std::optional<RegistryKey> key =
            RegistryKey::Create(registry, CVelkDownloaderApp::kSettingsKeyPath);
        return key ? std::make_shared<RegistryKey>(std::move(*key)) : nullptr;
    }

    // A token the store accepts, stored as a sign-in of an earlier run would have stored it.
    void StoreSignIn() {
        store.AddToken("window-token-0123456789", "window-secret-0123456789");
        std::shared_ptr<RegistryKey> settings = Settings();
        settings->SetString(u"token", u"window-token-0123456789");
        settings->SetString(u"secret", u"window-secret-0123456789");
    }

    // Runs start-up with `arguments` as the command line and builds the window; Initialise is
    // left to the test.
    CVelkDownloaderDlg& MakeWindow(std::vector<const char*> arguments = {}) {
        arguments.insert(arguments.begin(), "velkdownloader");
        CVelkDownloaderApp::Options options;
        options.registry = registry;
        options.commandLine = JoinCommandLine(arguments);
        app = std::make_unique<CVelkDownloaderApp>(startupErrors, options);
        EXPECT_EQ(app->InitInstance(), StartupOutcome::RunWindow);
        CVelkDownloaderDlg::Services services{*app, registry, launcher};
        services.chooseFolder = [this](QWidget*, const QString& title, const QString& start) {
            chooserTitles.push_back(title);
            chooserStarts.push_back(start);
            return chosenFolder;
        };
        services.onQuit = [this] { ++quitCalls; };
        services.engine.connectivity.retryDelayMs = 200;
        ownedWindow = std::make_unique<CVelkDownloaderDlg>(services, app->CommandLine());
        return *ownedWindow;
    }

    CVelkDownloaderDlg& StartWindow(std::vector<const char*> arguments = {}) {
        CVelkDownloaderDlg& made = MakeWindow(std::move(arguments));
        EXPECT_TRUE(made.Initialise());
        return made;
    }

    ItemLifecycle& Lifecycle() { return ownedWindow->Core().Lifecycle(); }

    bool SignedInAndOnline(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return PumpUntil([this] { return Lifecycle().SignedIn() && Lifecycle().Online(); }, limit);
    }

    // The item's state once it settled in `state`; false after the limit.
    bool ItemReaches(const std::u16string& name, ItemState state,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return PumpUntil(
            [&] {
                const DownloadInfo* item = Lifecycle().FindItem(name);
                return item != nullptr && item->state == state;
            },
            limit);
    }

    TempHome home;
    TestStore store;
    std::shared_ptr<Registry> registry;
    ErrorRecorder startupErrors;
    RecordingLauncher launcher;
    std::optional<QString> chosenFolder;
    std::vector<QString> chooserTitles;
    std::vector<QString> chooserStarts;
    int quitCalls = 0;
    std::unique_ptr<CVelkDownloaderApp> app;
    std::unique_ptr<CVelkDownloaderDlg> ownedWindow;
};
