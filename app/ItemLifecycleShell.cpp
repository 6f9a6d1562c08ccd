// The window-wide side of the lifecycle: connectivity, sign-in, pause and resume of all
// transfers, the status bar's and the header's modes, and the quit order.
#include "app/CVelkDownloaderApp.h"
#include "app/ItemLifecycle.h"
#include "core/DebugPrintf.h"
#include "core/NormalisePath.h"
#include "core/UserDetails.h"

namespace {

// A stored text value as the window reads it back: at most 511 characters, cut at an embedded
// terminator; absent or unreadable gives an empty text.
std::u16string ReadCredential(const std::optional<RegistryKey>& key, std::u16string_view name) {
    constexpr size_t kMaxCharacters = 511;
    if (!key) {
        return {};
    }
    std::optional<RegistryValue> value = key->Query(name);
    if (!value || value->type != REG_SZ) {
        return {};
    }
    std::u16string text;
    for (size_t at = 0; at + 1 < value->data.size() && text.size() < kMaxCharacters; at += 2) {
        const auto unit = static_cast<char16_t>(value->data[at] | (value->data[at + 1] << 8));
        if (unit == u'\0') {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

}  // namespace

ItemLifecycle::Credentials ItemLifecycle::ReadStoredCredentials(
    const std::shared_ptr<Registry>& registry) {
    const std::optional<RegistryKey> key =
        RegistryKey::Open(registry, CVelkDownloaderApp::kSettingsKeyPath);
    return {ReadCredential(key, u"token"), ReadCredential(key, u"secret")};
}

void ItemLifecycle::SetLoginPrefill(std::u16string email, std::u16string password) {
    email_ = std::move(email);
    password_ = std::move(password);
}

void ItemLifecycle::UpdateStatusMode() {
    StatusMode mode = StatusMode::Offline;
    if (online_ && signedIn_) {
        mode = paused_ ? StatusMode::Paused : StatusMode::Online;
    }
    services_.ui.SetStatusMode(mode);
}

void ItemLifecycle::UpdateHeaderButtons() {
    if (signedIn_ && online_ && !paused_) {
        services_.ui.SetHeaderMode(HeaderMode::Running, signedIn_);
    } else if (online_ && !signedIn_) {
        services_.ui.SetHeaderMode(HeaderMode::SignedOut, signedIn_);
    } else if (online_) {
        services_.ui.SetHeaderMode(HeaderMode::Paused, signedIn_);
    } else {
        services_.ui.SetHeaderMode(HeaderMode::Offline, signedIn_);
    }
}

void ItemLifecycle::UpdateTrayIcon() {
    if (minimisedToTray_) {
        services_.ui.UpdateTrayIcon(online_ && signedIn_);
    }
}

void ItemLifecycle::OnConnectionStatus(bool online) {
    online_ = online;
    Logger().Log(u"Connection status changed to %s", online ? u"Online" : u"Offline");
    UpdateStatusMode();
    UpdateTrayIcon();
    SelectActiveItem();
    UpdateHeaderButtons();
}

void ItemLifecycle::PauseAll() {
    if (paused_) {
        return;
    }
    services_.engine.Pause();
    paused_ = true;
    services_.ui.SetHeaderMode(HeaderMode::Paused, signedIn_);
    UpdateStatusMode();
    services_.rows.PauseActiveRows();
    // The records say so too: a later refresh of a row (a speed sample, a report in flight)
    // would otherwise show it running again.
    for (const auto& item : items_) {
        if (item->state == ItemState::Downloading || item->state == ItemState::Combining ||
            item->state == ItemState::Verifying) {
            item->state = ItemState::Paused;
            UpdateRow(*item);
        }
    }
}

void ItemLifecycle::ResumeAll() {
    services_.engine.Resume();
    paused_ = false;
    services_.ui.SetHeaderMode(HeaderMode::Running, signedIn_);
    UpdateStatusMode();
    SelectActiveItem();
}

void ItemLifecycle::LoginLogoutCommand() {
    if (!signedIn_) {
        if (!online_) {
            return;
        }
        std::u16string email = email_;
        std::u16string password = password_;
        if (services_.ui.ShowLoginDialog(email, password)) {
            services_.store.RequestLogin(email, password);
            services_.ui.SetLoginLinkEnabled(false);
        }
        return;
    }
    email_.clear();
    password_.clear();
    services_.store.Logout();
    signOutRequested_ = true;
    services_.ui.SetLoginLinkEnabled(false);
}

void ItemLifecycle::OnAuthStarted() {
    services_.ui.SetLoginLinkEnabled(false);
}

void ItemLifecycle::OnAuthFailed() {
    signedIn_ = false;
    services_.ui.SetHeaderMode(online_ ? HeaderMode::SignedOut : HeaderMode::Offline, signedIn_);
    UpdateStatusMode();
    UpdateTrayIcon();
    services_.ui.SetLoginLinkEnabled(true);
    // No dialog after the user signed out, and none while the window is hidden in the tray: the
    // login link lets the user sign in once the window is back.
    if (signOutRequested_ || minimisedToTray_) {
        return;
    }
    std::u16string email = email_;
    std::u16string password = password_;
    if (services_.ui.ShowLoginDialog(email, password)) {
        services_.store.RequestLogin(email, password);
    }
}

void ItemLifecycle::OnUserAuthenticated(const UserAuthenticated& result) {
    const UserDetails& user = result.user;
    Logger().Log(u"User %s was authenticated", user.userName);
    if (std::optional<RegistryKey> settings =
            RegistryKey::Create(services_.registry, CVelkDownloaderApp::kSettingsKeyPath)) {
        settings->SetString(u"token", result.token);
        settings->SetString(u"secret", result.tokenSecret);
    }
    signedIn_ = true;
    const std::u16string picture =
        user.bigAvatar.empty() ? std::u16string()
                               : NormalisePath(services_.dataFolder + u"/" + user.bigAvatar);
    services_.ui.SetUser(picture, user.userName);
    UpdateTrayIcon();
    UpdateStatusMode();
    UpdateHeaderButtons();
    services_.ui.SetLoginLinkEnabled(true);
}

void ItemLifecycle::Quit(Stoppable* last) {
    services_.engine.Shutdown();
    services_.loader.Stop();
    services_.installerChecks.Stop();
    services_.store.Stop();
    if (last != nullptr) {
        last->Stop();
    }
}
