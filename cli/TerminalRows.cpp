#include "cli/TerminalRows.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>

#include "core/EscapeControls.h"
#include "core/TextUtil.h"

namespace {

// A terminal is redrawn a few times a second; a pipe or a file gets a row's line only when it
// changed and at most once a second, so a long download does not flood it.
constexpr std::chrono::milliseconds kTerminalPeriod{250};
constexpr std::chrono::milliseconds kPlainPeriod{1000};
constexpr size_t kBarCells = 30;

// Cuts UTF-8 text to at most `columns` code points (a fair measure of its width here: titles and
// status texts are mostly Latin).
std::string CutToColumns(const std::string& text, size_t columns) {
    size_t points = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if ((byte & 0xC0) != 0x80) {
            if (points == columns) {
                return text.substr(0, at);
            }
            ++points;
        }
    }
    return text;
}

}  // namespace

TerminalRows::TerminalRows(int fd, bool inPlace) : fd_(fd), inPlace_(inPlace) {}

TerminalRows::Row& TerminalRows::At(int index) {
    return rows_.at(static_cast<size_t>(index));
}

const TerminalRows::Row& TerminalRows::At(int index) const {
    return rows_.at(static_cast<size_t>(index));
}

int TerminalRows::FindRow(const std::u16string& id) const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const TerminalRows::Row* TerminalRows::FindRowById(const std::u16string& id) const {
    const int index = FindRow(id);
    return index < 0 ? nullptr : &At(index);
}

int TerminalRows::AddOrUpdateRow(const std::u16string& id, const std::u16string& title,
                                 const std::u16string& statusText, const std::u16string& iconPath,
                                 int32_t state) {
    int index = FindRow(id);
    if (index < 0) {
        rows_.push_back(Row{id, title, statusText, iconPath, state, {}, {}, {}});
        return static_cast<int>(rows_.size()) - 1;
    }
    Row& row = At(index);
    row.title = title;
    row.status = statusText;
    row.state = state;
    return index;
}

void TerminalRows::RemoveRow(int index) {
    if (index >= 0 && static_cast<size_t>(index) < rows_.size()) {
        rows_.erase(rows_.begin() + index);
    }
}

void TerminalRows::SetRowTitle(int index, const std::u16string& text) {
    At(index).title = text;
}

void TerminalRows::SetRowStatusText(int index, const std::u16string& text) {
    At(index).status = text;
}

void TerminalRows::SetRowState(int index, int32_t state) {
    At(index).state = state;
}

void TerminalRows::SetRowIcon(int index, const std::u16string& imagePath) {
    if (!imagePath.empty()) {
        At(index).icon = imagePath;
    }
}

void TerminalRows::SetRowLink(int index, const std::u16string& text, const std::u16string& target) {
    At(index).linkText = text;
    At(index).linkTarget = target;
}

void TerminalRows::ClearRowSegments(int index) {
    At(index).segments.clear();
}

std::vector<Segment>& TerminalRows::RowSegments(int index) {
    return At(index).segments;
}

void TerminalRows::PauseActiveRows() {
    for (Row& row : rows_) {
        if ((row.state & kRowRunningStates) != 0) {
            row.state = RowPaused;
        }
    }
}

void TerminalRows::MoveRowToTop(int index) {
    std::rotate(rows_.begin(), rows_.begin() + index, rows_.begin() + index + 1);
    if (sink_ != nullptr) {
        sink_->OnRowOrderChanged();
    }
}

double TerminalRows::Filled(const Row& row) {
    double filled = 0;
    for (const Segment& segment : row.segments) {
        const double width = static_cast<double>(segment.end) - static_cast<double>(segment.start);
        if (width > 0) {
            filled += width * std::clamp(static_cast<double>(segment.fill), 0.0, 1.0);
        }
    }
    return std::clamp(filled, 0.0, 1.0);
}

std::string TerminalRows::TextBar(double filled, size_t width) {
    const auto cells =
        static_cast<size_t>(std::round(std::clamp(filled, 0.0, 1.0) * static_cast<double>(width)));
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap in the inlined
    // `"[" + string` form.
    std::string bar = "[";
    bar.append(cells, '#').append(width - cells, '.') += ']';
    return bar;
}

std::string TerminalRows::StatusText(const Row& row) {
    std::string text = WideToUtf8(row.status);
    if (!row.linkText.empty()) {
        // The window's link, with where it leads: there is nothing to click here.
        text += WideToUtf8(row.linkText) + " <" + WideToUtf8(row.linkTarget) + ">";
    }
    return text;
}

std::string TerminalRows::RowLine(const Row& row) {
    const double filled = Filled(row);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(std::lround(filled * 100)));
    const std::string line = WideToUtf8(row.title) + " " + TextBar(filled, kBarCells) + " " +
                             percent + "  " + StatusText(row);
    // Titles, status texts and links come from the store: shown, never acted on by the terminal.
    return EscapeControlsUtf8(line);
}

size_t TerminalRows::Width() const {
    winsize size{};
    if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col;
    }
    return 80;
}

void TerminalRows::Write(const std::string& text) const {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<size_t>(written);
    }
}

void TerminalRows::ClearDrawn() {
    if (inPlace_ && drawnLines_ > 0) {
        // Back to the first drawn line's start and clear everything below it.
        Write("\x1b[" + std::to_string(drawnLines_) + "F\x1b[J");
        drawnLines_ = 0;
    }
}

void TerminalRows::Note(const std::string& line) {
    ClearDrawn();
    Write(EscapeControlsUtf8(line) + "\n");
    if (inPlace_) {
        // The rows come back right below the note.
        lastDraw_ = {};
    }
}

void TerminalRows::Render(bool force) {
    const auto now = std::chrono::steady_clock::now();
    const auto period = inPlace_ ? kTerminalPeriod : kPlainPeriod;
    if (!force && now - lastDraw_ < period) {
        return;
    }
    lastDraw_ = now;

    if (inPlace_) {
        std::vector<std::string> lines;
        for (const Row& row : rows_) {
            if (shown_.count(row.id) != 0) {
                lines.push_back(RowLine(row));
            }
        }
        const size_t width = Width() - 1;  // never the last column: no wrap, no scroll
        std::string text;
        if (drawnLines_ > 0) {
            text += "\x1b[" + std::to_string(drawnLines_) + "F";
        }
        for (const std::string& line : lines) {
            text += "\x1b[2K" + CutToColumns(line, width) + "\n";
        }
        std::string footer = speed_ > 0 ? "speed: " + std::to_string(speed_) + " KB/s" : "";
        text += "\x1b[2K" + CutToColumns(footer, width) + "\n\x1b[J";
        drawnLines_ = lines.size() + 1;
        Write(text);
        return;
    }
    std::string text;
    for (const Row& row : rows_) {
        if (shown_.count(row.id) == 0) {
            continue;
        }
        std::string line = RowLine(row);
        std::string& last = lastPrinted_[row.id];
        if (line != last) {
            text += line + "\n";
            last = std::move(line);
        }
    }
    Write(text);
}
