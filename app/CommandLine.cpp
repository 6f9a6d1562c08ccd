#include "app/CommandLine.h"

#include <string_view>

#include "core/TextUtil.h"

namespace {

constexpr std::u16string_view kScheme = u"velkdownloader://";
constexpr std::u16string_view kMinimized = u"/minimized";

void RemoveAll(std::u16string& text, std::u16string_view what) {
    for (size_t at = text.find(what); at != std::u16string::npos; at = text.find(what, at)) {
        text.erase(at, what.size());
    }
}

// The quoting that the Windows command-line parser undoes: backslashes are literal except in
// front of a double quote, where they are doubled and the quote escaped.
std::u16string QuoteArgument(const std::u16string& argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        return argument;
    }
    std::u16string quoted = u"\"";
    size_t backslashes = 0;
    for (const char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        if (unit == u'"') {
            quoted.append(backslashes * 2 + 1, u'\\');
        } else {
            quoted.append(backslashes, u'\\');
        }
        backslashes = 0;
        quoted.push_back(unit);
    }
    quoted.append(backslashes * 2, u'\\');
    quoted.push_back(u'"');
    return quoted;
}

}  // namespace

CommandLineRequest InterpretCommandLine(std::u16string commandLine) {
    CommandLineRequest request;
    if (commandLine.find(kScheme) != std::u16string::npos) {
        RemoveAll(commandLine, kScheme);
        RemoveAll(commandLine, u"/");
        RemoveAll(commandLine, u"\"");
        request.gameName = commandLine;
    }
    request.minimized = commandLine.find(kMinimized) != std::u16string::npos;
    return request;
}

std::u16string JoinCommandLine(std::span<const char* const> argv) {
    std::u16string line;
    for (size_t i = 1; i < argv.size(); ++i) {
        if (!argv[i]) {
            break;
        }
        if (i > 1) {
            line.push_back(u' ');
        }
        line += QuoteArgument(Utf8ToWide(argv[i]));
    }
    return line;
}
