#include "app/CVelkDownloaderApp.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "core/DebugFlags.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"
#include "core/WideFormat.h"
#include "platform/DesktopEntries.h"
#include "platform/KnownFolders.h"

namespace fs = std::filesystem;

namespace {

// The stored folder is read into a buffer of 520 bytes: a longer value does not fit and counts
// as absent.
constexpr size_t kMaxStoredFolderLength = 260;
constexpr int32_t kDefaultConnections = 6;
constexpr uint32_t kMaxConnections = 20;

std::u16string ToWide(const fs::path& path) {
    return Utf8ToWide(path.string());
}

// Creates the folder with any missing parents: on a fresh account even ~/.local/share or the
// documents folder may not exist yet.
void CreateFolder(const std::u16string& folder) {
    const fs::path path(WideToUtf8(folder));
    std::error_code error;
    fs::create_directories(path, error);
    if (!fs::is_directory(path, error)) {
        throw FolderException(folder);
    }
}

}  // namespace

std::u16string FolderException::Message() const {
    return FormatWide(format, path);
}

CVelkDownloaderApp::CVelkDownloaderApp(StartupUi& ui, Options options)
    : ui_(ui), options_(std::move(options)) {}

CVelkDownloaderApp::~CVelkDownloaderApp() {
    Shutdown();
}

std::u16string CVelkDownloaderApp::DefaultDataFolder() {
    return NormaliseFolder(ToWide(DataHomeFolder()) + u"/VelkDownloader/");
}

StartupOutcome CVelkDownloaderApp::InitInstance() {
    registry_ = options_.registry ? options_.registry : Registry::Open(Registry::DefaultPath());
    if (registry_) {
        settingsKey_ = RegistryKey::Create(registry_, kSettingsKeyPath);
    } else {
        // The file is left as it is (it may be rescued by hand); this run keeps nothing.
        Logger().Error(
            u"Cannot open the settings store %s: it is damaged, not a database, locked by "
            u"another program or its disk is full. Settings and downloads are not kept this time.",
            ToWide(Registry::DefaultPath()));
    }
    ReadDownloadFolderSetting();
    SetDebugFlags(settingsKey_ ? settingsKey_->QueryDword(u"Debug").value_or(0) : 0);

    try {
        if (GetDownloadFolder().empty()) {
            const std::u16string folder =
                NormaliseFolder(ToWide(DocumentsFolder()) + u"/Velkora Downloads/");
            CreateFolder(folder);
            std::lock_guard lock(folderLock_);
            downloadFolder_ = folder;
        }
        const std::u16string data = DefaultDataFolder();
        CreateFolder(data);
        std::lock_guard lock(folderLock_);
        dataFolder_ = data;
    } catch (const FolderException& failure) {
        ui_.ShowError(failure.Message());
        return StartupOutcome::Failed;
    }

    switch (AcquireOrHandOver()) {
        case InstanceLock::Result::First:
            break;
        case InstanceLock::Result::AlreadyRunning:
            return FinishSecondInstance();
        case InstanceLock::Result::Failed: {
            // Never silently: without a word the user can't tell why nothing started.
            const std::u16string text =
                u"Cannot tell whether VelkDownloader is already running, so it does not start: " +
                Utf8ToWide(instanceLock_.Error());
            Logger().Error(u"%s", text);
            ui_.ShowError(text);
            return StartupOutcome::Failed;
        }
    }

    handOff_ = HandOffReceiver::Create();
    if (!handOff_) {
        // The window runs without it; later starts then report that they can't reach us.
        Logger().Warning(u"Could not create the interprocess hand-off objects.");
    } else if (handOff_->Names() != HandOffNames::Usual()) {
        Logger().Warning(
            u"The usual interprocess hand-off names are held by someone else; using %s instead.",
            Utf8ToWide(handOff_->Names().token));
    }
    RegisterUrlScheme(ProgramPath());  // best effort, as the user may have chosen another handler
    if (concurrentConnections_.load() == -1) {
        LoadTransferSettings();
    }
    return StartupOutcome::RunWindow;
}

