#pragma once
// A plain list for lifecycle tests: rows in display order with everything the lifecycle writes,
// reordering that reports back like the real list, and a repaint counter.
#include <algorithm>
#include <string>
#include <vector>

#include "app/RowView.h"

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
            rows.push_back(Row{id, title, statusText, iconPath, state, {}, {}, {}});
            index = static_cast<int>(rows.size()) - 1;
        } else {
            rows[static_cast<size_t>(index)].title = title;
            rows[static_cast<size_t>(index)].status = statusText;
            rows[static_cast<size_t>(index)].state = state;
        }
        return index;
    }
    void RemoveRow(int index) override { rows.erase(rows.begin() + index); }
    void SetRowTitle(int index, const std::u16string& text) override { At(index).title = text; }
    void SetRowStatusText(int index, const std::u16string& text) override {
        At(index).status = text;
    }
    void SetRowState(int index, int32_t state) override { At(index).state = state; }
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
            if ((row.state & 0x19) != 0) {
                row.state = RowPaused;
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
