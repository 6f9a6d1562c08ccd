#include "api/XmlReply.h"

#include <new>

#include "core/TextUtil.h"

namespace {

// rapidxml descends one call per nesting level; the API's replies are three levels deep, so a
// reply nested far deeper is garbage that could only exhaust the stack.
constexpr size_t kMaxNesting = 256;

// Whether no element in `text` nests deeper than `limit`, counting the way the parser walks:
// comments, CDATA, processing instructions and the DOCTYPE hold no elements, and quoted
// attribute values may contain ">" and "/>". Where this count and the parser could disagree
// the document is malformed, and the parser stops there before going any deeper.
bool NestingWithin(std::string_view text, size_t limit) {
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

}  // namespace

bool XmlReply::Parse(const std::u16string& reply) {
    parsed_ = false;
    document_.clear();
    const std::string utf8 = WideToUtf8(reply);
    if (!NestingWithin(utf8, kMaxNesting)) {
        return false;
    }
    text_.assign(utf8.begin(), utf8.end());
    text_.push_back('\0');
    try {
        document_.parse<rapidxml::parse_default>(text_.data());
    } catch (const rapidxml::parse_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    parsed_ = true;
    return true;
}

const XmlReply::Node* XmlReply::Root(const char* name) const {
    return parsed_ ? document_.first_node(name) : nullptr;
}

const XmlReply::Node* XmlReply::Child(const Node& parent, const char* name) {
    return parent.first_node(name);
}

std::string_view XmlReply::Text(const Node& node) {
    return std::string_view(node.value(), node.value_size());
}

std::optional<std::string_view> XmlReply::Attribute(const Node& node, const char* name) {
    const rapidxml::xml_attribute<char>* attribute = node.first_attribute(name);
    if (attribute == nullptr) {
        return std::nullopt;
    }
    return std::string_view(attribute->value(), attribute->value_size());
}