InstanceLock::Result CVelkDownloaderApp::AcquireOrHandOver() {
    // The holder of the lock may have no hand-off objects for a moment: a first instance between
    // taking the lock and making them, or a short command (velkdownloader-cli remove) that holds
    // the lock and never makes them. Rather than fail at once, this start tries again for a
    // while: it hands its command line over once the objects are there, or becomes the first
    // instance once the lock is free.
    const auto deadline = std::chrono::steady_clock::now() + options_.lockHolderWait;
    for (;;) {
        const InstanceLock::Result acquired = instanceLock_.Acquire();
        if (acquired != InstanceLock::Result::AlreadyRunning) {
            return acquired;
        }
        lastSend_ = SendHandOff(options_.commandLine, options_.handOffWait);
        if (lastSend_ != HandOffSendResult::NoToken ||
            std::chrono::steady_clock::now() >= deadline) {
            return acquired;
        }
        std::this_thread::sleep_for(kLockHolderPoll);
    }
}

StartupOutcome CVelkDownloaderApp::FinishSecondInstance() {
    const std::u16string error = HandOffErrorText(lastSend_);
    if (!error.empty()) {
        ui_.ShowError(error);
        return StartupOutcome::Failed;
    }
    return StartupOutcome::SecondInstance;
}

void CVelkDownloaderApp::Shutdown() {
    handOff_.reset();
    instanceLock_.Release();
}

int CVelkDownloaderApp::ExitInstance() {
    Shutdown();
    settingsKey_.reset();
    return 0;
}

void CVelkDownloaderApp::ReadDownloadFolderSetting() {
    if (!settingsKey_) {
        return;
    }
    std::optional<std::u16string> stored = settingsKey_->QueryString(u"DownloadFolder");
    if (!stored || stored->size() > kMaxStoredFolderLength) {
        return;
    }
    // Read as a C string: an embedded zero ends it.
    stored->resize(std::min(stored->find(u'\0'), stored->size()));
    SetDownloadFolder(*stored, false);
}

bool CVelkDownloaderApp::SetDownloadFolder(const std::u16string& path, bool persist) {
    const std::u16string folder = NormaliseFolder(path);
    {
        std::lock_guard lock(folderLock_);
        downloadFolder_ = folder;
    }
    if (!persist) {
        return true;
    }
    return settingsKey_ && settingsKey_->SetString(u"DownloadFolder", folder);
}

std::u16string CVelkDownloaderApp::GetDownloadFolder() const {
    std::lock_guard lock(folderLock_);
    return downloadFolder_;
}

std::u16string CVelkDownloaderApp::GetDataFolder() const {
    std::lock_guard lock(folderLock_);
    return dataFolder_;
}

bool CVelkDownloaderApp::SetRunAtStartup(bool on) {
    return ::SetRunAtStartup(on, ProgramPath());
}

void CVelkDownloaderApp::LoadTransferSettings() {
    int32_t count = kDefaultConnections;
    // The value is taken out of the optional once: GCC 12 at -Os reports a false "may be used
    // uninitialized" for each dereference inside the conditional expression.
    if (const std::optional<uint32_t> stored =
            settingsKey_ ? settingsKey_->QueryDword(u"ConcurrentConnections") : std::nullopt) {
        const uint32_t value = stored.value();
        // Compared unsigned, so a negative value stored by hand also ends at the maximum.
        count = value == 0                ? 1
                : value > kMaxConnections ? static_cast<int32_t>(kMaxConnections)
                                          : static_cast<int32_t>(value);
    }
    concurrentConnections_.store(count);
    if (const std::optional<uint32_t> rate =
            settingsKey_ ? settingsKey_->QueryDword(u"MaxDownloadRate") : std::nullopt) {
        maxDownloadRate_.store(rate.value());
    }
}

fs::path CVelkDownloaderApp::ProgramPath() const {
    return options_.programPath.empty() ? CurrentProgramPath() : options_.programPath;
}
