#include "core/EscapeControls.h"

#include <algorithm>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The escape for a code point (or lone surrogate) that must not reach the output as it is; empty
// for one that may.
std::string EscapeFor(char32_t point) {
    switch (point) {
        case U'\t':
            return "\\t";
        case U'\n':
            return "\\n";
        case U'\r':
            return "\\r";
        default:
            break;
    }
    if (point < 0x20 || point == 0x7F) {
        return {'\\', 'x', kHexDigits[point >> 4], kHexDigits[point & 0xF]};
    }
    if ((point >= 0x80 && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
        IsHighSurrogate(point) || IsLowSurrogate(point)) {
        return {'\\',
                'u',
                kHexDigits[(point >> 12) & 0xF],
                kHexDigits[(point >> 8) & 0xF],
                kHexDigits[(point >> 4) & 0xF],
                kHexDigits[point & 0xF]};
    }
    return {};
}

// The length of the UTF-8 sequence starting at `at` and its code point; 0 when the bytes there
// are not a well-formed sequence (overlong forms, encoded surrogates and values past U+10FFFF
// are not).
size_t DecodeUtf8(std::string_view text, size_t at, char32_t& point) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3F);
    }
    if (point < min || point > 0x10FFFF || IsHighSurrogate(point) || IsLowSurrogate(point)) {
        return 0;
    }
    return length;
}

}  // namespace

std::u16string EscapeControls(std::u16string_view text, size_t maxUnits) {
    std::u16string out;
    out.reserve(std::min(text.size(), maxUnits));
    for (size_t at = 0; at < text.size();) {
        char32_t point = text[at];
        size_t units = 1;
        if (IsHighSurrogate(point) && at + 1 < text.size() && IsLowSurrogate(text[at + 1])) {
            units = 2;
        }
        const std::string escape = units == 1 ? EscapeFor(point) : std::string();
        const size_t needed = escape.empty() ? units : escape.size();
        if (out.size() + needed > maxUnits) {
            break;
        }
        if (escape.empty()) {
            out.append(text.substr(at, units));
        } else {
            out.append(escape.begin(), escape.end());
        }
        at += units;
    }
    return out;
}

std::string EscapeControlsUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        char32_t point = 0;
        const size_t length = DecodeUtf8(utf8, at, point);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(utf8[at]);
            out += {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
            ++at;
            continue;
        }
        const std::string escape = EscapeFor(point);
        if (escape.empty()) {
            out.append(utf8.substr(at, length));
        } else {
            out += escape;
        }
        at += length;
    }
    return out;
}
