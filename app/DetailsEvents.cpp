// What the loader read from the chunk indexes on disk, and the store's details replies.
#include "app/ItemLifecycle.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"

void ItemLifecycle::OnLocalDetails(LocalDetails& payload) {
    DownloadInfo* item = ItemForReport(LogNumberOf(payload), payload.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        // A removal confirmed while the loader read must stand: copying the loader's record over
        // it would bring the item back to life after its row was gone.
        return;
    }
    if (payload.read && payload.info) {
        if (item->detailsReceived) {
            // The store's details overtook the loader; its copy dates from before them.
            Logger().Log(u"Local details for item %s arrived after its details", item->name);
        } else {
            // The loader's copy was taken when it was queued; the list may have been reordered
            // since, and the list's order is ours, not the copy's.
            const int32_t listPosition = item->listPosition;
            const uint32_t priority = item->priority;
            item->CopyFrom(*payload.info);
            item->listPosition = listPosition;
            item->priority = priority;
            Logger().Log(u"Local details for item %s fetched from file", item->name);
            if (!item->completed) {
                item->localDetailsLoaded = true;
                item->state = ItemState::Paused;
            }
            LayoutSegments(*item);
            UpdateRow(*item);
        }
    }
    if (!item->detailsReceived) {
        services_.store.RequestDetails(item->name, item->folder);
        UpdateRow(*item);
        if (!item->completed) {
            item->state = ItemState::FetchingDetails;
        }
    }
}

void ItemLifecycle::ApplyFullDetails(DownloadInfo& item, DownloadInfo& details) {
    item.icon = details.icon;
    for (FileInfo& fresh : details.files) {
        for (const FileInfo& known : item.files) {
            if (known.name != fresh.name) {
                continue;
            }
            if (known.timestamp != fresh.timestamp) {
                fresh.restart = true;
                item.completed = false;
                details.RecomputeTotals();
            }
            break;
        }
    }
    item.files = std::move(details.files);
    item.downloaded = details.downloaded;
    item.total = details.total;
    LayoutSegments(item);
    item.detailsReceived = true;
    PersistItem(item);
    if (!item.completed) {
        item.state = ItemState::Paused;
    }
    UpdateRow(item);
    SelectActiveItem();
    Logger().Log(u"Received full details for game: %s", item.name);
}

void ItemLifecycle::OnGameDetails(DetailsReply& reply) {
    const std::u16string& name = reply.gameName;
    if (reply.result == DetailsReply::kRefused) {
        Logger().Warning(u"Cannot fetch game details for game: %s. Server reply: %s", name,
                         reply.message);
        const int row = services_.rows.FindRow(name);
        if (row >= 0) {
            services_.rows.RemoveRow(row);
        }
        if (FindItem(name) != nullptr) {
            RemoveItemRecord(name);
        }
        AskUser(AskStyle::OkWarning, u"%s", reply.message);
        SelectActiveItem();
        return;
    }
    if (reply.result != DetailsReply::kSuccess) {
        Logger().Warning(u"Cannot fetch game details for game: %s.", name);
        DownloadInfo* item = FindItem(name);
        if (item != nullptr && item->state != ItemState::Removing) {
            if (item->completed) {
                item->state = ItemState::Completed;
                item->errorKind = ErrorKind::None;
            } else {
                item->state = ItemState::Failed;
                item->errorKind = ErrorKind::DetailsFailed;
            }
            if (item->title.empty()) {
                item->title = u"Id: " + item->name;
            }
            UpdateRow(*item);
        }
        SelectActiveItem();
        return;
    }
    DownloadInfo* item = FindItem(name);
    if (item == nullptr) {
        Logger().Error(u"Received details for not-cached game: %s", name);
        return;
    }
    if (item->state == ItemState::Removing) {
        return;
    }
    if ((reply.kind & DetailsReply::kTitleOnly) != 0) {
        item->title = reply.title;
        UpdateRow(*item);
        Logger().Log(u"Received title for game: %s", name);
    }
    if ((reply.kind & DetailsReply::kFinal) != 0) {
        if (reply.details) {
            ApplyFullDetails(*item, *reply.details);
        } else {
            Logger().Error(u"Full details for game %s came without their record", name);
        }
    }
}
