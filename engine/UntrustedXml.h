#pragma once
// Parsing XML that came from the network, or from a file the network wrote. The in-place parser
// recurses once per nesting level, so a document nested absurdly deep would exhaust the stack;
// every parse of such text goes through ParseUntrustedXml, whose pre-scan refuses the text first.
// Stateless; any thread.
#include <cstddef>
#include <string_view>
#include <vector>

#include <rapidxml/rapidxml.hpp>

// Whether no element in `text` nests deeper than `limit`, counting the way the parser walks:
// comments, CDATA and processing instructions hold no elements, a start tag's quoted attribute
// values may contain ">" and "/>" (a quote anywhere else in a tag is part of a name), and nothing
// after a zero byte counts. A start tag the parser would refuse is refused here. Any other "<!"
// item (a DOCTYPE above all) is refused: the parser skips a DOCTYPE's bracketed subset as a whole,
// closing tags inside it included, so a scan that ended it elsewhere could be made to count the
// wrong depth. Neither the API nor a chunk index ever holds one. Where this count and the parser
// could still disagree the document is malformed, and the parser stops there before going any
// deeper.
bool XmlNestingWithin(std::string_view text, size_t limit);

enum class XmlParse {
    Parsed,
    Refused,      // malformed, nested deeper than allowed, or holding a DOCTYPE
    OutOfMemory,  // not the text's fault
};

// Parses `text` (which must end with a zero byte) into `document` in place, after the nesting
// check above. On anything but Parsed the document is empty.
XmlParse ParseUntrustedXml(rapidxml::xml_document<char>& document, std::vector<char>& text,
                           size_t maxNesting);
