#include "app/ItemLifecycle.h"

#include <algorithm>

#include "app/GameName.h"
#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/NormalisePath.h"
#include "core/Overloaded.h"
#include "core/RecordStore.h"

namespace {
// How much of a refused name the user's message shows.
constexpr size_t kShownGameNameLength = 60;
}  // namespace

ItemLifecycle::ItemLifecycle(Services services) : services_(std::move(services)) {}

ItemLifecycle::~ItemLifecycle() = default;

RowContext ItemLifecycle::Context() const {
    RowContext context;
    context.onlineAndSignedIn = online_ && signedIn_;
    context.dataFolder = services_.dataFolder;
    context.siteBaseUrl = SiteBaseUrl();
    return context;
}

void ItemLifecycle::UpdateRow(DownloadInfo& record) {
    ::UpdateRow(services_.rows, record, Context());
    if (record.state == ItemState::Completed && installerCheckShown_.count(record.name) != 0) {
        ShowInstallerCheck(record);
    }
}

void ItemLifecycle::LayoutSegments(const DownloadInfo& record) {
    ::LayoutSegments(services_.rows, record);
}

DownloadInfo* ItemLifecycle::FindItem(std::u16string_view name) const {
    for (const auto& item : items_) {
        if (item->name == name) {
            return item.get();
        }
    }
    return nullptr;
}

void ItemLifecycle::PersistItem(const DownloadInfo& record) {
    if (!services_.registry) {
        return;  // no settings store this run; start-up said so
    }
    std::optional<RegistryKey> key = OpenDownloadsKey(services_.registry);
    NoteStored(record, key && SaveDownloadRecord(*key, record));
}

void ItemLifecycle::PersistItems(const std::vector<const DownloadInfo*>& records) {
    if (!services_.registry || records.empty()) {
        return;
    }
    std::optional<RegistryKey> key = OpenDownloadsKey(services_.registry);
    const std::vector<bool> stored =
        key ? SaveDownloadRecords(*key, records) : std::vector<bool>(records.size(), false);
    for (size_t i = 0; i < records.size(); ++i) {
        NoteStored(*records[i], stored[i]);
    }
}

void ItemLifecycle::NoteStored(const DownloadInfo& record, bool stored) {
    if (!stored) {
        Logger().Warning(u"Cannot store the record of %s in the settings store.", record.name);
    }
    // A record that can't be stored would be lost at the next start: the row says so (a
    // failure of the engine's own keeps its text) until a later write succeeds.
    DownloadInfo* item = FindItem(record.name);
    if (item == nullptr || item->state == ItemState::Failed) {
        return;
    }
    const ErrorKind kind = stored ? ErrorKind::None : ErrorKind::DiskWrite;
    if ((item->errorKind == ErrorKind::None || item->errorKind == ErrorKind::DiskWrite) &&
        item->errorKind != kind) {
        item->errorKind = kind;
        UpdateRow(*item);
    }
}

DownloadInfo* ItemLifecycle::AddOrUpdateItem(std::unique_ptr<DownloadInfo> record, bool persist) {
    DownloadInfo* held = nullptr;
    for (auto& slot : items_) {
        if (slot->name == record->name) {
            slot = std::move(record);
            held = slot.get();
            break;
        }
    }
    if (held == nullptr) {
        if (items_.size() >= kMaxItems) {
            return nullptr;
        }
        record->priority = 1000;
        items_.push_back(std::move(record));
        held = items_.back().get();
    }
    if (persist) {
        PersistItem(*held);
    }
    return held;
}

void ItemLifecycle::RemoveItemRecord(const std::u16string& name) {
    Logger().Log(u"Removing info for %s", name);
    const auto found = std::find_if(items_.begin(), items_.end(),
                                    [&](const auto& item) { return item->name == name; });
    if (found != items_.end()) {
        items_.erase(found);
    }
    std::optional<RegistryKey> key = OpenDownloadsKey(services_.registry);
    if (key) {
        RemoveDownloadRecord(*key, name);
    }
    if (activeName_ == name) {
        activeName_.clear();
    }
}

void ItemLifecycle::LoadStoredItems() {
    std::optional<RegistryKey> key = OpenDownloadsKey(services_.registry);
    if (!key) {
        Logger().Warning(u"Cannot open the downloads records");
        return;
    }
    for (auto& record : LoadDownloadRecords(*key)) {
        DownloadInfo* item = AddOrUpdateItem(std::move(record), false);
        if (item == nullptr) {
            Logger().Warning(u"Stored records past the first %d are not listed",
                             static_cast<uint32_t>(kMaxItems));
            break;
        }
        // The stored icon is relative to the data folder; the list needs a path it can open.
        const std::u16string icon = item->icon.empty()
                                        ? std::u16string()
                                        : NormalisePath(services_.dataFolder + u"/" + item->icon);
        // The row's index is the item's place from now on; a stored position that never got
        // its row (-1) would otherwise keep the item from ever being chosen.
        item->listPosition =
            services_.rows.AddOrUpdateRow(item->name, item->title, {}, icon, RowPaused);
    }
    for (const auto& item : items_) {
        services_.loader.Enqueue(*item);
        const int row = services_.rows.FindRow(item->name);
        if (row >= 0) {
            services_.rows.SetRowStatusText(row, u"Fetching data...");
        }
    }
    services_.rows.Refresh();
    SelectActiveItem();
}

