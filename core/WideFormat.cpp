#include "core/WideFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace {

// A double outside the target's range (or NaN) has no integer value; converting it anyway is
// undefined behaviour, so clamp to the nearest end instead.
template <class Int>
Int SaturatingCast(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    // The limits as doubles: the lower one is exact, the upper one rounds up to 2^63 or 2^64,
    // which is itself out of range, hence ">=".
    if (value <= static_cast<double>(std::numeric_limits<Int>::min())) {
        return std::numeric_limits<Int>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<Int>::max())) {
        return std::numeric_limits<Int>::max();
    }
    return static_cast<Int>(value);
}

}  // namespace

int64_t FormatArg::AsSigned() const {
    switch (kind_) {
        case Kind::Signed:
            return signed_;
        case Kind::Unsigned:
            return static_cast<int64_t>(unsigned_);
        case Kind::Real:
            return SaturatingCast<int64_t>(real_);
        case Kind::Text:
            break;
    }
    return 0;
}

uint64_t FormatArg::AsUnsigned() const {
    switch (kind_) {
        case Kind::Signed:
            // A negative 32-bit value printed with %u reads as its 32-bit pattern, as in C.
            if (signed_ < 0 && signed_ >= INT32_MIN) {
                return static_cast<uint32_t>(static_cast<int32_t>(signed_));
            }
            return static_cast<uint64_t>(signed_);
        case Kind::Unsigned:
            return unsigned_;
        case Kind::Real:
            return SaturatingCast<uint64_t>(real_);
        case Kind::Text:
            break;
    }
    return 0;
}

double FormatArg::AsReal() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<double>(signed_);
        case Kind::Unsigned:
            return static_cast<double>(unsigned_);
        case Kind::Real:
            return real_;
        case Kind::Text:
            break;
    }
    return 0;
}

namespace {

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    bool wide64 = false;  // "I64" or "ll": a negative value with %u/%x shows all 64 bits
    size_t width = 0;
    int precision = -1;
};

// Widths past this are taken as this: a typo such as "%99999999999d" must not allocate without
// bound, nor overflow while its digits are read. The precision only cuts, so its bound is wide.
constexpr size_t kMaxWidth = 1024;
constexpr int kMaxPrecision = 1 << 20;

std::u16string Widen(const char* text) {
    std::u16string out;
    for (; *text; ++text) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    }
    return out;
}

void AppendPadded(std::u16string& out, std::u16string body, const Conversion& conv, bool numeric) {
    if (body.size() >= conv.width) {
        out += body;
        return;
    }
    const size_t pad = conv.width - body.size();
    if (conv.leftAlign) {
        out += body;
        out.append(pad, u' ');
    } else if (conv.zeroPad && numeric) {
        // Zeros go after a sign: "-07", not "0-7".
        size_t signLength = (!body.empty() && body.front() == u'-') ? 1 : 0;
        out += body.substr(0, signLength);
        out.append(pad, u'0');
        out += body.substr(signLength);
    } else {
        out.append(pad, u' ');
        out += body;
    }
}

}  // namespace

