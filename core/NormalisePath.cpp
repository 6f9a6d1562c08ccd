#include "core/NormalisePath.h"

#include <utility>

std::u16string NormalisePath(std::u16string path) {
    for (char16_t& unit : path) {
        if (unit == u'\\') {
            unit = u'/';
        }
    }
    // One pass that keeps a "/" only when the previous kept unit isn't one has the same result
    // as replacing "//" by "/" until none is left.
    std::u16string result;
    result.reserve(path.size());
    for (const char16_t unit : path) {
        if (unit == u'/' && !result.empty() && result.back() == u'/') {
            continue;
        }
        result.push_back(unit);
    }
    return result;
}

std::u16string NormaliseFolder(std::u16string folder) {
    folder.push_back(u'/');
    return NormalisePath(std::move(folder));
}
