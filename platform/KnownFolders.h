#pragma once
// The per-user folders of the XDG base-directory and user-dirs conventions. Paths are read from
// the environment at every call, so tests that point HOME and XDG_* at a temporary folder are
// honoured. Nothing here creates a folder, except RuntimeFolder's private fallback.
#include <filesystem>

std::filesystem::path HomeFolder();        // $HOME, else the password database's entry
std::filesystem::path ConfigHomeFolder();  // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path DataHomeFolder();    // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path StateHomeFolder();   // $XDG_STATE_HOME, else ~/.local/state
// XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Documents.
std::filesystem::path DocumentsFolder();
// $XDG_RUNTIME_DIR, else a folder under /tmp private to the user (see PrivateRuntimeFolder.h:
// usually /tmp/velkdownloader-<uid>). Returns an empty path when neither can be had safely.
std::filesystem::path RuntimeFolder();
