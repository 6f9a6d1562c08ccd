#include "app/GameName.h"

namespace {

bool IsNameCharacter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'_' || c == u'.';
}

}  // namespace

bool IsAcceptableGameName(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxGameNameLength || name.front() == u'.') {
        return false;
    }
    for (const char16_t c : name) {
        if (!IsNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::u16string PrintableGameName(std::u16string_view name, size_t longest) {
    std::u16string out;
    const size_t shown = name.size() > longest ? longest : name.size();
    out.reserve(shown + 3);
    for (size_t i = 0; i < shown; ++i) {
        const char16_t c = name[i];
        out += (c >= 0x20 && c < 0x7F) ? c : u'?';
    }
    if (shown < name.size()) {
        out += u"...";
    }
    return out;
}
