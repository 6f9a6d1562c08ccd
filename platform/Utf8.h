#pragma once
// The program's one UTF-8 / UTF-16 codec: the program keeps text as UTF-16 and the network, XML,
// files, SQLite and terminals speak UTF-8. Broken input never stops a conversion: an unpaired
// surrogate, and each maximal part of a broken UTF-8 sequence (as Unicode recommends and
// browsers do), becomes U+FFFD. Zero units and bytes are converted like any other. Stateless;
// any thread.
#include <cstddef>
#include <string>
#include <string_view>

std::string EncodeUtf8(std::u16string_view text);
std::u16string DecodeUtf8(std::string_view text);

// One step of decoding at text[at] (at < text.size()): a well-formed sequence gives its code
// point and length; anything else (a stray continuation byte, an overlong form, an encoded
// surrogate, a value past U+10FFFF, a sequence cut short) is not valid and `length` is the
// bytes to replace by one U+FFFD, at least one.
struct Utf8Sequence {
    char32_t point = 0;
    size_t length = 0;
    bool valid = false;
};
Utf8Sequence DecodeUtf8Sequence(std::string_view text, size_t at);
