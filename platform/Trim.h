#pragma once
// Cutting blanks off the ends of a line of text read from a file, a reply or a header. Every
// reader names the blanks its format allows; the default is the C locale's white space. Views
// into the caller's text; stateless, any thread.
#include <string_view>

inline constexpr std::string_view kAsciiBlanks = " \t\n\v\f\r";

inline std::string_view TrimStart(std::string_view text, std::string_view blanks = kAsciiBlanks) {
    const size_t first = text.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

inline std::string_view TrimEnd(std::string_view text, std::string_view blanks = kAsciiBlanks) {
    const size_t last = text.find_last_not_of(blanks);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

inline std::string_view Trim(std::string_view text, std::string_view blanks = kAsciiBlanks) {
    return TrimEnd(TrimStart(text, blanks), blanks);
}
