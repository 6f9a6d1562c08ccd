// The query-string parser and its neighbours in core/TextUtil on hostile text: the sign-in
// replies (ParseQueryString), the UTF-8 conversions every reply goes through, percent-encoding,
// URL normalisation for signing, and the decimal reader of chunk indexes and installer ids.
// Besides no crash and no out-of-bounds read:
//   - a parsed query holds no "&" anywhere and no "=" in a name, and building it again and
//     parsing that gives the same parameters;
//   - splitting with empty pieces kept and joining again gives the text back;
//   - decoding UTF-8 and encoding the result gives valid UTF-8 that decodes to the same text,
//     and text that decoded without a replacement character is encoded back byte for byte;
//   - percent-encoding yields only unreserved characters and "%XX", and decodes to the UTF-8;
//   - UTF-16 with unpaired surrogates round-trips through UTF-8 with each replaced by U+FFFD;
//   - the decimal reader agrees with strtoll.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "core/TextUtil.h"

namespace {

void CheckQuery(const std::u16string& text) {
    const ParameterMap parameters = ParseQueryString(text);
    for (const auto& [name, value] : parameters) {
        Require(name.find_first_of(u"&=") == std::u16string::npos, "a name holds no & or =");
        Require(value.find(u'&') == std::u16string::npos, "a value holds no &");
        Require(value.find(u'=') == std::u16string::npos, "a value holds no =");
    }
    Require(ParseQueryString(BuildQueryString(parameters)) == parameters,
            "a built query parses to its parameters");

    const std::vector<std::u16string> pieces = SplitString(text, u'&', true);
    std::u16string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
        joined += (i == 0 ? u"" : u"&") + pieces[i];
    }
    Require(joined == text, "split pieces join to the text");
}

void CheckUtf8(std::string_view bytes) {
    const std::u16string wide = Utf8ToWide(bytes);
    const std::string utf8 = WideToUtf8(wide);
    Require(Utf8ToWide(utf8) == wide, "encoded text decodes to itself");
    Require(utf8.find('\0') == std::string::npos, "encoded text holds no NUL");
    if (wide.find(u'\uFFFD') == std::u16string::npos) {
        Require(utf8 == bytes.substr(0, bytes.find('\0')), "valid UTF-8 survives a round trip");
    }

    const std::u16string encoded = PercentEncode(wide);
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char16_t unit = encoded[i];
        if (unit == u'%') {
            Require(i + 2 < encoded.size(), "an escape has two digits");
            const auto digit = [](char16_t c) {
                Require((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'),
                        "escapes are upper-case hexadecimal");
                return c <= u'9' ? c - u'0' : c - u'A' + 10;
            };
            decoded.push_back(
                static_cast<char>(digit(encoded[i + 1]) * 16 + digit(encoded[i + 2])));
            i += 2;
        } else {
            Require((unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
                        (unit >= u'a' && unit <= u'z') || unit == u'~' || unit == u'-' ||
                        unit == u'_' || unit == u'.',
                    "only unreserved characters stay as they are");
            decoded.push_back(static_cast<char>(unit));
        }
    }
    Require(decoded == utf8, "percent-encoding decodes to the UTF-8");
}

void CheckDecimal(std::string_view bytes) {
    const std::string terminated(bytes.substr(0, bytes.find('\0')));
    errno = 0;
    const long long expected = std::strtoll(terminated.c_str(), nullptr, 10);
    Require(ReadDecimalInt64(bytes) == expected, "the decimal reader agrees with strtoll");
}

// What encoding keeps of UTF-16: the units up to the first zero, each unpaired surrogate
// replaced by U+FFFD.
std::u16string WellFormed(const std::u16string& units) {
    const std::u16string text = units.substr(0, units.find(u'\0'));
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out += text.substr(i, 2);
            ++i;
        } else {
            out.push_back(high || low ? u'\uFFFD' : unit);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string text = Utf8ToWide(bytes);
    CheckQuery(text);
    CheckUtf8(bytes);
    CheckDecimal(bytes);
    // The signing base string's URL: anything goes, nothing may break.
    NormalizeUrl(text);
    // Raw UTF-16 reaches the encoder too: unpaired surrogates, NUL units.
    const std::u16string units = UnitsOf(data, size);
    CheckQuery(units);
    Require(Utf8ToWide(WideToUtf8(units)) == WellFormed(units),
            "UTF-16 round-trips up to its first NUL, an unpaired surrogate as U+FFFD");
    return 0;
}
