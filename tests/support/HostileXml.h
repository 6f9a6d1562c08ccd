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

// 100 000 open "<a>" levels after a start tag whose attribute name holds a quote, which the
// parser reads as part of the name. A scan that took every quote in a tag for the start of a
// value would see the tag's last quote open one that never closes, and the rest as one tag.
inline std::string NestingHiddenBehindAQuoteInAName() {
    std::string text = "<file a\"b=\"1\">";
    text.reserve(text.size() + 300000);
    for (int i = 0; i < 100000; ++i) {
        text += "<a>";
    }
    return text;
}
