#pragma once
// What the item lifecycle calls on the world around it: the download engine, the store's request
// and sign-in threads, the loader thread and the front end (window or headless). Each front end
// wires adapters to its real engines; tests use fakes. Every call comes from the user-interface
// thread, the only thread that runs the lifecycle.
#include <cstdint>
#include <string>

class DownloadInfo;

// The download manager's operations the lifecycle uses.
class DownloadEngineControl {
public:
    virtual ~DownloadEngineControl() = default;
    // Hands one item over; the engine keeps its own copy.
    virtual void RequestDownload(const DownloadInfo& record) = 0;
    // Asks the engine to release an item; with deleteFiles it deletes the item's own files (and
    // the folders they leave empty; `folder` names the item's folder, empty for none). The engine
    // answers with ItemReleased.
    virtual void RequestRemoval(const DownloadInfo& record, bool deleteFiles,
                                const std::u16string& folder) = 0;
    // The answer to the worker's link request numbered `passThrough`.
    virtual void DeliverLink(uint32_t workerSlot, const std::u16string& link,
                             uint64_t passThrough) = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    // Stops the scheduler, the connectivity check and the workers; returns once they ended.
    virtual void Shutdown() = 0;
};

// The connections manager's operations the lifecycle uses.
class StoreRequests {
public:
    virtual ~StoreRequests() = default;
    virtual void RequestDetails(const std::u16string& name, const std::u16string& folder) = 0;
    virtual void RequestLink(const std::u16string& name, uint64_t fileId, uint32_t workerSlot,
                             uint64_t passThrough) = 0;
    virtual void CancelDetails(const std::u16string& name) = 0;
    virtual void RequestLogin(const std::u16string& email, const std::u16string& password) = 0;
    virtual void Logout() = 0;
    // Ends the request thread, then the sign-in thread; returns once both ended.
    virtual void Stop() = 0;
};

// Reads the stored chunk indexes of listed records in the background (LoaderThread).
class ItemLoader {
public:
    virtual ~ItemLoader() = default;
    // Queues a copy of the record; the answer comes as LocalDetails.
    virtual void Enqueue(const DownloadInfo& record) = 0;
    // Ends the loader and returns once it ended.
    virtual void Stop() = 0;
};

// Checks installers against their whole-file digests in the background (InstallerCheckThread).
class InstallerChecks {
public:
    virtual ~InstallerChecks() = default;
    // Queues a check of the file at `path`; the answer comes as InstallerChecked.
    virtual void Check(const std::u16string& gameName, const std::u16string& path,
                       const std::u16string& expectedDigest) = 0;
    // Ends the checks (one running is broken off) and returns once they ended.
    virtual void Stop() = 0;
};

// Anything else the quit sequence stops last (the speed meter).
class Stoppable {
public:
    virtual ~Stoppable() = default;
    virtual void Stop() = 0;
};

// The status bar's connection mode.
enum class StatusMode : int32_t { Online = 0, Offline = 1, Paused = 2 };

// The header's Pause / Resume buttons and login link, one case of the window's header rule.
enum class HeaderMode {
    Running,    // Pause enabled, Resume disabled, the link reads "Logout"
    SignedOut,  // both buttons disabled, link "Login", user "Not logged in", picture dropped
    Paused,     // Pause disabled, Resume enabled
    Offline,    // both buttons disabled
};

// The message boxes the lifecycle shows: a question with Yes and No, or a warning with OK.
enum class AskStyle : uint32_t { YesNoQuestion = 0x24, OkWarning = 0x30 };
// What a message box answered.
enum class Answer : int32_t {
    Ok = 1,
    NotShown = 3,  // no box was shown (hidden in the tray, or another modal dialog is open)
    Yes = 6,
    No = 7,
};

// The front end's side: message boxes, the desktop's "open", the tray, header and status bar.
class LifecycleUi {
public:
    virtual ~LifecycleUi() = default;
    // A modal question or notice with the given style; its answer, or Answer::NotShown when no
    // box could be shown because another modal dialog holds the screen.
    virtual Answer AskUser(AskStyle style, const std::u16string& text) = 0;
    // A web page in the desktop's browser.
    virtual void OpenUrl(const std::u16string& url) = 0;
    // Starts a downloaded installer (a program or script is started directly). The only way the
    // lifecycle starts a local file: every entry point checks the file first.
    virtual void RunInstaller(const std::u16string& path) = 0;
    // "Downloaded and ready to install", titled with the game's title; only while in the tray.
    virtual void ShowReadyBalloon(const std::u16string& title) = 0;
    // Tray icon and tooltip, only while in the tray: online means online and signed in.
    virtual void UpdateTrayIcon(bool online) = 0;
    virtual void SetStatusMode(StatusMode mode) = 0;
    virtual void SetSpeed(uint32_t kilobytesPerSecond) = 0;
    // The header's buttons by `mode`; the login link reads "Logout" exactly while `signedIn`
    // (whatever the mode), since a click on it signs out then.
    virtual void SetHeaderMode(HeaderMode mode, bool signedIn) = 0;
    virtual void SetLoginLinkEnabled(bool enabled) = 0;
    // The signed-in user's picture (empty: none) and name in the header.
    virtual void SetUser(const std::u16string& picturePath, const std::u16string& userName) = 0;
    // The login dialog prefilled with email and password; true with the entered pair on OK.
    virtual bool ShowLoginDialog(std::u16string& email, std::u16string& password) = 0;
};
