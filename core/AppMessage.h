#pragma once
// The messages through which every background thread reports to the main window, and through which
// the list's rows hand user actions to it. Numbers are WM_APP plus the offsets the whole program
// agrees on; each message carries an optional typed payload owned by a unique_ptr, so whoever
// holds the message last frees it on every path, including the ones that only log.
// A payload is written only before the post and read only after it: it needs no lock.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/FileIdentity.h"

class DownloadInfo;
struct UserDetails;

enum AppMessageId : uint32_t {
    WM_APP = 0x8000,
    WM_APP_CHUNK_PROGRESS = WM_APP + 0x64,
    WM_APP_COMBINE_PROGRESS = WM_APP + 0x65,
    WM_APP_CHECK_PROGRESS = WM_APP + 0x66,
    WM_APP_FILE_PROGRESS_RESET = WM_APP + 0x67,
    WM_APP_ITEM_FINISHED = WM_APP + 0x69,
    WM_APP_ITEM_PAUSED = WM_APP + 0x6A,
    WM_APP_COMBINE_RESET = WM_APP + 0x6B,
    // Same payload and handling as WM_APP_FILE_PROGRESS_RESET; sent when a combine task begins.
    WM_APP_FILE_PROGRESS_RESET_ON_COMBINE = WM_APP + 0x6C,
    WM_APP_FILE_UNAVAILABLE = WM_APP + 0x6D,
    WM_APP_ITEM_FAILED = WM_APP + 0x6E,
    WM_APP_ITEM_RESUBMIT = WM_APP + 0x6F,
    WM_APP_ITEM_RELEASED = WM_APP + 0x70,
    WM_APP_CONNECTION_STATUS = WM_APP + 0x71,
    WM_APP_LINK_NEEDED = WM_APP + 0x72,
    WM_APP_LOCAL_DETAILS = WM_APP + 0xC8,
    WM_APP_TRAY_ICON = WM_APP + 0x22B,
    WM_APP_SPEED_SAMPLE = WM_APP + 0x232,
    WM_APP_REMOVE_ITEM = WM_APP + 0x29A,
    WM_APP_OPEN_LINK = WM_APP + 0x29B,
    WM_APP_RUN_INSTALLER = WM_APP + 0x29C,
    WM_APP_OPEN_GAME_CARD = WM_APP + 0x29D,
    WM_APP_RETRY_ITEM = WM_APP + 0x29E,
    WM_APP_PAUSE_BUTTON = WM_APP + 0x29F,
    WM_APP_ROW_TOGGLE = WM_APP + 0x2A0,
    // The installer check thread's answer (InstallerCheck).
    WM_APP_INSTALLER_CHECKED = WM_APP + 0x2A1,
    // How far the installer check thread has read an installer (ProgressReport: the game, file
    // 0, the bytes read so far), so that the row can show the check going on.
    WM_APP_INSTALLER_CHECK_PROGRESS = WM_APP + 0x2A2,
    WM_APP_USER_AUTHENTICATED = WM_APP + 0x379,
    WM_APP_AUTH_STARTED = WM_APP + 0x37A,
    WM_APP_AUTH_FAILED = WM_APP + 0x37B,
    WM_APP_GAME_DETAILS = WM_APP + 0x37C,
    WM_APP_FILE_LINK = WM_APP + 0x37D,
};

// "All bits set" in a file id, chunk id or byte count: no particular file, every chunk of the
// file, or the whole file.
inline constexpr uint64_t kAllBits = ~uint64_t{0};

// WM_APP_FILE_PROGRESS_RESET's lParam when the download engine has carried out the file's restart
// (deleted the old finished file and every chunk of it): the record's restart flag of that file is
// done with.
inline constexpr int64_t kRestartCarriedOut = 1;

struct MessagePayload {
    virtual ~MessagePayload();
};

