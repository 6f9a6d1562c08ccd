// The list's buttons and menus: removal, links, the installer, the game card, retry, pause and
// moving an item to the top.
#include <algorithm>

#include "app/ItemLifecycle.h"
#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/NormalisePath.h"

namespace {

std::u16string AsciiLower(std::u16string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char16_t c) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    });
    return text;
}

// The game's own folder to delete with its files: the folder of the first file, when that lies
// strictly inside the record's folder. Empty (delete no folder) when the first file has no folder
// part or there is no file at all — deleting the downloads folder itself would take every other
// download with it — and when the name tries to climb out of the downloads folder.
std::u16string FolderToDelete(const DownloadInfo& item) {
    if (item.files.empty()) {
        return {};
    }
    const std::u16string base = NormaliseFolder(item.folder);
    const std::u16string path = NormalisePath(item.folder + u"/" + item.files[0].name);
    const size_t slash = path.rfind(u'/');
    if (slash == std::u16string::npos) {
        return {};
    }
    const std::u16string folder = path.substr(0, slash);
    if (folder.size() < base.size() || folder.compare(0, base.size(), base) != 0) {
        return {};
    }
    const std::u16string inside = folder.substr(base.size());
    if (inside.empty()) {
        return {};
    }
    for (const std::u16string_view part : {u"..", u"."}) {
        // Any "." or ".." element could make the folder the downloads folder or one above it.
        size_t start = 0;
        while (start <= inside.size()) {
            size_t end = inside.find(u'/', start);
            if (end == std::u16string::npos) {
                end = inside.size();
            }
            if (std::u16string_view(inside).substr(start, end - start) == part) {
                return {};
            }
            start = end + 1;
        }
    }
    return folder;
}

}  // namespace

void ItemLifecycle::OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) {
    switch (message) {
        case WM_APP_REMOVE_ITEM:
            RemoveItemCommand(argument, lParam != 0);
            return;
        case WM_APP_OPEN_LINK:
            OpenLinkCommand(argument);
            return;
        case WM_APP_RUN_INSTALLER:
            if (DownloadInfo* item = ItemForReport(message, argument)) {
                if (item->state != ItemState::Removing) {
                    StartInstaller(*item);
                }
            }
            return;
        case WM_APP_OPEN_GAME_CARD:
            services_.ui.OpenUrl(SiteBaseUrl() + u"/en/gamecard/" + argument);
            return;
        case WM_APP_RETRY_ITEM:
            RetryItemCommand(argument);
            return;
        case WM_APP_PAUSE_BUTTON:
            if (installerCheckShown_.count(argument) != 0) {
                // The row's button shows that its installer is being checked; pausing the
                // transfers would not stop that check, so the click means nothing here.
                Logger().Log(u"The installer of %s is still being checked", argument);
                return;
            }
            PauseAll();
            return;
        case WM_APP_ROW_TOGGLE:
            if (ItemForReport(message, argument) != nullptr) {
                const int row = services_.rows.FindRow(argument);
                if (row >= 0) {
                    // The list answers with OnRowOrderChanged, which picks the active item.
                    services_.rows.MoveRowToTop(row);
                }
            }
            return;
        default:
            Logger().Error(u"Unexpected list command 0x%x", message);
            return;
    }
}

void ItemLifecycle::RemoveItemCommand(const std::u16string& name, bool deleteFiles) {
    DownloadInfo* item = FindItem(name);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    Logger().Log(u"Received request to delete item: %s", name);
    const Answer answer =
        AskUser(AskStyle::YesNoQuestion, u"Are you sure you want to remove \"%s\" from the list%s",
                item->title,
                deleteFiles ? u" and from the disk?"
                            : u"? Any files downloaded for this game will not be deleted.");
    if (answer != Answer::Yes) {
        return;
    }
    // The box ran a loop of its own: the item may have gone or changed meanwhile.
    item = FindItem(name);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    const int row = services_.rows.FindRow(name);
    if (row >= 0) {
        services_.rows.RemoveRow(row);
    }
    item->state = ItemState::Removing;
    const std::u16string folder = deleteFiles ? FolderToDelete(*item) : std::u16string();
    services_.engine.RequestRemoval(*item, deleteFiles, folder);
    services_.store.CancelDetails(name);
    SelectActiveItem();
}

void ItemLifecycle::OpenLinkCommand(const std::u16string& target) {
    const std::u16string lower = AsciiLower(target);
    if (lower.find(u"http://") != std::u16string::npos ||
        lower.find(u"https://") != std::u16string::npos) {
        // Opened as given: paths and queries of a web address may depend on letter case.
        services_.ui.OpenUrl(target);
        return;
    }
    // The only local link a row carries is its "INSTALL" link (the context menu's "Launch
    // Installer" sends the same target). Handing it to the desktop's opener would start a file
    // nobody checked, so it goes the way of the ready button: the item whose installer it names
    // starts it, checked first when need be.
    const std::u16string path = NormalisePath(target);
    const DownloadInfo* owner = nullptr;
    for (const auto& item : items_) {
        if (item->state != ItemState::Removing && item->completed && !item->installer.empty() &&
            NormalisePath(item->folder + item->installer) == path) {
            owner = item.get();
            break;
        }
    }
    if (owner == nullptr) {
        Logger().Warning(u"Not opening %s: it is the installer of no completed game in the list",
                         path);
        return;
    }
    StartInstaller(*owner);
}

void ItemLifecycle::RetryItemCommand(const std::u16string& name) {
    DownloadInfo* item = ItemForReport(WM_APP_RETRY_ITEM, name);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    item->state = ItemState::Paused;
    item->errorKind = ErrorKind::None;
    item->joinResubmits = 0;
    item->spaceShort = 0;
    const int row = services_.rows.FindRow(name);
    if (row >= 0) {
        services_.rows.SetRowLink(row, {}, {});
    }
    // The failed files' segments go back to what the record says, so that the row leaves its
    // warning look at once; if the cause is still there, the engine's check fails it again when
    // the item is handed over below.
    LayoutSegments(*item);
    if (!item->detailsReceived) {
        // Without details the item can't be downloaded; a retry that only paused it would leave
        // it waiting for ever, so it asks the store again.
        item->state = ItemState::FetchingDetails;
        services_.store.RequestDetails(item->name, item->folder);
        // Fetching keeps the row's state, and the row must not stay red while the details are
        // asked for again: it takes the look of an item that waits for them.
        if (row >= 0) {
            services_.rows.SetRowState(row, RowPending);
        }
    }
    UpdateRow(*item);
    SelectActiveItem();
}
