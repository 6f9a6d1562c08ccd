#include "app/RowTexts.h"

#include <algorithm>

#include "core/NormalisePath.h"
#include "core/WideFormat.h"

namespace {

constexpr uint64_t kMegabyte = 1048576;
constexpr uint32_t kMinute = 60;
constexpr uint32_t kHour = 3600;
constexpr uint32_t kDay = 86400;

std::u16string Megabytes(uint64_t bytes) {
    return FormatWide(u"%I64u", bytes / kMegabyte);
}

uint64_t DoneCount(const DownloadInfo& record) {
    switch (record.state) {
        case ItemState::Combining:
            return record.joined;
        case ItemState::Verifying:
            return record.verified;
        default:
            return record.downloaded;
    }
}

double Percent(uint64_t done, uint64_t total) {
    return static_cast<double>(Fraction(done, total)) * 100.0;
}

RowStatus ErrorStatus(const DownloadInfo& record, std::u16string_view siteBaseUrl) {
    RowStatus status;
    switch (record.errorKind) {
        case ErrorKind::DiskWrite:
            status.text = u"Error writing file to disk...";
            break;
        case ErrorKind::FileGaveUp:
            status.text = u"There is a problem with this file, please use our ";
            status.rowState = RowPaused;
            break;
        case ErrorKind::DetailsFailed:
            status.text = u"Cannot fetch game details, please use our ";
            status.rowState = RowFailed;
            break;
        case ErrorKind::DiskSpace:
            // Rounded up: "0 MB more needed" would read as nothing missing.
            status.text =
                FormatWide(u"Not enough free disk space: %s MB more needed",
                           FormatWide(u"%I64u", (record.spaceShort + kMegabyte - 1) / kMegabyte));
            break;
        default:
            break;
    }
    if (record.errorKind == ErrorKind::FileGaveUp || record.errorKind == ErrorKind::DetailsFailed) {
        status.linkText = u"contact form";
        status.linkTarget = std::u16string(siteBaseUrl) + std::u16string(kSupportPagePath);
    }
    return status;
}

bool HasFailedSegment(RowView& rows, int row) {
    const std::vector<Segment>& segments = rows.RowSegments(row);
    return std::any_of(segments.begin(), segments.end(),
                       [](const Segment& segment) { return segment.kind == SegmentKind::Failed; });
}

}  // namespace

float Fraction(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return 0.0f;
    }
    return static_cast<float>(static_cast<double>(part) / static_cast<double>(whole));
}

std::u16string DownloadingText(uint64_t doneBytes, uint64_t totalBytes, uint32_t remaining) {
    const std::u16string d = Megabytes(doneBytes);
    const std::u16string t = Megabytes(totalBytes);
    if (remaining == 0) {
        return FormatWide(u"%s MB of %s MB - downloading", d, t);
    }
    if (remaining < kMinute) {
        return FormatWide(u"%s MB of %s MB - %d sec remaining", d, t, remaining);
    }
    if (remaining < kHour) {
        return FormatWide(u"%s MB of %s MB - %d min remaining", d, t, remaining / kMinute);
    }
    if (remaining < kDay) {
        return FormatWide(u"%s MB of %s MB - %d hrs remaining", d, t, remaining / kHour);
    }
    // A day or more: whole days and whole hours within the last day, cut like the shorter
    // estimates; the hours are left out when there are none.
    const uint32_t days = remaining / kDay;
    const uint32_t hours = (remaining % kDay) / kHour;
    if (hours == 0) {
        return FormatWide(u"%s MB of %s MB - %d days remaining", d, t, days);
    }
    return FormatWide(u"%s MB of %s MB - %d days %d hrs remaining", d, t, days, hours);
}

