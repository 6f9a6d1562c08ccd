#pragma once
// Points HOME and the XDG_* variables at a fresh temporary folder for the life of the object, and
// forgets the session bus's address, so a test never reads or writes the real user's settings or
// files nor talks to the user's desktop. The folder is removed after.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path Home() const { return root_ / "home"; }
    std::filesystem::path ConfigHome() const { return root_ / "home/.config"; }
    std::filesystem::path DataHome() const { return root_ / "home/.local/share"; }
    std::filesystem::path RuntimeDir() const { return root_ / "run"; }
    // Where the program keeps its own files, relative to Root() (for ChangedOutside): settings,
    // data and the runtime folder, and the default downloads folder.
    std::vector<std::string> ProgramFolders() const {
        return {"home/.config", "home/.local/share", "home/Documents/Velkora Downloads", "run"};
    }

private:
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh, empty temporary folder removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The folder with the helper programs that tests start as second processes.
std::filesystem::path HelperProgram(const std::string& name);
