// What the log keeps of signed requests and sign-in replies (RedactSecrets), on lines shaped by
// the fuzzer around planted secrets. Each piece of the line is text of the fuzzer's choosing,
// then perhaps a secret: a separator, one of the secret names (each letter in either case, some
// percent-encoded once or twice), "=" (perhaps encoded), and a value the fuzzer chooses too,
// percent-encoded as a query carries it, raw, or quoted as a header carries it. Every planted
// value is wrapped in "~", which appears nowhere else in the line, so that any of its bytes left
// in the redacted line shows up there. Besides no crash and no out-of-bounds read:
//   - no "~" is left, so neither a secret nor its encoded form survives, nor any part of it;
//   - the line up to its first "=" or "%" stays as it is, and a line without "=" (encoded or
//     not) stays whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "api/LogRedaction.h"
#include "core/TextUtil.h"

namespace {

constexpr std::array<std::u16string_view, 5> kNames = {
    u"oauth_signature", u"oauth_token", u"oauth_token_secret", u"oauth_verifier", u"password",
};

// What may stand before a name: the separators of queries, forms, fragments, paths, headers,
// markup and text, plain or percent-encoded. None ends in a letter, digit, "_", "-" or ".", so
// the name is never the tail of a longer one.
constexpr std::array<std::u16string_view, 22> kBefore = {
    u"?", u"&", u";", u"&amp;", u"#", u"/",   u" ",   u"\n",    u"\t",  u"\"",  u"'",
    u">", u",", u":", u"(",     u"{", u"%26", u"%3F", u"%2526", u"%3b", u"%20", u"+",
};

// What may follow a value (the next piece's text comes after it).
constexpr std::array<std::u16string_view, 10> kAfter = {
    u"", u"&", u" ", u"\"", u"<", u">", u"\n", u"#", u";", u"&amp;",
};

constexpr std::array<std::u16string_view, 5> kEquals = {u"=", u"=", u"%3D", u"%3d", u"%253D"};

// Characters that end a raw value in a line: the value is planted without them.
bool EndsRawValue(char16_t c) {
    return c == u'&' || c == u' ' || c == u'\n' || c == u'\r' || c == u'\t' || c == u'"' ||
           c == u'\'' || c == u'<' || c == u'>' || c == u'\v' || c == u'\f';
}

std::u16string Without(std::u16string text, char16_t drop) {
    std::erase(text, drop);
    return text;
}

std::u16string Hex(char16_t c, bool lower) {
    constexpr std::u16string_view kUpper = u"0123456789ABCDEF";
    constexpr std::u16string_view kLower = u"0123456789abcdef";
    const std::u16string_view digits = lower ? kLower : kUpper;
    return {u'%', digits[(c >> 4) & 0xF], digits[c & 0xF]};
}

std::u16string ShapedName(FuzzedDataProvider& input, std::u16string_view name) {
    std::u16string out;
    for (const char16_t c : name) {
        const uint8_t shape = input.ConsumeIntegralInRange<uint8_t>(0, 7);
        const char16_t cased =
            (shape & 1) != 0 && c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
        if (shape == 6) {
            out += Hex(cased, (shape & 2) != 0);
        } else if (shape == 7) {
            out += u"%25" + Hex(cased, false).substr(1);
        } else {
            out += cased;
        }
    }
    return out;
}

std::u16string PlantedValue(FuzzedDataProvider& input) {
    const uint8_t form = input.ConsumeIntegralInRange<uint8_t>(0, 2);
    const std::u16string secret = Without(Utf8ToWide(input.ConsumeRandomLengthString(64)), u'~');
    if (form == 0) {
        return u"~" + PercentEncode(secret) + u"~";
    }
    if (form == 1) {
        std::u16string raw;
        for (const char16_t c : secret) {
            if (!EndsRawValue(c)) {
                raw += c;
            }
        }
        return u"~" + raw + u"~";
    }
    return u"\"~" + Without(secret, u'"') + u"~\"";
}

bool HasEquals(std::u16string_view text) {
    if (text.find(u'=') != std::u16string_view::npos) {
        return true;
    }
    for (size_t at = text.find(u"%3"); at != std::u16string_view::npos;
         at = text.find(u"%3", at + 1)) {
        if (at + 2 < text.size() && (text[at + 2] == u'D' || text[at + 2] == u'd')) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::u16string line;
    bool planted = false;
    const size_t pieces = input.ConsumeIntegralInRange<size_t>(1, 8);
    for (size_t piece = 0; piece < pieces && input.remaining_bytes() > 0; ++piece) {
        line += Without(Utf8ToWide(input.ConsumeRandomLengthString(48)), u'~');
        if (!input.ConsumeBool()) {
            continue;
        }
        const bool atStart = line.empty() && input.ConsumeBool();
        if (!atStart) {
            line += input.PickValueInArray(kBefore);
        }
        line += ShapedName(input, input.PickValueInArray(kNames));
        line += input.PickValueInArray(kEquals);
        line += PlantedValue(input);
        line += input.PickValueInArray(kAfter);
        planted = true;
    }

    const std::u16string redacted = RedactSecrets(line);
    const auto check = [&](bool holds, const char* what) {
        if (!holds) {
            std::fprintf(stderr, "line:     %s\nredacted: %s\n", WideToUtf8(line).c_str(),
                         WideToUtf8(redacted).c_str());
        }
        Require(holds, what);
    };
    check(redacted.find(u'~') == std::u16string::npos, "no byte of a planted secret is left");
    // Only values go, and a value comes after "=", which is encoded with "%" if at all.
    const std::u16string_view untouched =
        std::u16string_view(line).substr(0, line.find_first_of(u"=%"));
    check(std::u16string_view(redacted).starts_with(untouched),
          "the line up to its first \"=\" or \"%\" stays as it is");
    if (!planted && !HasEquals(line)) {
        check(redacted == line, "a line without \"=\" stays as it is");
    }
    return 0;
}
