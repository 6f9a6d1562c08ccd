// JSON text for scripts: escaping of every kind of string the program may hand over (texts from
// the network included), and objects with their fields in order.
#include "core/JsonText.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"

namespace {

TEST(JsonTextTest, StringsAreEscapedAndBrokenUtf8IsReplaced) {
    const struct {
        const char* title;
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", "Plain title: 100% & <more>", R"("Plain title: 100% & <more>")"},
        {"empty", "", R"("")"},
        {"quote and backslash", R"(say "C:\dir\")", R"("say \"C:\\dir\\\"")"},
        {"short escapes", "a\bb\fc\nd\re\tf", R"("a\bb\fc\nd\re\tf")"},
        {"other controls", std::string("\x00\x01\x1b[2J\x1f", 7),
         R"("\u0000\u0001\u001b[2J\u001f")"},
        {"delete",
         "a\x7f"
         "b",
         R"("a\u007fb")"},
        {"slash stays", "a/b", R"("a/b")"},
        {"valid UTF-8 stays", "Velkora \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE",
         "\"Velkora \xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE\""},
        {"line separators are valid JSON", "\xE2\x80\xA8", "\"\xE2\x80\xA8\""},
        {"stray continuation byte", "a\x80z", "\"a\xEF\xBF\xBDz\""},
        {"lone lead byte before a quote", "\xC3\"", "\"\xEF\xBF\xBD\\\"\""},
        {"overlong slash", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"encoded surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"past U+10FFFF", "\xF4\x90\x80\x80",
         "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"cut short at the end", "ok\xE2\x82", "\"ok\xEF\xBF\xBD\""},
        {"invalid bytes", "\xFF\xFE", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const std::string json = JsonString(c.text);
        EXPECT_EQ(json, c.json);
        // Whatever went in, what comes out is well-formed UTF-8 without a raw control character.
        EXPECT_EQ(EncodeUtf8(DecodeUtf8(json)), json);
        for (const char byte : json) {
            EXPECT_GE(static_cast<unsigned char>(byte), 0x20);
        }
    }
}

TEST(JsonTextTest, ObjectsKeepTheirFieldsInOrder) {
    EXPECT_EQ(JsonObject().Text(), "{}");
    const std::string files =
        JsonArray({JsonObject().String("path", "a/b").Number("size", 3).Text(),
                   JsonObject().String("path", "c").Number("size", 0).Text()});
    EXPECT_EQ(JsonArray({}), "[]");
    EXPECT_EQ(JsonObject()
                  .String("type", "result")
                  .Number("bytes", 18446744073709551615u)
                  .Null("eta")
                  .Raw("files", files)
                  .String("k\"ey", "v")
                  .Text(),
              R"({"type":"result","bytes":18446744073709551615,"eta":null,)"
              R"("files":[{"path":"a/b","size":3},{"path":"c","size":0}],"k\"ey":"v"})");
}

}  // namespace