RowStatus ComposeRowStatus(const DownloadInfo& record, std::u16string_view siteBaseUrl) {
    RowStatus status;
    const uint64_t done = DoneCount(record);
    switch (record.state) {
        case ItemState::FetchingDetails:
            status.text = u"Fetching download size...";
            break;
        case ItemState::Downloading:
            status.rowState = RowActive;
            if (record.errorKind == ErrorKind::DiskWrite) {
                status.text = u"Error writing file to disk...";
            } else if (record.errorKind == ErrorKind::None) {
                status.text = DownloadingText(done, record.total, record.remainingSeconds);
            }
            break;
        case ItemState::Combining:
            status.text = FormatWide(u"%s MB of %s MB - combining (%.2f%%)", Megabytes(done),
                                     Megabytes(record.total), Percent(done, record.total));
            break;
        case ItemState::Verifying:
            status.text = FormatWide(u"%s MB of %s MB - integrity check (%.2f%%)", Megabytes(done),
                                     Megabytes(record.total), Percent(done, record.total));
            break;
        case ItemState::Paused:
            status.text =
                FormatWide(u"%s MB of %s MB - paused", Megabytes(done), Megabytes(record.total));
            status.rowState = RowPaused;
            break;
        case ItemState::Completed:
            status.text = FormatWide(u"%s MB of %s MB - completed. ", Megabytes(record.total),
                                     Megabytes(record.total));
            status.rowState = RowReady;
            status.linkText = u"INSTALL";
            status.linkTarget = record.folder + record.installer;
            break;
        case ItemState::Failed:
            status = ErrorStatus(record, siteBaseUrl);
            break;
        case ItemState::Removing:
            break;
    }
    return status;
}

void UpdateRow(RowView& rows, DownloadInfo& record, const RowContext& context) {
    if (record.state == ItemState::Removing) {
        return;
    }
    if (!context.onlineAndSignedIn && record.state == ItemState::Downloading) {
        record.state = ItemState::Paused;
    }
    const int row = rows.FindRow(record.name);
    if (row < 0) {
        return;
    }
    rows.SetRowTitle(row, record.title.empty() ? std::u16string(kFetchingTitle) : record.title);
    if (!record.icon.empty()) {
        rows.SetRowIcon(row, NormalisePath(context.dataFolder + u"/" + record.icon));
    }
    rows.SetRowLink(row, {}, {});
    const RowStatus status = ComposeRowStatus(record, context.siteBaseUrl);
    // The state goes first so that the row's status button already has its look when the link
    // appears next to it.
    if (status.rowState) {
        rows.SetRowState(row, *status.rowState);
    } else if (record.state == ItemState::Failed && HasFailedSegment(rows, row)) {
        // A failed item whose error keeps the row's state would keep the look it had while it
        // ran, with a button that pauses every transfer. It is not running: the paused look
        // with a failed file gives the status button its warning look, which offers Retry.
        rows.SetRowState(row, RowPaused);
    }
    if (!status.linkText.empty()) {
        rows.SetRowLink(row, status.linkText, status.linkTarget);
    }
    rows.SetRowStatusText(row, status.text);
    rows.Refresh();
}

void LayoutSegments(RowView& rows, const DownloadInfo& record) {
    if (record.state == ItemState::Removing) {
        return;
    }
    const int row = rows.FindRow(record.name);
    if (row < 0) {
        return;
    }
    rows.ClearRowSegments(row);
    std::vector<Segment>& segments = rows.RowSegments(row);
    const double total = static_cast<double>(record.total);
    uint64_t before = 0;
    bool first = true;
    for (const FileInfo& file : record.files) {
        if (file.id >= record.files.size()) {
            // Ids are positions; a file numbered past the list has no place in the bar (and must
            // not make the bar grow without bound).
            continue;
        }
        if (segments.size() <= file.id) {
            segments.resize(size_t{file.id} + 1);
        }
        Segment& segment = segments[file.id];
        if (total > 0) {
            // Each segment starts one byte past the end of the previous file.
            segment.start =
                first ? 0.0f : static_cast<float>(static_cast<double>(before + 1) / total);
            segment.end = static_cast<float>(static_cast<double>(before + file.size) / total);
        } else {
            segment.start = 0.0f;
            segment.end = 0.0f;
        }
        segment.fill = Fraction(file.onDisk, file.size);
        segment.kind = file.available ? SegmentKind::Downloading : SegmentKind::Unavailable;
        before += file.size;
        first = false;
    }
    rows.Refresh();
}
