#include "platform/DesktopEntries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/KnownFolders.h"
#include "platform/Trim.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSchemeMimeType = "x-scheme-handler/velkdownloader";
constexpr std::string_view kUrlHandlerFile = "velkdownloader.desktop";
constexpr std::string_view kDefaultSection = "[Default Applications]";

std::optional<std::string> ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Replaces `path` by a file holding `content`: readers see the old file or the new one, never a
// part. Unchanged content is left alone.
bool WriteFileAtomically(const fs::path& path, std::string_view content, mode_t mode) {
    if (const auto existing = ReadWholeFile(path); existing && *existing == content) {
        return true;
    }
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    // The name is appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap in
    // the inlined `"." + string` form.
    std::string tempName = ".";
    tempName += path.filename().string();
    tempName += ".XXXXXX";
    std::string pattern = (path.parent_path() / tempName).string();
    UniqueFd fd(mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        return false;
    }
    const bool ok =
        WriteAll(fd.Get(), content) && fchmod(fd.Get(), mode) == 0 && fsync(fd.Get()) == 0;
    if (!fd.Close() || !ok || rename(pattern.c_str(), path.c_str()) != 0) {
        unlink(pattern.c_str());
        return false;
    }
    return true;
}

// Desktop entry files kept in a dotfiles repository are often symlinks: write the file the link
// points at rather than replacing the link.
fs::path ResolveLink(const fs::path& path) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved;
}

// Blanks around a desktop entry's keys and values (a file written on another system may end its
// lines with CR LF).
std::string_view TrimEntry(std::string_view text) {
    return Trim(text, " \t\r");
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsSchemeKeyLine(std::string_view trimmed) {
    const auto equals = trimmed.find('=');
    return equals != std::string_view::npos &&
           TrimEntry(trimmed.substr(0, equals)) == kSchemeMimeType;
}

// Sets our scheme's default handler in a mimeapps.list, keeping every other line as it was.
std::string WithDefaultHandler(const std::string& original) {
    const std::string ours = std::string(kSchemeMimeType) + "=" + std::string(kUrlHandlerFile);
    std::vector<std::string> result;
    bool inDefaults = false;
    bool seenDefaults = false;  // the first defaults section has begun...
    bool pastFirst = false;     // ...and ended
    bool written = false;
    size_t insertAt = 0;  // after the last non-blank line of the first defaults section
    for (const std::string& line : SplitLines(original)) {
        const std::string_view trimmed = TrimEntry(line);
        if (!trimmed.empty() && trimmed.front() == '[') {
            pastFirst = seenDefaults;
            inDefaults = trimmed == kDefaultSection;
            result.push_back(line);
            if (inDefaults && !seenDefaults) {
                seenDefaults = true;
                insertAt = result.size();
            }
            continue;
        }
        if (inDefaults && IsSchemeKeyLine(trimmed)) {
            // Replace the first entry for our scheme; a second one would only be ambiguous.
            if (!written) {
                result.push_back(ours);
                written = true;
            }
            continue;
        }
        result.push_back(line);
        if (inDefaults && !pastFirst && !trimmed.empty()) {
            insertAt = result.size();
        }
    }
    if (!written) {
        if (seenDefaults) {
            result.insert(result.begin() + static_cast<std::ptrdiff_t>(insertAt), ours);
        } else {
            if (!result.empty() && !TrimEntry(result.back()).empty()) {
                result.emplace_back();
            }
            result.emplace_back(kDefaultSection);
            result.push_back(ours);
        }
    }
    std::string text;
    for (const std::string& line : result) {
        text += line;
        text += '\n';
    }
    return text;
}

}  // namespace

fs::path UrlHandlerEntryPath() {
    return DataHomeFolder() / "applications" / std::string(kUrlHandlerFile);
}

fs::path MimeAppsListPath() {
    return ConfigHomeFolder() / "mimeapps.list";
}

fs::path AutostartEntryPath() {
    return ConfigHomeFolder() / "autostart" / "VelkDownloader.desktop";
}

fs::path CurrentProgramPath() {
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : program;
}

std::string QuoteExecArgument(std::string_view argument, bool alwaysQuote) {
    // Characters that the desktop entry rules allow in an Exec argument only inside quotes.
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = alwaysQuote || argument.empty() ||
                       argument.find_first_of(kReserved) != std::string_view::npos;
    std::string quoted;
    if (quote) {
        quoted += '"';
    }
    for (const char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            quoted += '\\';
        }
        quoted += c;
        if (c == '%') {
            quoted += '%';  // a lone "%" would start a field code
        }
    }
    if (quote) {
        quoted += '"';
    }
    // The Exec value is itself a string value of the key file, with its own escapes, applied on
    // top of the quoting above.
    std::string escaped;
    for (const char c : quoted) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

bool RegisterUrlScheme(const fs::path& program) {
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=VelkDownloader\n"
        "Exec=" +
        QuoteExecArgument(program.string()) +
        " %u\n"
        "MimeType=" +
        std::string(kSchemeMimeType) +
        ";\n"
        "NoDisplay=true\n"
        "Terminal=false\n";
    const bool entryWritten = WriteFileAtomically(UrlHandlerEntryPath(), entry, 0644);

    const fs::path list = ResolveLink(MimeAppsListPath());
    mode_t mode = 0644;
    struct stat info {};
    if (stat(list.c_str(), &info) == 0) {
        mode = info.st_mode & 07777;
    }
    std::error_code error;
    const bool exists = fs::exists(list, error);
    const std::optional<std::string> original = ReadWholeFile(list);
    if (error || (exists && !original)) {
        return false;  // a list we can't read must not be replaced by one holding only our line
    }
    const bool listWritten =
        WriteFileAtomically(list, WithDefaultHandler(original.value_or(std::string())), mode);
    return entryWritten && listWritten;
}

bool SetRunAtStartup(bool on, const fs::path& program) {
    const fs::path path = AutostartEntryPath();
    if (!on) {
        std::error_code error;
        fs::remove(path, error);
        return !error;
    }
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=VelkDownloader\n"
        "Exec=" +
        QuoteExecArgument(program.string(), true) +
        " /minimized\n"
        "Terminal=false\n";
    return WriteFileAtomically(path, entry, 0644);
}

bool IsRunAtStartup() {
    std::error_code error;
    return fs::is_regular_file(AutostartEntryPath(), error);
}
