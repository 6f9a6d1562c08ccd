#include "api/XmlReply.h"

#include <new>

#include "core/TextUtil.h"
#include "engine/UntrustedXml.h"

namespace {

// rapidxml descends one call per nesting level; the API's replies are three levels deep, so a
// reply nested far deeper is garbage that could only exhaust the stack.
constexpr size_t kMaxNesting = 256;

}  // namespace

bool XmlReply::Parse(const std::u16string& reply) {
    parsed_ = false;
    document_.clear();
    const std::string utf8 = WideToUtf8(reply);
    text_.assign(utf8.begin(), utf8.end());
    text_.push_back('\0');
    if (ParseUntrustedXml(document_, text_, kMaxNesting) != XmlParse::Parsed) {
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
