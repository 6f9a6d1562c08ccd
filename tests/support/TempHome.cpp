#include "support/TempHome.h"

#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "platform/HandOff.h"

namespace fs = std::filesystem;

namespace {
fs::path MakeTempFolder(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::path(pattern);
}

const char* const kVariables[] = {"HOME",
                                  "XDG_CONFIG_HOME",
                                  "XDG_DATA_HOME",
                                  "XDG_CACHE_HOME",
                                  "XDG_RUNTIME_DIR",
                                  "XDG_STATE_HOME",
                                  "DBUS_SESSION_BUS_ADDRESS"};
}  // namespace

TempHome::TempHome() : root_(MakeTempFolder("velk-home-")) {
    for (const char* name : kVariables) {
        const char* value = std::getenv(name);
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    fs::create_directories(Home());
    fs::create_directories(RuntimeDir());
    chmod(RuntimeDir().c_str(), 0700);
    setenv("HOME", Home().c_str(), 1);
    setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
    setenv("XDG_DATA_HOME", DataHome().c_str(), 1);
    setenv("XDG_CACHE_HOME", (Home() / ".cache").c_str(), 1);
    setenv("XDG_STATE_HOME", (Home() / ".local/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", RuntimeDir().c_str(), 1);
    // The desktop's session bus is the user's: a test that needs one starts its own. Without the
    // address, a program looks in the fresh runtime folder above and finds none.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TempHome::~TempHome() {
    // The hand-off objects are named after this home's runtime folder and live outside it, in
    // the machine's shared memory: a program the test killed leaves them behind.
    // Both the usual names and those a first instance that had to move aside recorded.
    for (const HandOffNames& handOff : {HandOffNames::Usual(), HandOffNames::ForCurrentUser()}) {
        sem_unlink(handOff.token.c_str());
        sem_unlink(handOff.notify.c_str());
        shm_unlink(handOff.block.c_str());
    }
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

TempDir::TempDir() : path_(MakeTempFolder("velk-tmp-")) {}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path HelperProgram(const std::string& name) {
    return fs::path(VELK_TEST_HELPER_DIR) / name;
}