std::u16string FormatWideArgs(std::u16string_view format, std::span<const FormatArg> args) {
    std::u16string out;
    out.reserve(format.size() + 16 * args.size());
    size_t next = 0;
    auto take = [&]() -> const FormatArg* { return next < args.size() ? &args[next++] : nullptr; };

    for (size_t i = 0; i < format.size(); ++i) {
        const char16_t c = format[i];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        if (i + 1 >= format.size()) {
            out.push_back(c);  // a lone trailing "%" stays as it is
            break;
        }
        size_t j = i + 1;
        if (format[j] == u'%') {
            out.push_back(u'%');
            i = j;
            continue;
        }
        Conversion conv;
        for (; j < format.size() && (format[j] == u'-' || format[j] == u'0'); ++j) {
            (format[j] == u'-' ? conv.leftAlign : conv.zeroPad) = true;
        }
        for (; j < format.size() && format[j] >= u'0' && format[j] <= u'9'; ++j) {
            conv.width =
                std::min(kMaxWidth, conv.width * 10 + static_cast<size_t>(format[j] - u'0'));
        }
        if (j < format.size() && format[j] == u'.') {
            conv.precision = 0;
            for (++j; j < format.size() && format[j] >= u'0' && format[j] <= u'9'; ++j) {
                conv.precision = std::min(kMaxPrecision, conv.precision * 10 + (format[j] - u'0'));
            }
        }
        // Length modifiers carry no meaning here: arguments know their own width.
        if (format.substr(j, 3) == u"I64") {
            conv.wide64 = true;
            j += 3;
        } else if (format.substr(j, 2) == u"ll") {
            conv.wide64 = true;
        }
        while (j < format.size() && (format[j] == u'l' || format[j] == u'h' || format[j] == u'z')) {
            ++j;
        }
        if (j >= format.size()) {
            out.append(format.substr(i));  // an unfinished conversion is kept literally
            break;
        }
        const char16_t conversion = format[j];
        const FormatArg* arg = nullptr;
        char buffer[400];  // room for any double printed with %.30f
        switch (conversion) {
            case u's':
                arg = take();
                if (arg && arg->kind() == FormatArg::Kind::Text) {
                    std::u16string text(arg->AsText());
                    if (conv.precision >= 0 && text.size() > static_cast<size_t>(conv.precision)) {
                        text.resize(static_cast<size_t>(conv.precision));
                    }
                    AppendPadded(out, std::move(text), conv, false);
                }
                break;
            case u'c':
                arg = take();
                if (arg && arg->kind() != FormatArg::Kind::Text) {
                    AppendPadded(out, std::u16string(1, static_cast<char16_t>(arg->AsUnsigned())),
                                 conv, false);
                }
                break;
            case u'd':
            case u'i':
                arg = take();
                if (arg && arg->kind() != FormatArg::Kind::Text) {
                    if (arg->kind() == FormatArg::Kind::Unsigned) {
                        std::snprintf(buffer, sizeof buffer, "%llu",
                                      static_cast<unsigned long long>(arg->AsUnsigned()));
                    } else {
                        std::snprintf(buffer, sizeof buffer, "%lld",
                                      static_cast<long long>(arg->AsSigned()));
                    }
                    AppendPadded(out, Widen(buffer), conv, true);
                }
                break;
            case u'u':
            case u'x':
            case u'X':
                arg = take();
                if (arg && arg->kind() != FormatArg::Kind::Text) {
                    const char* pattern =
                        conversion == u'u' ? "%llu" : (conversion == u'x' ? "%llx" : "%llX");
                    // A 64-bit conversion of a negative value shows its 64-bit pattern; a plain
                    // one its 32-bit pattern (AsUnsigned), as C would.
                    const uint64_t value = conv.wide64 && arg->kind() == FormatArg::Kind::Signed
                                               ? static_cast<uint64_t>(arg->AsSigned())
                                               : arg->AsUnsigned();
                    std::snprintf(buffer, sizeof buffer, pattern,
                                  static_cast<unsigned long long>(value));
                    AppendPadded(out, Widen(buffer), conv, true);
                }
                break;
            case u'f':
                arg = take();
                if (arg && arg->kind() != FormatArg::Kind::Text) {
                    const int precision = conv.precision < 0 ? 6 : std::min(conv.precision, 30);
                    const double value = arg->AsReal();
                    // Not printf: a toolkit sets the process locale from the desktop, and
                    // "%.2f" would then write "33,33" on a German one. Our texts, log lines and
                    // numbers read the same everywhere, so the point is always a point.
                    const std::to_chars_result written =
                        std::to_chars(buffer, buffer + sizeof buffer - 1, value,
                                      std::chars_format::fixed, precision);
                    *(written.ec == std::errc() ? written.ptr : buffer) = '\0';
                    // "inf" and "nan" are padded with blanks, never zeros ("00inf").
                    AppendPadded(out, Widen(buffer), conv, std::isfinite(value));
                }
                break;
            default:
                // Unknown conversion: keep the text as written so the fault is visible.
                out.append(format.substr(i, j - i + 1));
                break;
        }
        i = j;
    }
    return out;
}
