#pragma once
// A small printf-style formatter for the wide formats our log lines and texts use:
// "%s" (wide string), "%d", "%u", "%I64u", "%I64d", flags "0" and "-", a width, "%.2f", "%x",
// "%c" and "%%". Arguments are typed values, never a va_list, so a wrong argument can't
// read past the stack: a conversion whose argument is missing or of another kind writes nothing.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Real, Text };

    template <class T>
    requires(std::is_integral_v<T>&& std::is_signed_v<T> && !std::is_same_v<T, char16_t>)
        FormatArg(T value)
        : kind_(Kind::Signed), signed_(value) {}
    template <class T>
    requires(std::is_integral_v<T>&& std::is_unsigned_v<T> && !std::is_same_v<T, bool> &&
             !std::is_same_v<T, char16_t>) FormatArg(T value)
        : kind_(Kind::Unsigned), unsigned_(value) {}
    FormatArg(bool value) : kind_(Kind::Unsigned), unsigned_(value ? 1u : 0u) {}
    FormatArg(double value) : kind_(Kind::Real), real_(value) {}
    FormatArg(std::u16string_view text) : kind_(Kind::Text), text_(text) {}
    FormatArg(const std::u16string& text) : kind_(Kind::Text), text_(text) {}
    FormatArg(const char16_t* text) : kind_(Kind::Text), text_(text ? text : u"") {}

    Kind kind() const { return kind_; }
    int64_t AsSigned() const;
    uint64_t AsUnsigned() const;
    double AsReal() const;
    std::u16string_view AsText() const { return text_; }

private:
    Kind kind_;
    int64_t signed_ = 0;
    uint64_t unsigned_ = 0;
    double real_ = 0;
    std::u16string_view text_;
};

std::u16string FormatWideArgs(std::u16string_view format, std::span<const FormatArg> args);

// FormatWide(u"%s MB of %s MB", done, total). The arguments must outlive the call only.
template <class... Args>
std::u16string FormatWide(std::u16string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatWideArgs(format, {});
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatWideArgs(format, list);
    }
}
