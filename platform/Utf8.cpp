#include "platform/Utf8.h"

#include <cstdint>

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The range the byte after a lead byte must fall in. Tighter than 80..BF for E0, ED, F0 and F4:
// that is what rules out overlong forms, surrogates and code points above U+10FFFF, and what
// makes a broken sequence end at the first byte that cannot continue it.
struct SecondByteRange {
    uint8_t low;
    uint8_t high;
};

SecondByteRange SecondRange(uint8_t lead) {
    switch (lead) {
        case 0xE0:
            return {0xA0, 0xBF};
        case 0xED:
            return {0x80, 0x9F};
        case 0xF0:
            return {0x90, 0xBF};
        case 0xF4:
            return {0x80, 0x8F};
        default:
            return {0x80, 0xBF};
    }
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void AppendUtf8(std::string& out, char32_t cp) {
    auto put = [&out](char32_t byte) { out.push_back(static_cast<char>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

}  // namespace

Utf8Sequence DecodeUtf8Sequence(std::string_view text, size_t at) {
    Utf8Sequence sequence;
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    size_t trailing = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        cp = lead & 0x07;
    } else {
        // A stray continuation byte, an overlong lead (C0, C1) or a lead beyond U+10FFFF.
        sequence.length = 1;
        return sequence;
    }
    size_t length = 1;
    for (size_t k = 0; k < trailing; ++k, ++length) {
        if (at + length >= text.size()) {
            sequence.length = length;
            return sequence;
        }
        const auto byte = static_cast<uint8_t>(text[at + length]);
        const SecondByteRange range = k == 0 ? SecondRange(lead) : SecondByteRange{0x80, 0xBF};
        if (byte < range.low || byte > range.high) {
            // The offending byte is not part of the broken sequence: it may start the next one.
            sequence.length = length;
            return sequence;
        }
        cp = (cp << 6) | (byte & 0x3F);
    }
    return {cp, length, true};
}

std::u16string DecodeUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const Utf8Sequence sequence = DecodeUtf8Sequence(text, at);
        if (sequence.valid) {
            AppendCodePoint(out, sequence.point);
        } else {
            out.push_back(kReplacement);
        }
        at += sequence.length;
    }
    return out;
}

std::string EncodeUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                                (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}
