#pragma once
// A plain list for lifecycle tests: rows in display order with everything the lifecycle writes,
// reordering that reports back like the real list, and a repaint counter.
#include <algorithm>
#include <string>
#include <vector>

#include "app/RowView.h"
#include "core/MessageIds.h"

class FakeRowView final : public RowView {
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
        // What the status button sends, styled as the real list styles it: when the row's state
        // is set, from that state and the segments it has then.
        uint32_t button = 0;

        bool HasSegmentOfKind(SegmentKind kind) const {
            return std::any_of(segments.begin(), segments.end(),
                               [kind](const Segment& segment) { return segment.kind == kind; });
        }
        // The list's context menu offers "Retry" for a failed file.
        bool MenuOffersRetry() const { return HasSegmentOfKind(SegmentKind::Failed); }
        void Style(int32_t newState) {
            state = newState;
            if (HasSegmentOfKind(SegmentKind::Failed) || state == RowFailed) {
                button = WM_APP_RETRY_ITEM;
            } else if (state == RowActive || state == RowActiveNoProgress ||
                       state == RowActiveNoProgress2) {
                button = WM_APP_PAUSE_BUTTON;
            } else if (state == RowPaused || state == RowPending) {
                button = WM_APP_ROW_TOGGLE;
            } else if (state == RowReady) {
                button = WM_APP_RUN_INSTALLER;
            }
        }
    };

    // Where MoveRowToTop reports the new order (the lifecycle under test).
    RowCommandSink* sink = nullptr;
    std::vector<Row> rows;
    int refreshes = 0;

    int FindRow(const std::u16string& id) const override {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].id == id) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    int AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                       const std::u16string& statusText, const std::u16string& iconPath,
                       int32_t state) override {
        int index = FindRow(id);
        if (index < 0) {
            rows.push_back(Row{id, title, statusText, iconPath, 0, {}, {}, {}, 0});
            index = static_cast<int>(rows.size()) - 1;
        } else {
            rows[static_cast<size_t>(index)].title = title;
            rows[static_cast<size_t>(index)].status = statusText;
        }
        rows[static_cast<size_t>(index)].Style(state);
        return index;
    }
    void RemoveRow(int index) override { rows.erase(rows.begin() + index); }
    void SetRowTitle(int index, const std::u16string& text) override { At(index).title = text; }
    void SetRowStatusText(int index, const std::u16string& text) override {
        At(index).status = text;
    }
    void SetRowState(int index, int32_t state) override { At(index).Style(state); }
    void SetRowIcon(int index, const std::u16string& path) override {
        if (!path.empty()) {
            At(index).icon = path;
        }
    }
    void SetRowLink(int index, const std::u16string& text, const std::u16string& target) override {
        At(index).linkText = text;
        At(index).linkTarget = target;
    }
    void ClearRowSegments(int index) override { At(index).segments.clear(); }
    std::vector<Segment>& RowSegments(int index) override { return At(index).segments; }
    void PauseActiveRows() override {
        for (Row& row : rows) {
            if ((row.state & kRowRunningStates) != 0) {
                row.Style(RowPaused);
            }
        }
    }
    void MoveRowToTop(int index) override {
        std::rotate(rows.begin(), rows.begin() + index, rows.begin() + index + 1);
        if (sink != nullptr) {
            sink->OnRowOrderChanged();
        }
    }
    void Refresh() override { ++refreshes; }
    int RowCount() const override { return static_cast<int>(rows.size()); }
    std::u16string RowId(int index) const override { return rows[static_cast<size_t>(index)].id; }

    // The row of a game; the test fails loudly (out of range) when there is none.
    Row& Of(const std::u16string& id) { return rows.at(static_cast<size_t>(FindRow(id))); }

private:
    Row& At(int index) { return rows.at(static_cast<size_t>(index)); }
};