ItemLifecycle::AddResult ItemLifecycle::AddItemFromUrl(const std::u16string& name) {
    if (!IsAcceptableGameName(name)) {
        Logger().Warning(u"Refused to add \"%s\": not a game name of the store",
                         PrintableGameName(name));
        // The user clicked a link and would otherwise see nothing happen. Shown only while the
        // window is (AskUser shows nothing in the tray), as plain text, cut short enough for a
        // message box.
        AskUser(AskStyle::OkWarning,
                u"The game link names \"%s\", which is not a game of the store. Nothing was "
                u"added to the list.",
                PrintableGameName(name, kShownGameNameLength));
        return AddResult::Refused;
    }
    if (FindItem(name) != nullptr) {
        return AddResult::AlreadyListed;
    }
    auto record = std::make_unique<DownloadInfo>(services_.downloadFolder());
    record->name = name;
    DownloadInfo* item = AddOrUpdateItem(std::move(record), false);
    if (item == nullptr) {
        Logger().Warning(u"Cannot add %s: the list already holds %d items", name,
                         static_cast<uint32_t>(kMaxItems));
        return AddResult::ListFull;
    }
    item->listPosition = services_.rows.AddOrUpdateRow(
        name, std::u16string(kFetchingTitle), u"Fetching download size...", {}, RowPending);
    // Stored once the row gives it its place, so that a restart finds it where it was.
    PersistItem(*item);
    item->state = ItemState::FetchingDetails;
    services_.store.RequestDetails(item->name, item->folder);
    return AddResult::Added;
}

void ItemLifecycle::OnRowOrderChanged() {
    std::vector<const DownloadInfo*> moved;
    for (const auto& item : items_) {
        const int32_t position = services_.rows.FindRow(item->name);
        if (position == item->listPosition) {
            continue;
        }
        item->listPosition = position;
        // Stored at once: a completed game is never stored again, and the order the user gave
        // the list would otherwise be lost (or two records share a place) at the next start.
        if (position >= 0 && item->state != ItemState::Removing) {
            moved.push_back(item.get());
        }
    }
    // In one write: moving the last of a hundred rows to the top renumbers every record, and a
    // write (with its flush to the disk) for each held the window up for a noticeable while.
    PersistItems(moved);
    SelectActiveItem();
}

void ItemLifecycle::SelectActiveItem() {
    if (paused_) {
        return;
    }
    DownloadInfo* best = nullptr;
    uint32_t lowest = 1000;
    for (const auto& item : items_) {
        const bool eligible =
            item->state != ItemState::Removing && item->state != ItemState::Failed &&
            !item->completed && !item->stopped &&
            (item->detailsReceived || item->localDetailsLoaded) && item->listPosition >= 0;
        item->priority = eligible ? static_cast<uint32_t>(item->listPosition) : 1000u;
        if (item->priority < lowest) {
            best = item.get();
            lowest = item->priority;
        }
        UpdateRow(*item);
    }
    if (best == nullptr) {
        return;
    }
    best->priority = 0;
    PersistItem(*best);
    UpdateRow(*best);
    if (best->detailsReceived && !best->completed && !best->stopped) {
        services_.engine.RequestDownload(*best);
        activeName_ = best->name;
        Logger().Log(u"New active download item is: %s", best->name);
    }
}

void ItemLifecycle::HandleMessage(AppEvent event) {
    // One handler per event; an event none of them takes does not compile. What the event owns
    // goes with `event` when this returns, whatever path the handler took.
    std::visit(Overloaded{
                   [this](const ChunkProgress& e) { OnChunkProgress(e); },
                   [this](const CombineProgress& e) { OnCombineProgress(e); },
                   [this](const CheckProgress& e) { OnCheckProgress(e); },
                   [this](const FileProgressReset& e) {
                       if (e.reason == FileProgressReset::Reason::kRestartCarriedOut) {
                           OnRestartCarriedOut(e);
                       }
                       OnFileProgressReset(e);
                   },
                   [this](const FileUnavailable& e) { OnFileUnavailable(e); },
                   [this](const ItemPaused& e) { OnItemPaused(e.gameName); },
                   [this](const CombineReset& e) { OnCombineReset(e.gameName); },
                   [this](const ItemFinished& e) { OnItemFinished(e.gameName, e.partially); },
                   [this](const ItemFailed& e) { OnItemFailed(e); },
                   [this](const ItemResubmit& e) { OnItemResubmit(e); },
                   [this](const ItemReleased& e) { OnItemReleased(e.gameName); },
                   [this](const LinkNeeded& e) { OnLinkNeeded(e); },
                   [this](const FileLink& e) {
                       services_.engine.DeliverLink(e.workerSlot, e.link, e.passThrough);
                   },
                   [this](const SpeedSample& e) { OnSpeedSample(e.kilobytesPerSecond); },
                   [this](const ConnectionStatus& e) { OnConnectionStatus(e.online); },
                   [this](LocalDetails& e) { OnLocalDetails(e); },
                   [this](const InstallerChecked& e) { OnInstallerChecked(e.check); },
                   [this](const InstallerCheckProgress& e) { OnInstallerCheckProgress(e); },
                   [this](DetailsReply& e) { OnGameDetails(e); },
                   [this](const AuthStarted&) { OnAuthStarted(); },
                   [this](const AuthFailed&) { OnAuthFailed(); },
                   [this](const UserAuthenticated& e) { OnUserAuthenticated(e); },
               },
               event);
}
