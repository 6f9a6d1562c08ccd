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

bool StartsNameAt(std::u16string_view text, size_t at) {
    if (at == 0) {
        return true;
    }
    const char16_t before = text[at - 1];
    return before == u'?' || before == u'&' || before == u' ' || before == u'\n' ||
           before == u'\r' || before == u'\t' || before == u'"' || before == u'\'';
}

// The length of the secret name starting at `at` and followed by "=", or 0.
size_t SecretNameAt(std::u16string_view text, size_t at) {
    for (std::u16string_view name : kSecretNames) {
        if (at + name.size() >= text.size() || text[at + name.size()] != u'=') {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = Lower(text[at + i]) == name[i];
        }
        if (same) {
            return name.size();
        }
    }
    return 0;
}

bool EndsValue(char16_t c) {
    return c == u'&' || c == u' ' || c == u'\n' || c == u'\r' || c == u'\t' || c == u'"' ||
           c == u'\'' || c == u'<' || c == u'>';
}

}  // namespace

std::u16string RedactSecrets(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t nameLength = StartsNameAt(text, i) ? SecretNameAt(text, i) : 0;
        if (nameLength == 0) {
            out += text[i++];
            continue;
        }
        out.append(text.substr(i, nameLength + 1));
        i += nameLength + 1;
        size_t end = i;
        while (end < text.size() && !EndsValue(text[end])) {
            ++end;
        }
        if (end > i) {
            out += kRedactedValue;
        }
        i = end;
    }
    return out;
}
