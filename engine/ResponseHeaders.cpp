#include "engine/ResponseHeaders.h"

#include <cctype>
#include <charconv>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b)) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// Reads all of `text` as a decimal number.
std::optional<uint64_t> ParseNumber(std::string_view text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

void ResponseHeaders::TakeLine(std::string_view line) {
    if (headersDone) {
        return;  // trailers
    }
    if (StartsWithNoCase(line, "HTTP/")) {
        *this = ResponseHeaders{};
        const size_t space = line.find(' ');
        if (space != std::string_view::npos) {
            std::string_view code = line.substr(space + 1, 3);
            status = static_cast<int>(ParseNumber(code).value_or(0));
        }
        return;
    }
    if (Trim(line).empty()) {
        headersDone = status >= 200 || status == 0;
        return;
    }
    if (StartsWithNoCase(line, "content-length:")) {
        contentLength = ParseNumber(Trim(line.substr(15)));
    } else if (StartsWithNoCase(line, "content-range:")) {
        std::string_view value = Trim(line.substr(14));
        if (!StartsWithNoCase(value, "bytes ")) {
            return;
        }
        value = Trim(value.substr(6));
        const size_t slash = value.find('/');
        if (slash == std::string_view::npos) {
            return;
        }
        const std::string_view span = Trim(value.substr(0, slash));
        const std::string_view total = Trim(value.substr(slash + 1));
        rangeTotal = total == "*" ? std::nullopt : ParseNumber(total);
        if (span == "*") {
            hasContentRange = true;
            unsatisfied = true;
            return;
        }
        const size_t dash = span.find('-');
        if (dash == std::string_view::npos) {
            return;
        }
        const auto first = ParseNumber(span.substr(0, dash));
        const auto last = ParseNumber(span.substr(dash + 1));
        if (first && last) {
            hasContentRange = true;
            rangeFirst = *first;
            rangeLast = *last;
        }
    }
}
