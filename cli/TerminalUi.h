#pragma once
// The headless front end's side of the lifecycle and of start-up during a download run: questions
// are answered by a fixed policy (nothing is ever removed or deleted by a download run), notices
// and the window's other actions become lines above the progress rows, and a failed sign-in is
// recorded for the main loop instead of opening a dialog. Main (user-interface) thread only.
#include <string>

#include "app/CVelkDownloaderApp.h"
#include "app/LifecycleServices.h"

class TerminalRows;

class TerminalUi final : public LifecycleUi, public StartupUi {
public:
    explicit TerminalUi(TerminalRows& rows) : rows_(rows) {}

    // StartupUi: errors go to standard error.
    void ShowError(const std::u16string& text) override;

    // LifecycleUi
    Answer AskUser(AskStyle style, const std::u16string& text) override;
    void OpenUrl(const std::u16string& url) override;
    void RunInstaller(const std::u16string& path) override;
    void ShowReadyBalloon(const std::u16string& title) override;
    void UpdateTrayIcon(bool) override {}
    void SetStatusMode(StatusMode mode) override;
    void SetSpeed(uint32_t kilobytesPerSecond) override;
    void SetHeaderMode(HeaderMode, bool) override {}
    void SetLoginLinkEnabled(bool) override {}
    void SetUser(const std::u16string& picturePath, const std::u16string& userName) override;
    // No dialog to show: the failure is recorded and the attempt is not repeated.
    bool ShowLoginDialog(std::u16string& email, std::u16string& password) override;

    bool SignInFailed() const { return signInFailed_; }
    bool SignedIn() const { return signedIn_; }
    // The last notice the lifecycle showed (the store's reason for refusing a game).
    const std::u16string& LastNotice() const { return lastNotice_; }
    // The last error start-up showed.
    const std::u16string& LastError() const { return lastError_; }

private:
    TerminalRows& rows_;
    bool signInFailed_ = false;
    bool signedIn_ = false;
    bool announcedOffline_ = false;
    std::u16string lastNotice_;
    std::u16string lastError_;
};
