#include "cli/RemoveCommand.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "app/CVelkDownloaderApp.h"
#include "app/ItemLifecycle.h"
#include "cli/ExitCodes.h"
#include "cli/TerminalRows.h"
#include "core/EscapeControls.h"
#include "core/MessageIds.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "engine/RemovalFiles.h"
#include "platform/InstanceLock.h"
#include "platform/Registry.h"

namespace {

// The download engine as far as a removal needs it: the request is kept, and carried out once
// the lifecycle has handed it over, the way the scheduler carries out a removal of a game that
// is not downloading (nothing downloads here).
class RemovalEngine final : public DownloadEngineControl {
public:
    struct Removal {
        DownloadInfo record;
        bool deleteFiles = false;
    };

    void RequestDownload(const DownloadInfo&) override {}
    void RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                        const std::u16string&) override {
        removals.push_back(Removal{record, deleteFiles});
    }
    void DeliverLink(uint32_t, const std::u16string&, uint64_t) override {}
    void Pause() override {}
    void Resume() override {}
    void Shutdown() override {}

    std::vector<Removal> removals;
};

// Nothing is asked of the store, read in the background or checked here.
class IdleStore final : public StoreRequests {
public:
    void RequestDetails(const std::u16string&, const std::u16string&) override {}
    void RequestLink(const std::u16string&, uint64_t, uint32_t, uint64_t) override {}
    void CancelDetails(const std::u16string&) override {}
    void RequestLogin(const std::u16string&, const std::u16string&) override {}
    void Logout() override {}
    void Stop() override {}
};

class IdleLoader final : public ItemLoader {
public:
    void Enqueue(const DownloadInfo&) override {}
    void Stop() override {}
};

class IdleInstallerChecks final : public InstallerChecks {
public:
    void Check(const std::u16string&, const std::u16string&, const std::u16string&) override {}
    void Stop() override {}
};

// The user asked on the command line: the lifecycle's question is answered Yes. Nothing else
// is shown.
class ConfirmingUi final : public LifecycleUi {
public:
    Answer AskUser(AskStyle style, const std::u16string&) override {
        return style == AskStyle::YesNoQuestion ? Answer::Yes : Answer::Ok;
    }
    void OpenUrl(const std::u16string&) override {}
    void RunInstaller(const std::u16string&) override {}
    void ShowReadyBalloon(const std::u16string&) override {}
    void UpdateTrayIcon(bool) override {}
    void SetStatusMode(StatusMode) override {}
    void SetSpeed(uint32_t) override {}
    void SetHeaderMode(HeaderMode, bool) override {}
    void SetLoginLinkEnabled(bool) override {}
    void SetUser(const std::u16string&, const std::u16string&) override {}
    bool ShowLoginDialog(std::u16string&, std::u16string&) override { return false; }
};

// Takes the instance lock; false after saying why it can't be had.
bool LockInstance(InstanceLock& lock, const std::u16string& name) {
    switch (lock.Acquire()) {
        case InstanceLock::Result::First:
            return true;
        case InstanceLock::Result::AlreadyRunning:
            PrintError("VelkDownloader is running; remove " + WideToUtf8(name) +
                       " from its window, or quit it first");
            return false;
        case InstanceLock::Result::Failed:
            break;
    }
    PrintError("Cannot tell whether VelkDownloader is already running, so nothing is removed: " +
               lock.Error());
    return false;
}

// Carries out the removals the lifecycle asked for, as the scheduler does, and answers each
// with the release that lets the lifecycle drop the record. Returns the files deleted.
size_t CarryOut(RemovalEngine& engine, ItemLifecycle& lifecycle) {
    size_t deleted = 0;
    for (const RemovalEngine::Removal& removal : engine.removals) {
        if (removal.deleteFiles) {
            deleted += DeleteDownloadFiles(removal.record);
        }
        lifecycle.HandleMessage(ItemReleased{removal.record.name});
    }
    engine.removals.clear();
    return deleted;
}

bool RecordStored(const std::shared_ptr<Registry>& registry, const std::u16string& name) {
    std::optional<RegistryKey> key = OpenDownloadsKey(registry);
    return key && key->Query(name).has_value();
}

}  // namespace

int RemoveGame(const std::u16string& name, bool deleteFiles) {
    const std::string shownName = WideToUtf8(name);
    InstanceLock lock;
    if (!LockInstance(lock, name)) {
        return kExitFailed;
    }
    std::error_code error;
    const std::filesystem::path file = Registry::DefaultPath();
    std::shared_ptr<Registry> registry;
    if (std::filesystem::exists(file, error)) {
        registry = Registry::Open(file);
        if (!registry) {
            PrintError("cannot open the settings store " + file.string());
            return kExitFailed;
        }
    }

    TerminalRows rows(STDERR_FILENO, false);  // the lifecycle's list, never drawn
    RemovalEngine engine;
    IdleStore store;
    IdleLoader loader;
    IdleInstallerChecks checks;
    ConfirmingUi ui;
    ItemLifecycle lifecycle(ItemLifecycle::Services{
        rows, engine, store, loader, checks, ui, registry, CVelkDownloaderApp::DefaultDataFolder(),
        [] { return std::u16string(); }});
    // Paused, the lifecycle picks no item to download and so stores no other record for it.
    lifecycle.PauseAll();
    if (registry) {
        lifecycle.LoadStoredItems();
    }
    const DownloadInfo* item = lifecycle.FindItem(name);
    if (item == nullptr) {
        PrintError("no game " + shownName + " in the list");
        return kExitFailed;
    }
    const std::string title = WideToUtf8(item->title);
    lifecycle.OnRowCommand(WM_APP_REMOVE_ITEM, name, deleteFiles ? 1 : 0);
    const size_t deleted = CarryOut(engine, lifecycle);
    if (lifecycle.FindItem(name) != nullptr || RecordStored(registry, name)) {
        PrintError("could not remove " + shownName + " from the settings store");
        return kExitFailed;
    }
    std::string line = "Removed " + shownName;
    if (!title.empty()) {
        line += " (" + title + ")";
    }
    line += " from the list";
    if (deleteFiles) {
        line += ", and " + std::to_string(deleted) + " of its files from the disk";
    }
    std::printf("%s\n", EscapeControlsUtf8(line).c_str());
    std::fflush(stdout);
    return kExitDone;
}
