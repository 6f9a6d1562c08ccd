#include "core/TextUtil.h"

#include "core/WideFormat.h"
#include "platform/Trim.h"
#include "platform/Utf8.h"

namespace {

bool IsUnreserved(uint8_t byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z') || byte == '~' || byte == '-' || byte == '_' || byte == '.';
}

char16_t ToLowerAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool IsAsciiDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

struct UrlParts {
    std::u16string_view scheme;
    std::u16string_view host;
    unsigned port = 0;
    std::u16string_view path;  // everything after the authority, query and fragment included
};

// The scheme's own port when the URL names none; 0 for schemes we don't know.
unsigned DefaultPort(std::u16string_view scheme) {
    if (EqualsIgnoringCase(scheme, u"http")) {
        return 80;
    }
    if (EqualsIgnoringCase(scheme, u"https")) {
        return 443;
    }
    return 0;
}

// scheme "://" [user-info "@"] host [":" port] [path]. Fails (returns false) for anything that
// lacks a scheme or a host or carries a port that is not a number up to 65535.
bool SplitUrl(std::u16string_view url, UrlParts& parts) {
    const size_t schemeEnd = url.find(u"://");
    if (schemeEnd == std::u16string_view::npos || schemeEnd == 0 || !IsAsciiLetter(url[0])) {
        return false;
    }
    for (size_t i = 1; i < schemeEnd; ++i) {
        const char16_t c = url[i];
        if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != u'+' && c != u'-' && c != u'.') {
            return false;
        }
    }
    parts.scheme = url.substr(0, schemeEnd);

    const size_t authorityStart = schemeEnd + 3;
    size_t authorityEnd = url.find_first_of(u"/?#", authorityStart);
    if (authorityEnd == std::u16string_view::npos) {
        authorityEnd = url.size();
    }
    std::u16string_view authority = url.substr(authorityStart, authorityEnd - authorityStart);
    // User name and password are not part of the result.
    const size_t at = authority.rfind(u'@');
    if (at != std::u16string_view::npos) {
        authority.remove_prefix(at + 1);
    }

    // The port colon is the last one, unless it sits inside a bracketed IPv6 literal.
    size_t colon = authority.rfind(u':');
    const size_t bracket = authority.rfind(u']');
    if (colon != std::u16string_view::npos && bracket != std::u16string_view::npos &&
        colon < bracket) {
        colon = std::u16string_view::npos;
    }
    parts.host = authority.substr(0, colon);
    if (parts.host.empty()) {
        return false;
    }
    parts.port = DefaultPort(parts.scheme);
    if (colon != std::u16string_view::npos) {
        const std::u16string_view digits = authority.substr(colon + 1);
        if (digits.size() > 5) {
            return false;
        }
        if (!digits.empty()) {  // "host:" means the default port
            unsigned port = 0;
            for (char16_t c : digits) {
                if (!IsAsciiDigit(c)) {
                    return false;
                }
                port = port * 10 + static_cast<unsigned>(c - u'0');
            }
            if (port > 65535) {
                return false;
            }
            parts.port = port;
        }
    }
    parts.path = url.substr(authorityEnd);
    return true;
}

}  // namespace

std::u16string Utf8ToWide(std::string_view utf8) {
    return DecodeUtf8(utf8.substr(0, utf8.find('\0')));
}

std::string WideToUtf8(std::u16string_view wide) {
    return EncodeUtf8(wide.substr(0, wide.find(u'\0')));
}

std::u16string HexByte(uint8_t byte) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::u16string PercentEncode(std::u16string_view text) {
    const std::string utf8 = WideToUtf8(text);
    std::u16string out;
    out.reserve(utf8.size() * 3);
    for (char c : utf8) {
        const auto byte = static_cast<uint8_t>(c);
        if (IsUnreserved(byte)) {
            out.push_back(byte);
        } else {
            out.push_back(u'%');
            out += HexByte(byte);
        }
    }
    return out;
}

std::u16string NormalizeUrl(std::u16string_view url) {
    UrlParts parts;
    if (!SplitUrl(url, parts)) {
        return std::u16string(url);
    }
    std::u16string out(parts.scheme);
    out += u"://";
    out += parts.host;
    const bool http = EqualsIgnoringCase(parts.scheme, u"http");
    const bool https = EqualsIgnoringCase(parts.scheme, u"https");
    if ((http && parts.port != 80) || (https && parts.port != 443)) {
        out += FormatWide(u":%u", parts.port);
    }
    out += parts.path.substr(0, parts.path.find_first_of(u"#?"));
    return out;
}

std::vector<std::u16string> SplitString(std::u16string_view text, char16_t separator,
                                        bool keepEmpty) {
    std::vector<std::u16string> pieces;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        const std::u16string_view piece = text.substr(
            start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (keepEmpty || !piece.empty()) {
            pieces.emplace_back(piece);
        }
        if (end == std::u16string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return pieces;
}

ParameterMap ParseQueryString(std::u16string_view query) {
    ParameterMap parameters;
    for (const std::u16string& piece : SplitString(query, u'&', false)) {
        std::vector<std::u16string> nameValue = SplitString(piece, u'=', true);
        if (nameValue.size() == 2) {
            parameters[std::move(nameValue[0])] = std::move(nameValue[1]);
        }
    }
    return parameters;
}

std::u16string BuildQueryString(const ParameterMap& parameters) {
    std::u16string out;
    bool first = true;
    for (const auto& [name, value] : parameters) {
        if (!first) {
            out.push_back(u'&');
        }
        first = false;
        out += name;
        out.push_back(u'=');
        out += value;
    }
    return out;
}

std::u16string Decimal(int64_t number) {
    const std::string ascii = std::to_string(number);
    return std::u16string(ascii.begin(), ascii.end());
}

int64_t ReadDecimalInt64(std::string_view text) {
    text = TrimStart(text);
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : uint64_t{INT64_MAX};
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (overflow || magnitude > (limit - digit) / 10) {
            overflow = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (overflow || magnitude == limit) {
        return negative ? INT64_MIN : INT64_MAX;
    }
    return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}