// A game name: WM_APP_ITEM_FINISHED, _ITEM_PAUSED, _COMBINE_RESET, _ITEM_RELEASED and the list's
// name-carrying messages.
struct NamePayload : MessagePayload {
    std::u16string name;
};

struct ProgressReport : MessagePayload {
    enum Phase : uint32_t { kChunkDownload = 0, kJoining = 1, kWholeFileCheck = 2 };
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t chunkId = 0;  // kAllBits: every chunk of the file
    uint32_t phase = kChunkDownload;
    uint64_t byteCount = 0;  // kAllBits with WM_APP_CHECK_PROGRESS: the whole file
};

struct FileEvent : MessagePayload {
    std::u16string gameName;
    uint64_t fileId = kAllBits;  // kAllBits: no particular file
    uint64_t bytesShort = 0;     // a failure for want of disk space: how many more bytes it needs
};

struct LinkRequest : MessagePayload {
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t passThrough = 0;  // handed on unchanged to the link request
    std::u16string link;       // empty; not read by the handler
    uint32_t workerSlot = 0;   // where the link must go back
};

struct LocalDetails : MessagePayload {
    LocalDetails();
    ~LocalDetails() override;
    std::u16string gameName;
    std::unique_ptr<DownloadInfo> info;  // the copy the loader filled
};

struct DetailsReply : MessagePayload {
    enum Kind : uint32_t { kTitleOnly = 1, kFinal = 2 };
    enum Result : uint32_t { kSuccess = 0, kRefused = 1, kFailed = 2 };
    DetailsReply();
    ~DetailsReply() override;
    uint32_t kind = kTitleOnly;
    std::u16string title;
    std::u16string iconReference;  // not read by the handler
    uint32_t result = kSuccess;
    std::u16string gameName;
    std::unique_ptr<DownloadInfo> details;  // kind kFinal, result kSuccess only
    std::u16string message;                 // result kRefused only
};

struct FileLink : MessagePayload {
    uint32_t workerSlot = 0;
    std::u16string link;       // empty when none was found
    uint64_t passThrough = 0;  // the link request's, handed back unchanged
};

// An installer checked against its whole-file digest before it may be started.
struct InstallerCheck : MessagePayload {
    std::u16string gameName;
    std::u16string path;
    std::u16string expectedDigest;
    std::u16string digest;  // what the file gave; empty when it could not be read
    // The file that passed, as it was when its last byte was read; nothing unless it passed.
    std::optional<FileIdentity> identity;
    bool passed = false;
};

struct AuthResult : MessagePayload {
    AuthResult();
    ~AuthResult() override;
    std::u16string token;
    std::u16string tokenSecret;
    std::unique_ptr<UserDetails> user;
};

// One posted message: its number, the plain value the number's table puts in wParam when there is
// no payload (online flag, speed in KB/s, tray icon id), the payload if any, and lParam.
struct AppMessage {
    uint32_t id = 0;
    uint64_t wParam = 0;
    std::unique_ptr<MessagePayload> payload;
    int64_t lParam = 0;

    // The payload as the type the message's number promises; nullptr when it is something else.
    template <class T>
    T* PayloadAs() const {
        return dynamic_cast<T*>(payload.get());
    }
    // Takes the payload over as T, or returns nullptr and leaves it (to be freed with the message).
    template <class T>
    std::unique_ptr<T> TakePayload() {
        if (dynamic_cast<T*>(payload.get()) == nullptr) {
            return nullptr;
        }
        return std::unique_ptr<T>(static_cast<T*>(payload.release()));
    }
};

AppMessage MakeMessage(uint32_t id, std::unique_ptr<MessagePayload> payload, int64_t lParam = 0);
AppMessage MakeValueMessage(uint32_t id, uint64_t wParam, int64_t lParam = 0);

// Where background threads post. Implementations queue the message for the user-interface thread
// and must be callable from any thread; Post never blocks for long and never runs the handler.
class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void Post(AppMessage message) = 0;
};
