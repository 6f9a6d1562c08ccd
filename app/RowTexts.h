#pragma once
// How a download item's row looks, derived from its record alone: the status line, the link after
// it, the row state, the title and icon, and one progress segment per installer file. Pure
// functions over a RowView; they run on the user-interface thread with the list they are given
// and change the record only where a refresh finds a Downloading item without a connection.
#include <cstdint>
#include <optional>
#include <string>

#include "app/RowView.h"
#include "core/DownloadInfo.h"

// The support page's path on the store's web site; the row's "contact form" link.
inline constexpr std::u16string_view kSupportPagePath =
    u"/en/support/contact/my_orders_and_payments";
// The title a row shows until the details bring the real one.
inline constexpr std::u16string_view kFetchingTitle = u"Fetching game data...";

// What the status line of a record says. rowState is empty where the row keeps its state.
struct RowStatus {
    std::u16string text;
    std::optional<int32_t> rowState;
    std::u16string linkText;
    std::u16string linkTarget;
};

// The status line for a record in its current state. `siteBaseUrl` leads the support link.
RowStatus ComposeRowStatus(const DownloadInfo& record, std::u16string_view siteBaseUrl);

// "%s MB of %s MB - ..." for a Downloading item with `remainingSeconds` left (0: unknown).
std::u16string DownloadingText(uint64_t doneBytes, uint64_t totalBytes, uint32_t remainingSeconds);

// What else a refresh needs besides the record.
struct RowContext {
    bool onlineAndSignedIn = false;
    std::u16string dataFolder;   // the icon paths are relative to it
    std::u16string siteBaseUrl;  // leads the support link
};

// Rebuilds the row of the record's name: title, icon, status line, link and row state. A
// Downloading record refreshed while offline or signed out becomes Paused; a Removing record and
// a record without a row are left alone.
void UpdateRow(RowView& rows, DownloadInfo& record, const RowContext& context);

// Rebuilds the row's segments, one per file at the index of the file's id, each spanning its
// file's share of the total.
void LayoutSegments(RowView& rows, const DownloadInfo& record);

// a / b as a float, 0 when b is 0 (a record or file without a size yet).
float Fraction(uint64_t part, uint64_t whole);
