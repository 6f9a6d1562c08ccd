#include "core/JsonText.h"

#include <cstdio>

#include "platform/Utf8.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void AppendEscapedByte(std::string& out, unsigned char byte) {
    switch (byte) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\f':
            out += "\\f";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    if (byte < 0x20 || byte == 0x7F) {
        // DEL is valid JSON as it stands, but a reader that prints the text to a terminal is
        // better served without it.
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
        out += escaped;
        return;
    }
    out += static_cast<char>(byte);
}

}  // namespace

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    size_t at = 0;
    while (at < utf8.size()) {
        const auto byte = static_cast<unsigned char>(utf8[at]);
        if (byte < 0x80) {
            AppendEscapedByte(out, byte);
            ++at;
            continue;
        }
        const Utf8Sequence sequence = DecodeUtf8Sequence(utf8, at);
        if (sequence.valid) {
            out.append(utf8.substr(at, sequence.length));
        } else {
            out += kReplacement;
        }
        at += sequence.length;
    }
    out += '"';
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (text_.size() > 1) {
        text_ += ',';
    }
    text_ += JsonString(key);
    text_ += ':';
}

JsonObject& JsonObject::String(std::string_view key, std::string_view utf8) {
    Key(key);
    text_ += JsonString(utf8);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key);
    text_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key);
    text_ += json;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        text += values[i];
    }
    return text + "]";
}
