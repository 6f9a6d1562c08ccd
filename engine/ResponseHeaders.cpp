#include "engine/ResponseHeaders.h"

#include <curl/curl.h>

#include <charconv>
#include <string>

#include "platform/Trim.h"

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Blanks before a header's value, and after it up to the line's end.
std::string_view TrimHeader(std::string_view text) {
    return TrimEnd(TrimStart(text, " \t"), " \t\r\n");
}

// Reads all of `text` as a decimal number; nothing when it is not all digits or needs more than
// 64 bits.
std::optional<uint64_t> ParseNumber(std::string_view text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP/<version> <code>[ <reason>]": the code is exactly three digits. A longer run of digits
// is no code at all ("2000" is not 200).
int ReadStatus(std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() - space - 1 < 3) {
        return 0;
    }
    const std::string_view code = line.substr(space + 1, 3);
    const std::string_view after = line.substr(space + 4);
    if (!IsDigit(code[0]) || !IsDigit(code[1]) || !IsDigit(code[2]) || code[0] == '0' ||
        !(after.empty() || after[0] == ' ' || after[0] == '\t' || after[0] == '\r' ||
          after[0] == '\n')) {
        return 0;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

}  // namespace

void ResponseHeaders::TakeLine(std::string_view line) {
    if (headersDone) {
        return;  // trailers
    }
    if (StartsWithNoCase(line, "HTTP/")) {
        *this = ResponseHeaders{};
        status = ReadStatus(line);
        return;
    }
    if (TrimHeader(line).empty()) {
        headersDone = status >= 200 || status == 0;
        return;
    }
    if (StartsWithNoCase(line, "content-length:")) {
        TakeLength(TrimHeader(line.substr(15)));
    } else if (StartsWithNoCase(line, "content-range:")) {
        TakeRange(TrimHeader(line.substr(14)));
    } else if (StartsWithNoCase(line, "retry-after:")) {
        TakeRetryAfter(TrimHeader(line.substr(12)));
    }
}

void ResponseHeaders::TakeRetryAfter(std::string_view value) {
    // The first one counts; a server that sends two has said what it meant with the first.
    if (retryAfterSeconds || retryAfterDate) {
        return;
    }
    if (!value.empty() && IsDigit(value[0])) {
        // A number too large for 64 bits is still a very long time.
        const std::optional<uint64_t> seconds = ParseNumber(value);
        if (seconds || value.find_first_not_of("0123456789") == std::string_view::npos) {
            retryAfterSeconds = seconds.value_or(UINT64_MAX);
        }
        return;
    }
    // An HTTP date is 29 characters; anything much longer is no date.
    constexpr size_t kLongestDate = 64;
    if (value.empty() || value.size() > kLongestDate) {
        return;
    }
    const std::string text(value);
    const time_t when = curl_getdate(text.c_str(), nullptr);
    if (when != -1) {
        retryAfterDate = static_cast<int64_t>(when);
    }
}

void ResponseHeaders::TakeLength(std::string_view value) {
    const std::optional<uint64_t> length = ParseNumber(value);
    // Two lengths that disagree: which one the body follows is anybody's guess.
    if (lengthSeen_ == Seen::None) {
        lengthSeen_ = Seen::Once;
        contentLength = length;
    } else if (lengthSeen_ == Seen::Once && length != contentLength) {
        lengthSeen_ = Seen::Conflict;
        contentLength.reset();
    }
}

ResponseHeaders::Range ResponseHeaders::ReadRange(std::string_view value) {
    Range range;
    if (!StartsWithNoCase(value, "bytes ")) {
        return range;
    }
    value = TrimHeader(value.substr(6));
    const size_t slash = value.find('/');
    if (slash == std::string_view::npos) {
        return range;
    }
    const std::string_view span = TrimHeader(value.substr(0, slash));
    const std::string_view totalText = TrimHeader(value.substr(slash + 1));
    if (totalText != "*") {
        range.total = ParseNumber(totalText);
        if (!range.total) {
            return range;
        }
    }
    if (span == "*") {
        range.valid = true;
        range.unsatisfied = true;
        return range;
    }
    const size_t dash = span.find('-');
    if (dash == std::string_view::npos) {
        return range;
    }
    const auto first = ParseNumber(span.substr(0, dash));
    const auto last = ParseNumber(span.substr(dash + 1));
    // A range that ends before it starts, or at or past the resource's end, names no bytes the
    // server can be sending.
    if (!first || !last || *first > *last || (range.total && *last >= *range.total)) {
        return range;
    }
    range.valid = true;
    range.first = *first;
    range.last = *last;
    return range;
}

void ResponseHeaders::TakeRange(std::string_view value) {
    const Range range = ReadRange(value);
    if (rangeSeen_ == Seen::None) {
        rangeSeen_ = Seen::Once;
        range_ = range;
    } else if (rangeSeen_ == Seen::Once && !(range == range_)) {
        rangeSeen_ = Seen::Conflict;
        range_ = Range{};
    }
    hasContentRange = range_.valid;
    unsatisfied = range_.valid && range_.unsatisfied;
    rangeFirst = range_.valid ? range_.first : 0;
    rangeLast = range_.valid ? range_.last : 0;
    rangeTotal = range_.valid ? range_.total : std::nullopt;
}
