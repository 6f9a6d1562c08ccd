#include "engine/UntrustedXml.h"

#include <new>

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
            return false;
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

XmlParse ParseUntrustedXml(rapidxml::xml_document<char>& document, std::vector<char>& text,
                           size_t maxNesting) {
    document.clear();
    if (text.empty() || text.back() != '\0' ||
        !XmlNestingWithin(std::string_view(text.data(), text.size() - 1), maxNesting)) {
        return XmlParse::Refused;
    }
    try {
        document.parse<rapidxml::parse_default>(text.data());
    } catch (const rapidxml::parse_error&) {
        document.clear();
        return XmlParse::Refused;
    } catch (const std::bad_alloc&) {
        document.clear();
        return XmlParse::OutOfMemory;
    }
    return XmlParse::Parsed;
}
