#pragma once
// Writing JSON text for programs that read the program's output: one object built field by field
// in the order given, strings escaped so that the result is always valid JSON in UTF-8 whatever
// the text held - quotes, backslashes and control characters are escaped, and each broken part
// of a UTF-8 sequence (text from the network may hold any bytes) becomes U+FFFD. Numbers are
// written as integers. Plain values; any thread.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// `utf8` as a JSON string, quotes included.
std::string JsonString(std::string_view utf8);

class JsonObject {
public:
    JsonObject& String(std::string_view key, std::string_view utf8);
    JsonObject& Number(std::string_view key, uint64_t value);
    JsonObject& Null(std::string_view key);
    // A value already written as JSON (an array or an object).
    JsonObject& Raw(std::string_view key, std::string_view json);

    // "{...}", without a line break.
    std::string Text() const { return text_ + "}"; }

private:
    void Key(std::string_view key);

    std::string text_ = "{";
};

// "[a,b,...]" of values already written as JSON.
std::string JsonArray(const std::vector<std::string>& values);
