// The download engine's reports: progress of chunks, joining and checking, the end or failure of
// an item, links for the workers, and the speed meter's samples.
#include <algorithm>
#include <limits>

#include "app/ItemLifecycle.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"

DownloadInfo* ItemLifecycle::ItemForReport(uint32_t message, const std::u16string& name) const {
    DownloadInfo* item = FindItem(name);
    if (item == nullptr) {
        Logger().Error(u"Message 0x%x for not-cached game: %s", message, name);
    }
    return item;
}

FileInfo* ItemLifecycle::FileForReport(DownloadInfo& item, uint64_t fileId) const {
    if (fileId >= item.files.size()) {
        Logger().Error(u"Report for file %I64u of %s, which has %I64u files", fileId, item.name,
                       static_cast<uint64_t>(item.files.size()));
        return nullptr;
    }
    return &item.files[static_cast<size_t>(fileId)];
}

Segment* ItemLifecycle::SegmentOf(const DownloadInfo& item, uint64_t fileId) {
    const int row = services_.rows.FindRow(item.name);
    if (row < 0) {
        return nullptr;
    }
    std::vector<Segment>& segments = services_.rows.RowSegments(row);
    if (fileId >= segments.size()) {
        return nullptr;
    }
    return &segments[static_cast<size_t>(fileId)];
}

void ItemLifecycle::ShowProgressState(DownloadInfo& item, ItemState state) {
    // While every transfer is paused, a report already on its way (a block that was being
    // written, a speed sample after it) still counts, but it must not turn the row back into
    // a running one with a pause button: the item stays paused until the user resumes.
    item.state = paused_ ? ItemState::Paused : state;
}

