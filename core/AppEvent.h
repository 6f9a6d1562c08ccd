#pragma once
// The events through which every background thread reports to the main window (or to the headless
// front end's loop): one small struct per thing said, all of them alternatives of AppEvent. An
// event owns what it carries (records by unique_ptr, the rest by value) and is moved from the
// posting thread to the user-interface thread, so whoever holds it last frees it on every path.
// An event is written only before the post and read only after it: it needs no lock.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "core/DownloadInfo.h"
#include "core/ItemState.h"
#include "core/MessageIds.h"
#include "core/UserDetails.h"
#include "platform/FileIdentity.h"

// "All bits set" in a chunk id or byte count: every chunk of the file, or the whole file.
inline constexpr uint64_t kAllBits = ~uint64_t{0};

// --- Download engine (worker threads, scheduler, combine task) ---

// Bytes of one chunk on disk so far.
struct ChunkProgress {
    static constexpr uint32_t kLogNumber = WM_APP_CHUNK_PROGRESS;
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t chunkId = 0;
    uint64_t byteCount = 0;
};

// Bytes of one chunk joined into its file so far.
struct CombineProgress {
    static constexpr uint32_t kLogNumber = WM_APP_COMBINE_PROGRESS;
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t chunkId = 0;    // kAllBits: every chunk of the file is joined
    uint64_t byteCount = 0;  // kAllBits with chunkId kAllBits
};

// Bytes of a finished file checked against its whole-file digest so far.
struct CheckProgress {
    static constexpr uint32_t kLogNumber = WM_APP_CHECK_PROGRESS;
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t byteCount = 0;  // kAllBits: the whole file
};

// A file's segment on the row starts again from empty.
struct FileProgressReset {
    enum class Reason : uint8_t {
        kCombineStarting,    // a combine task begins
        kFileJoined,         // the file is joined; its check begins
        kRestartCarriedOut,  // the engine deleted the old file and every chunk of it: the
                             // record's restart flag of that file is done with
    };
    std::u16string gameName;
    uint64_t fileId = 0;
    Reason reason = Reason::kFileJoined;
};

// The store does not offer the file, or it can't be fetched safely.
struct FileUnavailable {
    static constexpr uint32_t kLogNumber = WM_APP_FILE_UNAVAILABLE;
    std::u16string gameName;
    uint64_t fileId = 0;
};

// The engine stopped working on the item (another one was handed over, or the network went).
struct ItemPaused {
    static constexpr uint32_t kLogNumber = WM_APP_ITEM_PAUSED;
    std::u16string gameName;
};

// A join is taken back: joined and checked counts start again from nothing.
struct CombineReset {
    static constexpr uint32_t kLogNumber = WM_APP_COMBINE_RESET;
    std::u16string gameName;
};

struct ItemFinished {
    static constexpr uint32_t kLogNumber = WM_APP_ITEM_FINISHED;
    std::u16string gameName;
    // Every file the store offers is done, but some it does not offer are missing.
    bool partially = false;
};

struct ItemFailed {
    static constexpr uint32_t kLogNumber = WM_APP_ITEM_FAILED;
    std::u16string gameName;
    std::optional<uint64_t> fileId;  // none: the failure is the whole item's
    ErrorKind kind = ErrorKind::None;
    uint64_t bytesShort = 0;  // kind DiskSpace: how many more bytes the download needs
};

// A join was given up; the item is handed back to be planned again.
struct ItemResubmit {
    static constexpr uint32_t kLogNumber = WM_APP_ITEM_RESUBMIT;
    std::u16string gameName;
    bool diskProblem = false;  // the join could not write: the item fails instead
};

// The engine let go of an item whose removal was asked for.
struct ItemReleased {
    static constexpr uint32_t kLogNumber = WM_APP_ITEM_RELEASED;
    std::u16string gameName;
};

// A worker waits for a download link of a file.
struct LinkNeeded {
    static constexpr uint32_t kLogNumber = WM_APP_LINK_NEEDED;
    std::u16string gameName;
    uint64_t fileId = 0;
    uint64_t passThrough = 0;  // handed on unchanged to the link request
    uint32_t workerSlot = 0;   // where the link must go back
};

