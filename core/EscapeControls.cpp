#include "core/EscapeControls.h"

#include <algorithm>

#include "platform/Utf8.h"

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
        const Utf8Sequence sequence = DecodeUtf8Sequence(utf8, at);
        if (!sequence.valid) {
            const auto byte = static_cast<unsigned char>(utf8[at]);
            out += {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
            ++at;
            continue;
        }
        const std::string escape = EscapeFor(sequence.point);
        if (escape.empty()) {
            out.append(utf8.substr(at, sequence.length));
        } else {
            out += escape;
        }
        at += sequence.length;
    }
    return out;
}
