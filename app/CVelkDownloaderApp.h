#pragma once
// The application object's start-up and shut-down, free of any user-interface toolkit: settings
// key, downloads and data folders, the "Debug" flags, the concurrent-connections setting, the URL
// handler entry, the first-instance decision and both sides of the hand-off. A front end
// constructs it with its StartupUi, calls InitInstance, runs its window when told to, then calls
// Shutdown and ExitInstance. Start-up and setters run on the user-interface thread; the getters
// may be called from any thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/DebugFlags.h"
#include "platform/HandOff.h"
#include "platform/InstanceLock.h"
#include "platform/Registry.h"

// What start-up needs from the front end. Errors are shown modally, with a stop icon.
class StartupUi {
public:
    virtual ~StartupUi() = default;
    virtual void ShowError(const std::u16string& text) = 0;
};

// A folder that start-up could not create; caught inside start-up.
class FolderException {
public:
    explicit FolderException(std::u16string folder) : path(std::move(folder)) {}
    std::u16string Message() const;

    std::u16string path;
    std::u16string format = u"Cannot create folder %s";
};

enum class StartupOutcome {
    RunWindow,       // first instance, set up: run the main window, then Shutdown
    SecondInstance,  // the command line was handed over (or dropped after the wait): end
    Failed,          // an error was shown: end
};

class CVelkDownloaderApp {
public:
    static constexpr std::u16string_view kSettingsKeyPath = u"Software\\Velkora\\VelkDownloader";
    static constexpr std::chrono::milliseconds kHandOffWait{60000};
    static constexpr std::chrono::milliseconds kLockHolderWait{5000};
    static constexpr std::chrono::milliseconds kLockHolderPoll{50};

    struct Options {
        std::shared_ptr<Registry> registry;  // null: the user's own store
        std::u16string commandLine;          // the arguments after the program path
        std::filesystem::path programPath;   // empty: the running program
        std::chrono::milliseconds handOffWait = kHandOffWait;
        // How long a start keeps trying while the lock's holder has no hand-off objects.
        std::chrono::milliseconds lockHolderWait = kLockHolderWait;
    };

    CVelkDownloaderApp(StartupUi& ui, Options options);
    ~CVelkDownloaderApp();
    CVelkDownloaderApp(const CVelkDownloaderApp&) = delete;
    CVelkDownloaderApp& operator=(const CVelkDownloaderApp&) = delete;

    StartupOutcome InitInstance();
    // Stops the hand-off listener, removes the hand-off objects and drops the instance lock.
    void Shutdown();
    // Closes the settings key; the process's exit code.
    int ExitInstance();

    // Normalised as a folder; persisted as "DownloadFolder" when asked. False when the write
    // was asked for and failed.
    bool SetDownloadFolder(const std::u16string& path, bool persist);
    std::u16string GetDownloadFolder() const;
    std::u16string GetDataFolder() const;
    // The per-user data folder that start-up makes: $XDG_DATA_HOME/VelkDownloader/.
    static std::u16string DefaultDataFolder();
    bool SetRunAtStartup(bool on);

    // 1 to 20 once loaded, -1 before; the engine and the settings dialog read and change it.
    int32_t GetConcurrentConnections() const { return concurrentConnections_.load(); }
    void SetConcurrentConnections(int32_t count) { concurrentConnections_.store(count); }
    // The "MaxDownloadRate" setting: the speed limit for all connections together, in KB/s
    // (1024 bytes); 0: none. Loaded with the connections.
    uint32_t GetMaxDownloadRate() const { return maxDownloadRate_.load(); }
    void SetMaxDownloadRate(uint32_t kilobytesPerSecond) {
        maxDownloadRate_.store(kilobytesPerSecond);
    }

    // The settings key, open from start-up to ExitInstance; null when the store failed.
    RegistryKey* SettingsKey() { return settingsKey_ ? &*settingsKey_ : nullptr; }
    // The first instance's receiver; null in a second instance or when it could not be made.
    HandOffReceiver* HandOff() { return handOff_.get(); }
    const std::u16string& CommandLine() const { return options_.commandLine; }
    // How the second instance's hand-off went (Delivered before any was tried).
    HandOffSendResult LastHandOffResult() const { return lastSend_; }

private:
    void ReadDownloadFolderSetting();
    // The "ConcurrentConnections" and "MaxDownloadRate" settings.
    void LoadTransferSettings();
    // Takes the instance lock, or hands the command line to its holder (lastSend_ tells how).
    InstanceLock::Result AcquireOrHandOver();
    // After a hand-off was tried: shows its error, if any.
    StartupOutcome FinishSecondInstance();
    std::filesystem::path ProgramPath() const;

    StartupUi& ui_;
    Options options_;
    std::shared_ptr<Registry> registry_;
    std::optional<RegistryKey> settingsKey_;
    mutable std::mutex folderLock_;
    std::u16string downloadFolder_;
    std::u16string dataFolder_;
    std::atomic<int32_t> concurrentConnections_{-1};
    std::atomic<uint32_t> maxDownloadRate_{0};
    InstanceLock instanceLock_;
    // Declared after the lock so it goes first: the objects are removed while we still hold it.
    std::unique_ptr<HandOffReceiver> handOff_;
    HandOffSendResult lastSend_ = HandOffSendResult::Delivered;
};
