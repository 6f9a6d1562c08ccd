#pragma once
// XML shaped to fool a nesting check that does not skip what the parser skips.
#include <string>

// 100 000 open "<a>" levels whose closing tags sit inside DOCTYPE subsets: about 700 KB. A scan
// that ends "<!DOCTYPE x [ >" at its ">" counts each group of 250 as opened and closed again.
inline std::string NestingHiddenInADoctype() {
    std::string group;
    for (int i = 0; i < 250; ++i) {
        group += "<a>";
    }
    group += "<!DOCTYPE x [ >";
    for (int i = 0; i < 250; ++i) {
        group += "</a>";
    }
    group += " ]>";
    std::string text;
    text.reserve(group.size() * 400);
    for (int i = 0; i < 400; ++i) {
        text += group;
    }
    return text;
}
