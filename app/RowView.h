#pragma once
// What the item lifecycle needs from the progress list, and what the list reports back. The Qt
// list implements RowView; the headless front end and the tests implement it with plain fakes.
// Both sides run on the user-interface thread only.
#include <cstdint>
#include <string>
#include <vector>

// What one file of a row is doing; the lifecycle sets it, the list picks the colours.
enum class SegmentKind : int32_t {
    Downloading = 0,  // fill: on disk / size
    Unavailable = 1,  // the server does not offer the file
    Joining = 2,      // fill: joined / size
    Checking = 3,     // fill: verified / size
    Failed = 4,
};

// One part of a row's progress bar, one per installer file; fractions of the bar's width.
struct Segment {
    SegmentKind kind = SegmentKind::Downloading;
    float start = 0;
    float end = 0;
    float fill = 0;  // filled part of this segment, fraction of the segment
};

// Row states; they choose the bar's colours and the status button's look and command.
enum RowState : int32_t {
    RowActive = 1,
    RowPaused = 2,
    RowReady = 4,
    RowActiveNoProgress = 8,    // drawn as RowActive without its downloading segments
    RowActiveNoProgress2 = 16,  // the same look as 8
    RowPending = 32,            // as RowPaused, faded
    RowFailed = 64,
};
// The states in which a row's download runs; PauseActiveRows moves each of them to RowPaused.
inline constexpr int32_t kRowRunningStates = RowActive | RowActiveNoProgress | RowActiveNoProgress2;

class RowView {
public:
    virtual ~RowView() = default;

    // Index of the first row whose id equals `id` exactly, or -1.
    virtual int FindRow(const std::u16string& id) const = 0;
    // Updates title and status text (not the icon) of an existing row, or appends a new row;
    // then applies the state. Returns the row's index.
    virtual int AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                               const std::u16string& statusText, const std::u16string& iconPath,
                               int32_t state) = 0;
    virtual void RemoveRow(int index) = 0;
    virtual void SetRowTitle(int index, const std::u16string& text) = 0;
    virtual void SetRowStatusText(int index, const std::u16string& text) = 0;
    virtual void SetRowState(int index, int32_t state) = 0;
    // Ignored when empty or equal to the row's current icon path.
    virtual void SetRowIcon(int index, const std::u16string& imagePath) = 0;
    virtual void SetRowLink(int index, const std::u16string& text,
                            const std::u16string& target) = 0;
    virtual void ClearRowSegments(int index) = 0;
    // The row's segments, written in place by the caller, who then calls Refresh.
    virtual std::vector<Segment>& RowSegments(int index) = 0;
    // Every row in a state with a bit of kRowRunningStates set (1, 8, 16) goes to RowPaused.
    virtual void PauseActiveRows() = 0;
    // Moves the row to index 0 and reports the new order (RowCommandSink::OnRowOrderChanged).
    virtual void MoveRowToTop(int index) = 0;
    // Repaints after segments were written in place.
    virtual void Refresh() = 0;

    // Reading the order back after a change.
    virtual int RowCount() const = 0;
    virtual std::u16string RowId(int index) const = 0;
};

// Where the list sends its user actions. Calls are synchronous: the receiver has acted (and may
// have removed the row) when the call returns. `argument` is valid during the call only.
class RowCommandSink {
public:
    virtual ~RowCommandSink() = default;
    // WM_APP_REMOVE_ITEM, WM_APP_OPEN_LINK, WM_APP_RUN_INSTALLER, WM_APP_OPEN_GAME_CARD,
    // WM_APP_RETRY_ITEM, WM_APP_PAUSE_BUTTON, WM_APP_ROW_TOGGLE with their argument and lParam.
    virtual void OnRowCommand(uint32_t message, const std::u16string& argument, int64_t lParam) = 0;
    // The rows' order changed (end of a drag, MoveRowToTop): read it back through RowView.
    virtual void OnRowOrderChanged() = 0;
};