void ItemLifecycle::OnChunkProgress(const ChunkProgress& report) {
    DownloadInfo* item = ItemForReport(LogNumberOf(report), report.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    FileInfo* file = FileForReport(*item, report.fileId);
    if (file == nullptr) {
        return;
    }
    if (report.chunkId >= file->chunks.size()) {
        Logger().Error(u"Progress for chunk %I64u of a file of %s that has no such chunk",
                       report.chunkId, item->name);
        return;
    }
    ShowProgressState(*item, ItemState::Downloading);
    file->chunks[static_cast<size_t>(report.chunkId)].onDisk = report.byteCount;
    item->RecomputeTotals();
    if (Segment* segment = SegmentOf(*item, report.fileId)) {
        segment->fill = Fraction(file->onDisk, file->size);
        segment->kind = SegmentKind::Downloading;
    }
    UpdateRow(*item);
}

void ItemLifecycle::OnCombineProgress(const CombineProgress& report) {
    DownloadInfo* item = ItemForReport(LogNumberOf(report), report.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    FileInfo* file = FileForReport(*item, report.fileId);
    if (file == nullptr) {
        return;
    }
    if (report.chunkId == kAllBits) {
        for (ChunkInfo& chunk : file->chunks) {
            chunk.joined = chunk.onDisk;
        }
    } else if (report.chunkId < file->chunks.size()) {
        file->chunks[static_cast<size_t>(report.chunkId)].joined = report.byteCount;
    } else {
        Logger().Error(u"Joining progress for chunk %I64u of a file of %s that has no such chunk",
                       report.chunkId, item->name);
        return;
    }
    ShowProgressState(*item, ItemState::Combining);
    item->RecomputeTotals();
    if (Segment* segment = SegmentOf(*item, report.fileId)) {
        segment->fill = Fraction(file->joined, file->size);
        segment->kind = SegmentKind::Joining;
    }
    UpdateRow(*item);
}

void ItemLifecycle::OnCheckProgress(const CheckProgress& report) {
    DownloadInfo* item = ItemForReport(LogNumberOf(report), report.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    FileInfo* file = FileForReport(*item, report.fileId);
    if (file == nullptr) {
        return;
    }
    ShowProgressState(*item, ItemState::Verifying);
    if (report.byteCount == kAllBits) {
        file->verified = file->size;
    } else {
        // Unsigned wrap-around gives the right sum when the new count is below the old one.
        item->verified = item->verified + report.byteCount - file->verified;
        file->verified = report.byteCount;
    }
    if (Segment* segment = SegmentOf(*item, report.fileId)) {
        segment->fill = Fraction(file->verified, file->size);
        segment->kind = SegmentKind::Checking;
    }
    UpdateRow(*item);
}

void ItemLifecycle::OnFileProgressReset(const FileProgressReset& event) {
    DownloadInfo* item = ItemForReport(LogNumberOf(event), event.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    if (Segment* segment = SegmentOf(*item, event.fileId)) {
        segment->fill = 0.0f;
        services_.rows.Refresh();
    }
}

void ItemLifecycle::OnFileUnavailable(const FileUnavailable& event) {
    DownloadInfo* item = ItemForReport(LogNumberOf(event), event.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    if (Segment* segment = SegmentOf(*item, event.fileId)) {
        segment->kind = SegmentKind::Unavailable;
        services_.rows.Refresh();
    }
}

void ItemLifecycle::OnRestartCarriedOut(const FileProgressReset& event) {
    DownloadInfo* item = ItemForReport(LogNumberOf(event), event.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    FileInfo* file = FileForReport(*item, event.fileId);
    if (file == nullptr || !file->restart) {
        return;
    }
    // The engine deleted the old file and its chunks once; handing the record over again (after
    // a dropped connection, another game picked in between) must keep what arrived since.
    // Nothing to write to the settings store: the flag lives only in the records held here.
    file->restart = false;
}

void ItemLifecycle::OnItemPaused(const std::u16string& name) {
    DownloadInfo* item = ItemForReport(ItemPaused::kLogNumber, name);
    if (item == nullptr || item->state == ItemState::Removing || item->state == ItemState::Failed) {
        return;
    }
    item->state = ItemState::Paused;
    UpdateRow(*item);
}

void ItemLifecycle::OnCombineReset(const std::u16string& name) {
    DownloadInfo* item = ItemForReport(CombineReset::kLogNumber, name);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    item->joined = 0;
    item->verified = 0;
    for (FileInfo& file : item->files) {
        file.joined = 0;
        file.verified = 0;
        for (ChunkInfo& chunk : file.chunks) {
            chunk.joined = 0;
        }
    }
    UpdateRow(*item);
}

void ItemLifecycle::OnItemFinished(const std::u16string& name, bool partially) {
    DownloadInfo* item = ItemForReport(ItemFinished::kLogNumber, name);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    if (partially) {
        item->state = ItemState::Paused;
        item->stopped = true;
        Logger().Log(u"Item %s is downloaded partially", item->name);
    } else {
        item->state = ItemState::Completed;
        item->completed = true;
        item->joinResubmits = 0;
        item->verified = item->total;
        item->joined = item->total;
        item->downloaded = item->total;
        item->installer =
            item->files.empty() ? std::u16string() : NormalisePath(item->files[0].name);
        readyInstaller_ = item->folder + item->installer;
        readyItem_ = item->name;
        // The engine has just checked every finished file against its digest.
        NoteInstallerChecked(NormalisePath(readyInstaller_));
        if (minimisedToTray_) {
            services_.ui.ShowReadyBalloon(item->title);
        } else if (automaticInstall_) {
            StartInstaller(*item);
        }
        Logger().Log(u"Item %s is downloaded and ready", item->name);
    }
    UpdateRow(*item);
    PersistItem(*item);
    SelectActiveItem();
}

void ItemLifecycle::MarkFailed(DownloadInfo& item, std::optional<uint64_t> fileId, ErrorKind kind) {
    item.state = ItemState::Failed;
    item.errorKind = kind;
    if (fileId) {
        if (Segment* segment = SegmentOf(item, *fileId)) {
            segment->kind = SegmentKind::Failed;
            services_.rows.Refresh();
        }
    } else {
        MarkEverySegmentFailed(item);
    }
    // The failed item leaves the choice below; its own row shows the failure even while all
    // transfers are paused and the choice refreshes no row.
    UpdateRow(item);
    SelectActiveItem();
}

void ItemLifecycle::MarkEverySegmentFailed(const DownloadInfo& item) {
    // A failure that names no file (no room on the disk, the downloads folder missing or not
    // writable, a join given up) is the whole item's. Its files show it as a failed file would,
    // and with it the list offers Retry (the status button's warning look and the menu's entry);
    // without it the row would have no way back short of a restart. The files the store does
    // not offer keep their own look: nothing was tried for them.
    const int row = services_.rows.FindRow(item.name);
    if (row < 0) {
        return;
    }
    std::vector<Segment>& segments = services_.rows.RowSegments(row);
    const bool anyOffered = std::any_of(segments.begin(), segments.end(), [](const Segment& s) {
        return s.kind != SegmentKind::Unavailable;
    });
    for (Segment& segment : segments) {
        if (segment.kind != SegmentKind::Unavailable || !anyOffered) {
            segment.kind = SegmentKind::Failed;
        }
    }
    services_.rows.Refresh();
}

void ItemLifecycle::OnItemFailed(const ItemFailed& event) {
    DownloadInfo* item = ItemForReport(LogNumberOf(event), event.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    item->spaceShort = event.bytesShort;
    MarkFailed(*item, event.fileId, event.kind);
}

void ItemLifecycle::OnItemResubmit(const ItemResubmit& event) {
    DownloadInfo* item = ItemForReport(LogNumberOf(event), event.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    // A resubmission is about the join as a whole: its failures are the item's.
    if (event.diskProblem) {
        MarkFailed(*item, std::nullopt, ErrorKind::DiskWrite);
        return;
    }
    // A join that fails again after a fresh plan that found every chunk still good can't be
    // mended by downloading (the store's whole-file digest disagrees with its chunks); handed
    // back for ever, the item would keep a worker joining the same bytes in a loop.
    if (++item->joinResubmits > kMaxJoinResubmits) {
        Logger().Warning(u"Item %s could not be joined after %d attempts. Giving up.", item->name,
                         kMaxJoinResubmits);
        MarkFailed(*item, std::nullopt, ErrorKind::FileGaveUp);
        return;
    }
    if (item->detailsReceived) {
        services_.engine.RequestDownload(*item);
    }
    activeName_ = item->name;
}

void ItemLifecycle::OnItemReleased(const std::u16string& name) {
    DownloadInfo* item = ItemForReport(ItemReleased::kLogNumber, name);
    if (item == nullptr) {
        return;
    }
    if (item->state == ItemState::Removing) {
        RemoveItemRecord(name);
    }
    OnRowOrderChanged();
}

void ItemLifecycle::OnLinkNeeded(const LinkNeeded& request) {
    // Passed on even when the item is gone: the worker waits for an answer, and the store's
    // answer (or the engine's own removal) is what lets it go.
    services_.store.RequestLink(request.gameName, request.fileId, request.workerSlot,
                                request.passThrough);
}

void ItemLifecycle::OnSpeedSample(uint64_t kilobytesPerSecond) {
    services_.ui.SetSpeed(static_cast<uint32_t>(
        std::min<uint64_t>(kilobytesPerSecond, std::numeric_limits<uint32_t>::max())));
    DownloadInfo* item = activeName_.empty() ? nullptr : FindItem(activeName_);
    if (item == nullptr) {
        return;
    }
    if (kilobytesPerSecond == 0) {
        item->remainingSeconds = 0;
    } else {
        const uint64_t total = item->total / 1024;
        const uint64_t done = item->downloaded / 1024;
        // More on disk than the total (a file that shrank on the server) means nothing is left,
        // not an estimate wrapped round to centuries.
        const uint64_t left = total > done ? (total - done) / kilobytesPerSecond : 0;
        item->remainingSeconds =
            static_cast<uint32_t>(std::min<uint64_t>(left, std::numeric_limits<uint32_t>::max()));
    }
    UpdateRow(*item);
}
