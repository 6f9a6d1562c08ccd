#include "engine/UntrustedXml.h"

#include <new>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// The parser's own character classes.
bool IsElementNameChar(char c) {
    return !IsSpace(c) && c != '/' && c != '>' && c != '?' && c != '\0';
}
bool IsAttributeNameChar(char c) {
    return IsElementNameChar(c) && c != '<' && c != '=' && c != '!';
}

enum class StartTag { Open, SelfClosing, Malformed };

// Reads the start tag at `i` (its "<") the way the parser does, and moves `i` past it. A quote
// counts only where an attribute's value starts: the parser takes one anywhere else as part of a
// name, so a scan that opened a quoted value there could end the tag far later than the parser
// does, and miss the elements in between. Whatever the parser refuses is Malformed: the document
// goes without either of them going on from where they might disagree.
StartTag ReadStartTag(std::string_view text, size_t& i) {
    const auto skipSpace = [&] {
        while (i < text.size() && IsSpace(text[i])) {
            ++i;
        }
    };
    ++i;
    const size_t name = i;
    while (i < text.size() && IsElementNameChar(text[i])) {
        ++i;
    }
    if (i == name) {
        return StartTag::Malformed;
    }
    skipSpace();
    while (i < text.size() && IsAttributeNameChar(text[i])) {
        while (i < text.size() && IsAttributeNameChar(text[i])) {
            ++i;
        }
        skipSpace();
        if (i >= text.size() || text[i] != '=') {
            return StartTag::Malformed;
        }
        ++i;
        skipSpace();
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) {
            return StartTag::Malformed;
        }
        const size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos) {
            return StartTag::Malformed;
        }
        i = close + 1;
        skipSpace();
    }
    if (i < text.size() && text[i] == '>') {
        ++i;
        return StartTag::Open;
    }
    if (i + 1 < text.size() && text[i] == '/' && text[i + 1] == '>') {
        i += 2;
        return StartTag::SelfClosing;
    }
    return StartTag::Malformed;
}

}  // namespace

bool XmlNestingWithin(std::string_view text, size_t limit) {
    // The parser reads no further than a zero byte.
    text = text.substr(0, text.find('\0'));
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
            const StartTag tag = ReadStartTag(text, i);
            if (tag == StartTag::Malformed || (tag == StartTag::Open && ++depth > limit)) {
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
