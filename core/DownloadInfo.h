#pragma once
// One game's download: its files, progress counts and state. A plain value: the main window's
// list owns the listed records and changes them only on the user-interface thread; every other
// thread works on its own copy (copy construction, assignment or CopyFrom copy every field,
// files and chunks included). Stored in the registry as one REG_BINARY value per game.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/FileInfo.h"
#include "core/ISerializable.h"
#include "core/ItemState.h"

class DownloadInfo final : public ISerializable {
public:
    explicit DownloadInfo(std::u16string_view folder = {});
    DownloadInfo(const DownloadInfo&) = default;
    DownloadInfo& operator=(const DownloadInfo&) = default;
    ~DownloadInfo() = default;

    void CopyFrom(const DownloadInfo& other) { *this = other; }

    // Appends the stored fields (list position, name, title, icon, total, installer, files
    // without chunks, completed, folder). A text field longer than a 16-bit byte count can hold
    // refuses the whole record: false, a warning, and `out` unchanged.
    bool Serialize(std::vector<uint8_t>& out) const override;
    // Reads a stored record; on failure logs a warning with the name read so far and returns
    // false, leaving the record and the cursor unchanged. Bytes after the folder are ignored.
    bool Deserialize(const uint8_t*& cursor, size_t& remaining) override;

    // Rebuilds the files' and the record's byte counts from the chunks (verified is kept).
    void RecomputeTotals();
    // Derives the state from the flags and counts; Removing and Failed stay as they are.
    void RecomputeState();

    // Persisted fields are marked (stored).
    int32_t listPosition = -1;    // (stored) row index in the list; -1 without a row
    uint32_t priority = 0;        // 0 active; 1..999 waiting (= list position); 1000 not eligible
    std::u16string name;          // (stored) the game name; the record's key everywhere
    std::u16string title;         // (stored)
    std::u16string icon;          // (stored) relative to the data folder: ".data/<file>"
    std::u16string folder;        // (stored) the downloads folder when the record was made
    std::u16string installer;     // (stored) relative to the folder; set when completed
    std::vector<FileInfo> files;  // (stored, without chunks) id == position
    bool detailsReceived = false;
    // This run: how often in a row the engine handed the item back after a failed join.
    uint32_t joinResubmits = 0;
    bool localDetailsLoaded = false;
    bool completed = false;         // (stored)
    bool stopped = false;           // finished without its unavailable files; paused for this run
    uint32_t remainingSeconds = 0;  // 0 when unknown
    ItemState state = ItemState::Paused;
    ErrorKind errorKind = ErrorKind::None;
    uint64_t spaceShort = 0;  // with ErrorKind::DiskSpace: the bytes more that it needs
    uint64_t downloaded = 0;  // sum of the files' bytes on disk
    uint64_t joined = 0;      // sum of the files' joined bytes
    uint64_t verified = 0;    // sum of the files' verified bytes
    uint64_t total = 0;       // (stored) sum of the files' sizes
    uint64_t available = 0;   // sum of the sizes of the available files
};
