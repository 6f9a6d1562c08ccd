#pragma once
// One XML reply of the store's API, parsed in place with rapidxml's default flags. Owns the
// UTF-8 copy of the text that the parsed tree points into, so nodes live as long as the object.
// A reply that is not well-formed, or nests absurdly deep, is refused with false, never thrown:
// the text comes from the network. One object per reply, on the thread that parses it.
#include <optional>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <string_view>
#include <vector>

class XmlReply {
public:
    using Node = rapidxml::xml_node<char>;

    XmlReply() = default;
    XmlReply(const XmlReply&) = delete;
    XmlReply& operator=(const XmlReply&) = delete;

    // Parses `reply` (converted to UTF-8); false when it is not a well-formed document.
    bool Parse(const std::u16string& reply);

    // The first top-level element named `name` (exact, letter case included), or none.
    const Node* Root(const char* name) const;

    // The first child element of `parent` named `name`, or none.
    static const Node* Child(const Node& parent, const char* name);
    // An element's first text content in UTF-8, empty when it has none. May hold a NUL that a
    // character reference ("&#0;") put there.
    static std::string_view Text(const Node& node);
    // An attribute's value in UTF-8, or nothing when it is absent.
    static std::optional<std::string_view> Attribute(const Node& node, const char* name);

private:
    std::vector<char> text_;
    rapidxml::xml_document<char> document_;
    bool parsed_ = false;
};
