#pragma once
// Conversions between the program's UTF-16 text and the UTF-8 of the network, XML and files,
// and the URL and query-string helpers that request signing needs. Stateless; any thread.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Ordered by name, comparing UTF-16 code units (a prefix sorts first); one value per name.
using ParameterMap = std::map<std::u16string, std::u16string>;

// Text that ends at its first zero, as the network's and the files' strings do, through the
// platform's codec (platform/Utf8.h): invalid sequences and unpaired surrogates become U+FFFD.
// Decodes the bytes up to the first zero byte.
std::u16string Utf8ToWide(std::string_view utf8);
// Encodes the code units up to the first zero unit.
std::string WideToUtf8(std::u16string_view wide);

// Two upper-case hexadecimal digits, high digit first.
std::u16string HexByte(uint8_t byte);
// RFC 3986 percent-encoding of the UTF-8 bytes; only A-Z a-z 0-9 ~ - _ . stay as they are.
std::u16string PercentEncode(std::u16string_view text);
// scheme://host[:port]/path without query and fragment; the port only when not the scheme's
// default (http 80, https 443). A URL that cannot be split comes back unchanged.
std::u16string NormalizeUrl(std::u16string_view url);

std::vector<std::u16string> SplitString(std::u16string_view text, char16_t separator,
                                        bool keepEmpty);
ParameterMap ParseQueryString(std::u16string_view query);
std::u16string BuildQueryString(const ParameterMap& parameters);

// The number in decimal digits, a minus sign first when negative.
std::u16string Decimal(int64_t number);
// Decimal text read like strtoll: leading blanks, an optional sign, the digits up to the first
// other character; no digits reads as 0, and a value out of range stops at the nearest limit.
int64_t ReadDecimalInt64(std::string_view text);