// --- Speed meter and connectivity check ---

struct SpeedSample {
    static constexpr uint32_t kLogNumber = WM_APP_SPEED_SAMPLE;
    uint64_t kilobytesPerSecond = 0;
};

struct ConnectionStatus {
    static constexpr uint32_t kLogNumber = WM_APP_CONNECTION_STATUS;
    bool online = false;
};

// --- Store threads ---

// A link a worker asked for (LinkNeeded).
struct FileLink {
    static constexpr uint32_t kLogNumber = WM_APP_FILE_LINK;
    uint32_t workerSlot = 0;
    std::u16string link;       // empty when none was found
    uint64_t passThrough = 0;  // the link request's, handed back unchanged
};

struct DetailsReply {
    static constexpr uint32_t kLogNumber = WM_APP_GAME_DETAILS;
    enum Kind : uint32_t { kTitleOnly = 1, kFinal = 2 };
    enum Result : uint32_t { kSuccess = 0, kRefused = 1, kFailed = 2 };
    uint32_t kind = kTitleOnly;  // Kind bits
    std::u16string title;
    std::u16string iconReference;
    Result result = kSuccess;
    std::u16string gameName;
    std::unique_ptr<DownloadInfo> details;  // kind kFinal, result kSuccess only
    std::u16string message;                 // result kRefused only
};

struct AuthStarted {
    static constexpr uint32_t kLogNumber = WM_APP_AUTH_STARTED;
};

struct UserAuthenticated {
    static constexpr uint32_t kLogNumber = WM_APP_USER_AUTHENTICATED;
    std::u16string token;
    std::u16string tokenSecret;
    UserDetails user;
};

struct AuthFailed {
    static constexpr uint32_t kLogNumber = WM_APP_AUTH_FAILED;
};

// --- Loader and installer check threads ---

// What the loader read from a record's chunk indexes.
struct LocalDetails {
    static constexpr uint32_t kLogNumber = WM_APP_LOCAL_DETAILS;
    std::u16string gameName;
    bool read = false;                   // the indexes were read into `info`
    std::unique_ptr<DownloadInfo> info;  // the copy the loader filled
};

// An installer checked against its whole-file digest before it may be started.
struct InstallerCheck {
    std::u16string gameName;
    std::u16string path;
    std::u16string expectedDigest;
    std::u16string digest;  // what the file gave; empty when it could not be read
    // The file that passed, as it was when its last byte was read; nothing unless it passed.
    std::optional<FileIdentity> identity;
    bool passed = false;
};

// The installer check thread's answer.
struct InstallerChecked {
    static constexpr uint32_t kLogNumber = WM_APP_INSTALLER_CHECKED;
    InstallerCheck check;
};

// How far the installer check thread has read a game's installer, so that the row can show the
// check going on.
struct InstallerCheckProgress {
    static constexpr uint32_t kLogNumber = WM_APP_INSTALLER_CHECK_PROGRESS;
    std::u16string gameName;
    uint64_t byteCount = 0;
};

using AppEvent = std::variant<ChunkProgress, CombineProgress, CheckProgress, FileProgressReset,
                              FileUnavailable, ItemPaused, CombineReset, ItemFinished, ItemFailed,
                              ItemResubmit, ItemReleased, LinkNeeded, SpeedSample, ConnectionStatus,
                              FileLink, DetailsReply, AuthStarted, UserAuthenticated, AuthFailed,
                              LocalDetails, InstallerChecked, InstallerCheckProgress>;

// The message number log lines name an event by.
template <class Event>
constexpr uint32_t LogNumberOf(const Event&) {
    return Event::kLogNumber;
}
constexpr uint32_t LogNumberOf(const FileProgressReset& event) {
    return event.reason == FileProgressReset::Reason::kCombineStarting
               ? WM_APP_FILE_PROGRESS_RESET_ON_COMBINE
               : WM_APP_FILE_PROGRESS_RESET;
}
uint32_t LogNumberOf(const AppEvent& event);

// Where background threads post. Implementations queue the event for the user-interface thread
// and must be callable from any thread; Post never blocks for long and never runs the handler.
class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void Post(AppEvent event) = 0;
};
