#include "cli/TerminalUi.h"

#include <cstdio>

#include "cli/TerminalRows.h"
#include "core/EscapeControls.h"
#include "core/TextUtil.h"

void TerminalUi::ShowError(const std::u16string& text) {
    lastError_ = text;
    std::fprintf(stderr, "velkdownloader-cli: %s\n", EscapeControlsUtf8(WideToUtf8(text)).c_str());
}

Answer TerminalUi::AskUser(AskStyle style, const std::u16string& text) {
    lastNotice_ = text;
    if (style == AskStyle::YesNoQuestion) {
        // Only removals ask, and a download run never removes anything.
        return Answer::No;
    }
    rows_.Note(WideToUtf8(text));
    return Answer::Ok;
}

void TerminalUi::OpenUrl(const std::u16string& url) {
    rows_.Note("Open in a browser: " + WideToUtf8(url));
}

void TerminalUi::RunInstaller(const std::u16string& path) {
    // Automatic installation is the window's: nothing is started unasked on a headless machine.
    rows_.Note("Ready to install: " + WideToUtf8(path));
}

void TerminalUi::ShowReadyBalloon(const std::u16string& title) {
    rows_.Note("Downloaded and ready to install: " + WideToUtf8(title));
}

void TerminalUi::SetStatusMode(StatusMode mode) {
    // Offline here means "not both online and signed in"; only a lost connection after a
    // sign-in is worth a line.
    if (mode == StatusMode::Offline && signedIn_ && !announcedOffline_) {
        rows_.Note("The store cannot be reached; waiting for the connection...");
        announcedOffline_ = true;
    } else if (mode != StatusMode::Offline) {
        announcedOffline_ = false;
    }
}

void TerminalUi::SetSpeed(uint32_t kilobytesPerSecond) {
    rows_.SetSpeed(kilobytesPerSecond);
}

void TerminalUi::SetUser(const std::u16string&, const std::u16string& userName) {
    signedIn_ = true;
    signInFailed_ = false;
    rows_.Note("Signed in as " + WideToUtf8(userName));
}

bool TerminalUi::ShowLoginDialog(std::u16string&, std::u16string&) {
    signedIn_ = false;
    signInFailed_ = true;
    return false;
}
