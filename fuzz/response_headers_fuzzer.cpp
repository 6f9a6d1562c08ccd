// The ranged transfer's reading of an answer's header lines (ResponseHeaders) on hostile lines,
// fed one at a time as libcurl hands them over. Besides no crash and no out-of-bounds read:
//   - a status is 0 (none readable) or a three-digit code, and the code is what its line says;
//   - a number that is read is the number its line spells (leading zeros aside), so a value
//     beyond 64 bits is refused rather than wrapped;
//   - a range that is read is consistent: first <= last, and last < total when the total is
//     known; an unsatisfied range ("bytes */total") is a range;
//   - once the headers have ended, no line changes anything;
//   - a status line starts the answer afresh.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/ResponseHeaders.h"

namespace {

bool Same(const ResponseHeaders& a, const ResponseHeaders& b) {
    return a.status == b.status && a.headersDone == b.headersDone &&
           a.contentLength == b.contentLength && a.hasContentRange == b.hasContentRange &&
           a.unsatisfied == b.unsatisfied && a.rangeFirst == b.rangeFirst &&
           a.rangeLast == b.rangeLast && a.rangeTotal == b.rangeTotal &&
           a.retryAfterSeconds == b.retryAfterSeconds && a.retryAfterDate == b.retryAfterDate;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char a = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (a != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The runs of decimal digits in `text`, each without its leading zeros ("0" for a run of zeros).
std::vector<std::string> DigitRuns(std::string_view text) {
    std::vector<std::string> runs;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            ++end;
        }
        std::string_view run = text.substr(i, end - i);
        while (run.size() > 1 && run.front() == '0') {
            run.remove_prefix(1);
        }
        runs.emplace_back(run);
        i = end;
    }
    return runs;
}

// Whether `number` is spelt by one of the digit runs of `text`.
bool Spells(std::string_view text, uint64_t number) {
    const std::string wanted = std::to_string(number);
    for (const std::string& run : DigitRuns(text)) {
        if (run == wanted) {
            return true;
        }
    }
    return false;
}

// Whether the status line holds `status` as the three digits that follow its first space, with no
// further digit after them.
bool StatusSpelt(std::string_view line, int status) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        return false;
    }
    const std::string_view rest = line.substr(space + 1);
    const std::string code = std::to_string(status);
    return code.size() == 3 && rest.starts_with(code) &&
           (rest.size() == 3 || rest[3] < '0' || rest[3] > '9');
}

void CheckLine(const ResponseHeaders& before, const ResponseHeaders& after, std::string_view line) {
    if (before.headersDone) {
        Require(Same(before, after), "lines after the end of the headers change nothing");
        return;
    }
    Require(after.status == 0 || (after.status >= 100 && after.status <= 999),
            "a status is 0 or a three-digit code");
    Require(!after.unsatisfied || after.hasContentRange, "an unsatisfied range is a range");
    if (after.hasContentRange && !after.unsatisfied) {
        Require(after.rangeFirst <= after.rangeLast, "a range ends at or after its start");
        Require(!after.rangeTotal || after.rangeLast < *after.rangeTotal,
                "a range ends before the total");
    }

    if (StartsWithNoCase(line, "http/")) {
        ResponseHeaders fresh;
        fresh.TakeLine(line);
        Require(Same(fresh, after), "a status line starts the answer afresh");
        Require(after.status == 0 || StatusSpelt(line, after.status),
                "the status is the three digits after the version, standing alone");
        return;
    }
    if (after.contentLength && after.contentLength != before.contentLength) {
        Require(StartsWithNoCase(line, "content-length:") && Spells(line, *after.contentLength),
                "a content length is the number its line spells");
    }
    const bool rangeChanged =
        after.hasContentRange != before.hasContentRange ||
        after.unsatisfied != before.unsatisfied || after.rangeFirst != before.rangeFirst ||
        after.rangeLast != before.rangeLast || after.rangeTotal != before.rangeTotal;
    if (rangeChanged) {
        Require(StartsWithNoCase(line, "content-range:"), "only a Content-Range line sets a range");
        if (after.hasContentRange && !after.unsatisfied) {
            Require(Spells(line, after.rangeFirst) && Spells(line, after.rangeLast),
                    "a range's ends are the numbers its line spells");
        }
        if (after.rangeTotal) {
            Require(Spells(line, *after.rangeTotal),
                    "a range's total is the number its line spells");
        }
    }
    Require(!(after.retryAfterSeconds && after.retryAfterDate),
            "a wait is given in seconds or as a date, never both");
    if (after.retryAfterSeconds != before.retryAfterSeconds ||
        after.retryAfterDate != before.retryAfterDate) {
        Require(StartsWithNoCase(line, "retry-after:"), "only a Retry-After line sets a wait");
        Require(!before.retryAfterSeconds && !before.retryAfterDate,
                "the first Retry-After line counts");
        if (after.retryAfterSeconds && *after.retryAfterSeconds != UINT64_MAX) {
            Require(Spells(line, *after.retryAfterSeconds),
                    "a wait in seconds is the number its line spells");
        }
    }
    if (after.headersDone) {
        Require(after.status == 0 || after.status >= 200, "only a final answer ends the headers");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ResponseHeaders headers;
    size_t start = 0;
    while (start < text.size()) {
        const size_t newline = text.find('\n', start);
        const size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
        const std::string_view line = text.substr(start, end - start);
        const ResponseHeaders before = headers;
        headers.TakeLine(line);
        CheckLine(before, headers, line);
        start = end;
    }
    return 0;
}
