#include "api/LogRedaction.h"

#include <array>

namespace {

// Compared without regard to letter case; "oauth_token" does not swallow "oauth_token_secret",
// since a name must be followed by "=".
constexpr std::array<std::u16string_view, 5> kSecretNames = {
    u"oauth_signature", u"oauth_token", u"oauth_token_secret", u"oauth_verifier", u"password",
};

char16_t Lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    const char16_t lower = Lower(c);
    return lower >= u'a' && lower <= u'f' ? lower - u'a' + 10 : -1;
}

// The character at `at` as a server would read it: "%XX" is the character it encodes, and
// "%25XX" (an address encoded inside another one) too.
struct Unit {
    char16_t c;
    size_t length;
};

Unit UnitAt(std::u16string_view text, size_t at) {
    const auto escape = [&](size_t from) {
        if (from + 2 >= text.size() || text[from] != u'%') {
            return -1;
        }
        const int high = HexValue(text[from + 1]);
        const int low = HexValue(text[from + 2]);
        return high < 0 || low < 0 ? -1 : high * 16 + low;
    };
    const int once = escape(at);
    if (once < 0) {
        return {text[at], 1};
    }
    if (once == '%') {
        // "%25" followed by two hex digits: "%XX" encoded once more.
        const size_t next = at + 3;
        if (next + 1 < text.size() && HexValue(text[next]) >= 0 && HexValue(text[next + 1]) >= 0) {
            return {static_cast<char16_t>(HexValue(text[next]) * 16 + HexValue(text[next + 1])), 5};
        }
    }
    return {static_cast<char16_t>(once), 3};
}

// A character that may be part of a parameter's name: a secret name right after one is the tail
// of a longer name ("my_password"), not a secret.
bool IsNameCharacter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_' || c == u'-' || c == u'.';
}

// Where the value starts when a secret name and its "=" start at `at`, or 0.
size_t SecretValueAt(std::u16string_view text, size_t at) {
    for (std::u16string_view name : kSecretNames) {
        size_t i = at;
        bool same = true;
        for (size_t k = 0; k < name.size() && same; ++k) {
            if (i >= text.size()) {
                same = false;
                break;
            }
            const Unit unit = UnitAt(text, i);
            same = Lower(unit.c) == name[k];
            i += unit.length;
        }
        if (!same || i >= text.size()) {
            continue;
        }
        const Unit equals = UnitAt(text, i);
        if (equals.c == u'=') {
            return i + equals.length;
        }
    }
    return 0;
}

bool EndsValue(char16_t c) {
    return c == u'&' || c == u' ' || c == u'\n' || c == u'\r' || c == u'\t' || c == u'\v' ||
           c == u'\f' || c == u'"' || c == u'\'' || c == u'<' || c == u'>';
}

// The span of the value that starts at `at`: raw up to its end, or inside its quotes.
struct Span {
    size_t begin;
    size_t end;
};

Span ValueAt(std::u16string_view text, size_t at) {
    if (at < text.size() && (text[at] == u'"' || text[at] == u'\'')) {
        // Quoted, as in a header: up to the closing quote, which may be cut off.
        const size_t close = text.find(text[at], at + 1);
        return {at + 1, close == std::u16string_view::npos ? text.size() : close};
    }
    size_t end = at;
    while (end < text.size() && !EndsValue(text[end])) {
        ++end;
    }
    return {at, end};
}

}  // namespace

std::u16string RedactSecrets(std::u16string_view text) {
    // Every character is looked at, values included: a value whose "=" was encoded runs over the
    // encoded address it belongs to, and a secret inside that may have a value of its own that
    // ends further on (a quoted one).
    std::u16string out;
    out.reserve(text.size());
    size_t copied = 0;  // text before this is in `out`, as it was or redacted
    size_t i = 0;
    bool nameMayStart = true;
    while (i < text.size()) {
        if (const size_t valueStart = nameMayStart ? SecretValueAt(text, i) : 0) {
            const Span value = ValueAt(text, valueStart);
            if (value.end > value.begin && value.end > copied) {
                if (value.begin >= copied) {
                    out.append(text.substr(copied, value.begin - copied));
                    out += kRedactedValue;
                }
                // Else it overlaps a value already redacted, which now reaches further.
                copied = value.end;
            }
        }
        const Unit unit = UnitAt(text, i);
        nameMayStart = !IsNameCharacter(unit.c);
        i += unit.length;
    }
    if (copied < text.size()) {
        out.append(text.substr(copied));
    }
    return out;
}
