// Starting a downloaded installer. The engine checks every finished file against its digest
// before it reports a game complete; an installer is started only while the file on disk is
// still the one that passed such a check in this run. Anything else — a game completed in an
// earlier run, a file replaced or damaged since — is read and checked again first, in the
// background, and started only if it passes.
#include <algorithm>

#include "app/ItemLifecycle.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "core/TextUtil.h"

namespace {

std::optional<FileIdentity> IdentityOfInstaller(const std::u16string& path) {
    return IdentityOfPath(WideToUtf8(path));
}

}  // namespace

void ItemLifecycle::NoteInstallerChecked(const std::u16string& path) {
    checkedInstallers_[path] = IdentityOfInstaller(path);
}

void ItemLifecycle::RunReadyInstaller() {
    if (readyInstaller_.empty()) {
        return;
    }
    const DownloadInfo* item = FindItem(readyItem_);
    if (item == nullptr || item->state == ItemState::Removing ||
        NormalisePath(item->folder + item->installer) != NormalisePath(readyInstaller_)) {
        Logger().Warning(u"The installer %s belongs to no listed game any more", readyInstaller_);
        return;
    }
    StartInstaller(*item);
}

void ItemLifecycle::StartInstaller(const DownloadInfo& item) {
    const std::u16string path = NormalisePath(item.folder + item.installer);
    const auto checked = checkedInstallers_.find(path);
    if (checked != checkedInstallers_.end() &&
        SameFile(checked->second, IdentityOfInstaller(path))) {
        services_.ui.RunInstaller(path);
        return;
    }
    checkedInstallers_.erase(path);
    const std::u16string digest = item.files.empty() ? std::u16string() : item.files[0].md5;
    if (digest.empty()) {
        Logger().Warning(u"Installer %s cannot be checked: its digest is not known", path);
        AskUser(AskStyle::OkWarning,
                u"The installer of %s cannot be checked yet, so it was not started. Try again "
                u"once the game's details have been fetched.",
                item.title);
        return;
    }
    if (!installerChecksRunning_.insert(path).second) {
        return;  // the check already asked for starts it
    }
    Logger().Log(u"Checking installer %s before starting it", path);
    services_.installerChecks.Check(item.name, path, digest);
    installerCheckShown_[item.name] = 0;
    ShowInstallerCheck(item);
}

void ItemLifecycle::ShowInstallerCheck(const DownloadInfo& item) {
    const int row = services_.rows.FindRow(item.name);
    const auto shown = installerCheckShown_.find(item.name);
    if (row < 0 || shown == installerCheckShown_.end()) {
        return;
    }
    constexpr uint64_t kMegabyte = 1048576;
    const uint64_t size = item.files.empty() ? 0 : item.files[0].size;
    const uint64_t checked = std::min(shown->second, size);
    const float fraction = Fraction(checked, size);
    services_.rows.SetRowLink(row, {}, {});
    services_.rows.SetRowState(row, RowActiveNoProgress);
    std::vector<Segment>& segments = services_.rows.RowSegments(row);
    if (!segments.empty()) {
        segments[0].kind = SegmentKind::Checking;
        segments[0].fill = fraction;
    }
    services_.rows.SetRowStatusText(
        row, FormatWide(u"%I64u MB of %I64u MB - integrity check (%.2f%%)", checked / kMegabyte,
                        size / kMegabyte, static_cast<double>(fraction) * 100.0));
    services_.rows.Refresh();
}

void ItemLifecycle::OnInstallerCheckProgress(const InstallerCheckProgress& report) {
    const auto shown = installerCheckShown_.find(report.gameName);
    if (shown == installerCheckShown_.end()) {
        return;
    }
    shown->second = report.byteCount;
    if (const DownloadInfo* item = FindItem(report.gameName)) {
        if (item->state == ItemState::Completed) {
            ShowInstallerCheck(*item);
        }
    }
}

void ItemLifecycle::OnInstallerChecked(const InstallerCheck& check) {
    installerChecksRunning_.erase(check.path);
    installerCheckShown_.erase(check.gameName);
    DownloadInfo* item = FindItem(check.gameName);
    if (item == nullptr || item->state == ItemState::Removing) {
        return;
    }
    // The row goes back to its own look ("completed." and its link) whatever the outcome.
    LayoutSegments(*item);
    UpdateRow(*item);
    if (NormalisePath(item->folder + item->installer) != check.path) {
        return;
    }
    if (!check.passed) {
        Logger().Warning(
            u"Installer %s does not pass its check (md5 %s, expected %s). It is not "
            u"started.",
            check.path, check.digest, check.expectedDigest);
        AskUser(AskStyle::OkWarning,
                u"The installer of %s has changed since it was downloaded, so it was not "
                u"started. Remove the game with its files and download it again.",
                item->title);
        return;
    }
    Logger().Log(u"Installer %s passed its check", check.path);
    checkedInstallers_[check.path] = check.identity;
    services_.ui.RunInstaller(check.path);
}
