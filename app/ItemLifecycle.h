#pragma once
// The download items and everything that happens to them: new items from velkdownloader:// URLs,
// the engines' and the loader's reports, the list's buttons and menus, the choice of the one
// active item, connectivity, sign-in, pause/resume of all transfers and the quit order.
// It owns the records (at most 100) and is their only writer, in memory and in the registry.
// Runs on the user-interface thread only; background threads reach it solely through posted
// messages, which the owner passes to HandleMessage. It never touches a toolkit: the list is a
// RowView, the engines and the front end are the interfaces of LifecycleServices.h.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/LifecycleServices.h"
#include "app/RowTexts.h"
#include "app/RowView.h"
#include "core/AppEvent.h"
#include "core/DownloadInfo.h"
#include "core/WideFormat.h"
#include "platform/FileIdentity.h"
#include "platform/Registry.h"

class ItemLifecycle final : public RowCommandSink {
public:
    static constexpr size_t kMaxItems = 100;
    // Failed joins in a row after which an item is given up instead of handed back again.
    static constexpr int kMaxJoinResubmits = 3;

    struct Services {
        RowView& rows;
        DownloadEngineControl& engine;
        StoreRequests& store;
        ItemLoader& loader;
        InstallerChecks& installerChecks;
        LifecycleUi& ui;
        std::shared_ptr<Registry> registry;
        std::u16string dataFolder;
        // The downloads folder in force now (the settings may change it while we run).
        std::function<std::u16string()> downloadFolder;
    };

    // Refused: the name is not one a store game can have (see GameName.h); it is logged and
    // dropped.
    enum class AddResult { Added, AlreadyListed, ListFull, Refused };

    // The signed-in user's stored pair; empty strings when none was stored.
    struct Credentials {
        std::u16string token;
        std::u16string secret;
    };

    explicit ItemLifecycle(Services services);
    ~ItemLifecycle() override;
    ItemLifecycle(const ItemLifecycle&) = delete;
    ItemLifecycle& operator=(const ItemLifecycle&) = delete;

    // Start-up: the stored records in list order, each with a paused row, queued for the loader
    // (which must run by now) with "Fetching data..." on its row; then the active item is chosen.
    void LoadStoredItems();
    // A game requested through a URL. ListFull: the list already holds kMaxItems items; the
    // request is logged as a warning and dropped.
    AddResult AddItemFromUrl(const std::u16string& name);

    // Every posted event of the engines, the store's threads, the loader, the installer checks,
    // the connectivity check and the speed meter; user-interface thread only.
    void HandleMessage(AppEvent event);
    // The list's buttons and menus, and its reordering.
    void OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) override;
    void OnRowOrderChanged() override;

    // The tray balloon's click: the installer of the item that completed last.
    void RunReadyInstaller();

    // Header commands.
    void PauseAll();
    void ResumeAll();
    void LoginLogoutCommand();
    // Stops, in this order and each to its end: the download engine, the loader, the installer
    // checks, the store's threads, then `last` (the speed meter) when given.
    void Quit(Stoppable* last);

    // The records, in insertion order.
    const std::vector<std::unique_ptr<DownloadInfo>>& Items() const { return items_; }
    DownloadInfo* FindItem(std::u16string_view name) const;
    // Takes a record into the list (or into the slot of the listed record of its name) and
    // persists it when asked. Returns the listed record, or nullptr when the list is full (the
    // record is then dropped).
    DownloadInfo* AddOrUpdateItem(std::unique_ptr<DownloadInfo> record, bool persist);
    // Stores a listed record under its name in the registry; write failures are ignored.
    void PersistItem(const DownloadInfo& record);
    // Stores several listed records in one write (a new order touches them all).
    void PersistItems(const std::vector<const DownloadInfo*>& records);
    // Drops the record of that name from the list and from the registry.
    void RemoveItemRecord(const std::u16string& name);
    void SelectActiveItem();
    void UpdateRow(DownloadInfo& record);
    void LayoutSegments(const DownloadInfo& record);

    // A message box through the front end; Answer::NotShown without asking while in the tray.
    template <class... Args>
    Answer AskUser(AskStyle style, std::u16string_view format, const Args&... args) {
        if (minimisedToTray_) {
            return Answer::NotShown;
        }
        return services_.ui.AskUser(style, FormatWide(format, args...));
    }

    // Window state the owner reports.
    void SetMinimisedToTray(bool minimised) { minimisedToTray_ = minimised; }
    void SetAutomaticInstall(bool on) { automaticInstall_ = on; }
    // Prefills the login dialog.
    void SetLoginPrefill(std::u16string email, std::u16string password);

    bool Online() const { return online_; }
    bool SignedIn() const { return signedIn_; }
    bool Paused() const { return paused_; }
    bool MinimisedToTray() const { return minimisedToTray_; }
    bool AutomaticInstall() const { return automaticInstall_; }
    const std::u16string& ActiveName() const { return activeName_; }
    const std::u16string& ReadyInstaller() const { return readyInstaller_; }

    // The "token" and "secret" values of the settings key.
    static Credentials ReadStoredCredentials(const std::shared_ptr<Registry>& registry);

