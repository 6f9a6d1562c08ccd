#include "api/XmlReply.h"

#include <gtest/gtest.h>

#include <string>

#include "core/TextUtil.h"
#include "support/HostileXml.h"

namespace {

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

TEST(XmlReply, RefusesWhatCouldNestTooDeepOrHideItsNesting) {
    const struct {
        const char* title;
        std::string xml;
        bool parsed;
    } cases[] = {
        {"an ordinary reply", "<game><title>T</title></game>", true},
        {"comments, CDATA and instructions between tags",
         "<?xml version=\"1.0\"?><!-- c --><game><?pi x?><title><![CDATA[<a><b>]]></title>"
         "<!-- </game> --></game>",
         true},
        {"moderate nesting", "<game>" + Repeat("<a>", 200) + Repeat("</a>", 200) + "</game>", true},
        {"nesting past the limit", "<game>" + Repeat("<a>", 100000) + "</game>", false},
        {"nesting hidden in DOCTYPE subsets", "<game>" + NestingHiddenInADoctype(), false},
        {"nesting hidden behind a quote in a name", NestingHiddenBehindAQuoteInAName(), false},
        {"quotes in names, \">\" in values",
         "<game a\"b='>' c = \"/>\"><title x\"=\"\">T</title></game>", true},
        {"a DOCTYPE", "<!DOCTYPE game><game><title>T</title></game>", false},
        {"a DOCTYPE with an entity",
         "<!DOCTYPE game [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><game>&x;</game>", false},
        {"another <! item", "<!ELEMENT game ANY><game/>", false},
        {"not well-formed", "<game><title>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        XmlReply reply;
        EXPECT_EQ(reply.Parse(Utf8ToWide(c.xml)), c.parsed);
        EXPECT_EQ(reply.Root("game") != nullptr, c.parsed);
    }
}

}  // namespace
