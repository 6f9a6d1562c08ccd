#pragma once
// A cheap pre-scan of XML text from the network. The in-place parser recurses once per nesting
// level, so a document nested absurdly deep could exhaust the stack; callers refuse such text
// before parsing it. Stateless; any thread.
#include <cstddef>
#include <string_view>

// Whether no element in `text` nests deeper than `limit`, counting the way the parser walks:
// comments, CDATA, processing instructions and the DOCTYPE hold no elements, and a start tag's
// quoted attribute values may contain ">" and "/>". Where this count and the parser could
// disagree the document is malformed, and the parser stops there before going any deeper.
bool XmlNestingWithin(std::string_view text, size_t limit);
