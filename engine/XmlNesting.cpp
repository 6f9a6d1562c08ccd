#include "engine/XmlNesting.h"

// Whether no element in `text` nests deeper than `limit`, counting the way the parser walks:
// comments, CDATA, processing instructions and the DOCTYPE hold no elements, and a start tag's
// quoted attribute values may contain ">" and "/>". Where this count and the parser could
// disagree the document is malformed, and the parser stops there before going any deeper.
bool XmlNestingWithin(std::string_view text, size_t limit) {
    size_t depth = 0;
    size_t i = 0;
    const auto skipPast = [&](std::string_view end) {
        const size_t at = text.find(end, i);
        i = at == std::string_view::npos ? text.size() : at + end.size();
    };
    while (i < text.size()) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("<!--")) {
            i += 4;
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            i += 9;
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            i += 2;
            skipPast("?>");
        } else if (rest.starts_with("<!")) {
            i += 2;
            skipPast(">");
        } else if (rest.starts_with("</")) {
            depth -= depth > 0 ? 1 : 0;
            i += 2;
            skipPast(">");
        } else {
            ++i;
            char quote = 0;
            bool selfClosing = false;
            while (i < text.size()) {
                const char c = text[i++];
                if (quote != 0) {
                    quote = c == quote ? 0 : quote;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    selfClosing = text[i - 2] == '/';
                    break;
                }
            }
            if (!selfClosing && ++depth > limit) {
                return false;
            }
        }
    }
    return true;
}