private:
    // After a write of `record`: a failed write is logged and shown on its row until one works.
    void NoteStored(const DownloadInfo& record, bool stored);

    // Connectivity, sign-in, status bar and header (ItemLifecycleShell.cpp).
    void OnConnectionStatus(bool online);
    void OnAuthStarted();
    void OnAuthFailed();
    void OnUserAuthenticated(const UserAuthenticated& event);
    void UpdateStatusMode();
    void UpdateHeaderButtons();
    void UpdateTrayIcon();

    // Engine reports (EngineEvents.cpp).
    // The state a progress report puts an item in, unless all transfers are paused.
    void ShowProgressState(DownloadInfo& item, ItemState state);
    void OnChunkProgress(const ChunkProgress& report);
    void OnCombineProgress(const CombineProgress& report);
    void OnCheckProgress(const CheckProgress& report);
    void OnFileProgressReset(const FileProgressReset& event);
    void OnFileUnavailable(const FileUnavailable& event);
    // A reset for a restart carried out: the file's restart flag is done with.
    void OnRestartCarriedOut(const FileProgressReset& event);
    void OnItemPaused(const std::u16string& name);
    void OnCombineReset(const std::u16string& name);
    void OnItemFinished(const std::u16string& name, bool partially);
    void OnItemFailed(const ItemFailed& event);
    void OnItemResubmit(const ItemResubmit& event);
    void OnItemReleased(const std::u16string& name);
    void OnLinkNeeded(const LinkNeeded& request);
    void OnSpeedSample(uint64_t kilobytesPerSecond);
    // No file: the failure is the item's, not one file's.
    void MarkFailed(DownloadInfo& item, std::optional<uint64_t> fileId, ErrorKind kind);
    void MarkEverySegmentFailed(const DownloadInfo& item);
    // The listed item a report names, or nullptr after an Error line naming the report by its
    // message number (LogNumberOf).
    DownloadInfo* ItemForReport(uint32_t message, const std::u16string& name) const;
    // The file a report names, or nullptr after an Error line.
    FileInfo* FileForReport(DownloadInfo& item, uint64_t fileId) const;
    // The row's segment of a file, or nullptr when the row or its segment is missing.
    Segment* SegmentOf(const DownloadInfo& item, uint64_t fileId);

    // Details (DetailsEvents.cpp).
    void OnLocalDetails(LocalDetails& event);
    void OnGameDetails(DetailsReply& reply);
    void ApplyFullDetails(DownloadInfo& item, DownloadInfo& details);

    // The list's commands (RowCommands.cpp).
    void RemoveItemCommand(const std::u16string& name, bool deleteFiles);
    void OpenLinkCommand(const std::u16string& target);
    void RetryItemCommand(const std::u16string& name);

    // Installers (InstallerLaunch.cpp): one is started only when the very file on disk passed
    // its whole-file check in this run; otherwise it is checked first.
    void StartInstaller(const DownloadInfo& item);
    void NoteInstallerChecked(const std::u16string& path);
    void OnInstallerChecked(const InstallerCheck& check);
    void OnInstallerCheckProgress(const InstallerCheckProgress& report);
    // While its installer is checked, a completed item's row shows the check and its progress
    // (the active look, the installer's segment filling, "... - integrity check (x%)") in place
    // of a ready button that would seem to do nothing.
    void ShowInstallerCheck(const DownloadInfo& item);

    RowContext Context() const;

    Services services_;
    std::vector<std::unique_ptr<DownloadInfo>> items_;
    std::u16string activeName_;
    std::u16string readyInstaller_;
    std::u16string readyItem_;  // the name of the item readyInstaller_ belongs to
    // Installers that passed their check in this run, by normalised path, with the identity of
    // the file that passed (none when it could not be looked at; such an entry matches no file,
    // so the installer is checked again before it starts).
    std::map<std::u16string, std::optional<FileIdentity>> checkedInstallers_;
    std::set<std::u16string> installerChecksRunning_;
    // The games whose installer check the rows show, with the bytes checked so far.
    std::map<std::u16string, uint64_t> installerCheckShown_;
    bool online_ = false;
    bool signedIn_ = false;
    bool paused_ = false;
    bool minimisedToTray_ = false;
    bool automaticInstall_ = false;
    bool signOutRequested_ = false;
    std::u16string email_;
    std::u16string password_;
};
