#include "support/JoinState.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace {

template <class Number>
bool ReadNumber(const std::string& text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<JoinState> ReadJoinState(const std::filesystem::path& working) {
    std::ifstream in(working.string() + ".state", std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    // Every line ends with a line feed: a record cut short is not one.
    if (text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "velkdownloader join 1") {
        return std::nullopt;
    }
    const auto value = [&](const std::string& key, std::string& out) {
        if (!std::getline(lines, line) || line.rfind(key + " ", 0) != 0) {
            return false;
        }
        out = line.substr(key.size() + 1);
        return true;
    };
    std::string clean, chunks, bytes, digest;
    JoinState state;
    if (!value("clean", clean) || (clean != "0" && clean != "1") || !value("chunks", chunks) ||
        !ReadNumber(chunks, state.chunks) || !value("bytes", bytes) ||
        !ReadNumber(bytes, state.bytes) || !value("md5", digest) || digest.empty() ||
        std::getline(lines, line)) {
        return std::nullopt;
    }
    state.clean = clean == "1";
    return state;
}
