#pragma once
// The headless front end's list: the rows the lifecycle writes, kept in memory, and shown on
// standard output as one line per shown row - its title, a text bar made from its segments and
// its own status text. On a terminal the lines are redrawn in place; otherwise (a pipe, a file,
// or with the log echoed) a row's line is printed again only when its text changed, at most
// once per period. Main (user-interface) thread only.
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/RowView.h"

class TerminalRows final : public RowView {
public:
    struct Row {
        std::u16string id;
        std::u16string title;
        std::u16string status;
        std::u16string icon;
        int32_t state = 0;
        std::u16string linkText;
        std::u16string linkTarget;
        std::vector<Segment> segments;
    };

    // `inPlace`: redraw on a terminal; `fd` is where the lines go.
    TerminalRows(int fd, bool inPlace);

    // Where MoveRowToTop reports the new order.
    void SetSink(RowCommandSink* sink) { sink_ = sink; }
    // Only rows of these ids are shown (the games asked for on the command line).
    void Show(const std::u16string& id) { shown_.insert(id); }

    // Draws the shown rows when due (or at once with `force`).
    void Render(bool force = false);
    // A line of its own above the rows (a redraw follows at the next Render). Notes and row lines
    // carry texts from the network: their control characters are printed as visible escapes, so
    // only this class's own sequences ever move the cursor.
    void Note(const std::string& line);
    // The status bar's speed, shown after the rows.
    void SetSpeed(uint32_t kilobytesPerSecond) { speed_ = kilobytesPerSecond; }
    uint32_t Speed() const { return speed_; }

    const Row* FindRowById(const std::u16string& id) const;
    // The part of the row's bar that is filled, 0..1: its segments' fills by their widths.
    static double Filled(const Row& row);
    // "[#####.....]" of `width` cells.
    static std::string TextBar(double filled, size_t width);
    // The row's status text followed by its link and where it leads (UTF-8, not escaped).
    static std::string StatusText(const Row& row);
    // The line a row is shown as (UTF-8, control characters escaped, not cut to the terminal's
    // width).
    static std::string RowLine(const Row& row);

    // RowView
    int FindRow(const std::u16string& id) const override;
    int AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                       const std::u16string& statusText, const std::u16string& iconPath,
                       int32_t state) override;
    void RemoveRow(int index) override;
    void SetRowTitle(int index, const std::u16string& text) override;
    void SetRowStatusText(int index, const std::u16string& text) override;
    void SetRowState(int index, int32_t state) override;
    void SetRowIcon(int index, const std::u16string& imagePath) override;
    void SetRowLink(int index, const std::u16string& text, const std::u16string& target) override;
    void ClearRowSegments(int index) override;
    std::vector<Segment>& RowSegments(int index) override;
    void PauseActiveRows() override;
    void MoveRowToTop(int index) override;
    void Refresh() override {}
    int RowCount() const override { return static_cast<int>(rows_.size()); }
    std::u16string RowId(int index) const override { return At(index).id; }

private:
    Row& At(int index);
    const Row& At(int index) const;
    void Write(const std::string& text) const;
    void ClearDrawn();
    size_t Width() const;

    const int fd_;
    const bool inPlace_;
    RowCommandSink* sink_ = nullptr;
    std::vector<Row> rows_;
    std::set<std::u16string> shown_;
    uint32_t speed_ = 0;
    size_t drawnLines_ = 0;  // lines of the last in-place drawing, below the cursor's line
    std::map<std::u16string, std::string> lastPrinted_;  // per shown row, plain mode
    std::chrono::steady_clock::time_point lastDraw_{};
};
