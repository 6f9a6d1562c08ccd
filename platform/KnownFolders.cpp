#include "platform/KnownFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/PrivateRuntimeFolder.h"

namespace fs = std::filesystem;

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The XDG rules ignore relative values: they must be absolute to count.
fs::path AbsoluteEnvironmentPath(const char* name) {
    const std::string value = Environment(name);
    if (value.empty() || value.front() != '/') {
        return {};
    }
    return fs::path(value);
}

// Reads one entry of user-dirs.dirs: NAME="$HOME/sub" or NAME="/absolute".
fs::path UserDirFromConfig(const std::string& key) {
    std::ifstream in(ConfigHomeFolder() / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        if (line.compare(start, key.size(), key) != 0 || line.size() <= start + key.size() ||
            line[start + key.size()] != '=') {
            continue;
        }
        std::string value = line.substr(start + key.size() + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        static const std::string kHomePrefix = "$HOME";
        if (value.compare(0, kHomePrefix.size(), kHomePrefix) == 0) {
            std::string rest = value.substr(kHomePrefix.size());
            while (!rest.empty() && rest.front() == '/') {
                rest.erase(0, 1);
            }
            return rest.empty() ? HomeFolder() : HomeFolder() / rest;
        }
        if (!value.empty() && value.front() == '/') {
            return fs::path(value);
        }
    }
    return {};
}

}  // namespace

fs::path HomeFolder() {
    fs::path home = AbsoluteEnvironmentPath("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) {
        return fs::path(entry->pw_dir);
    }
    return fs::path("/");
}

fs::path ConfigHomeFolder() {
    fs::path dir = AbsoluteEnvironmentPath("XDG_CONFIG_HOME");
    return dir.empty() ? HomeFolder() / ".config" : dir;
}

fs::path DataHomeFolder() {
    fs::path dir = AbsoluteEnvironmentPath("XDG_DATA_HOME");
    return dir.empty() ? HomeFolder() / ".local" / "share" : dir;
}

fs::path StateHomeFolder() {
    fs::path dir = AbsoluteEnvironmentPath("XDG_STATE_HOME");
    return dir.empty() ? HomeFolder() / ".local" / "state" : dir;
}

fs::path DocumentsFolder() {
    fs::path dir = UserDirFromConfig("XDG_DOCUMENTS_DIR");
    return dir.empty() ? HomeFolder() / "Documents" : dir;
}

fs::path RuntimeFolder() {
    fs::path dir = AbsoluteEnvironmentPath("XDG_RUNTIME_DIR");
    return dir.empty() ? PrivateRuntimeFolder() : dir;
}
