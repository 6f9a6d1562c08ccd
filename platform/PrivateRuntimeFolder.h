#pragma once
// The runtime folder of a session without XDG_RUNTIME_DIR: a folder under /tmp that only this
// user can reach. Names under /tmp are open to every local user, so the usual one,
// /tmp/velkdownloader-<uid>, may have been made first by someone else; such a folder (another
// owner, a link, or any group or other access) is never used. The program then moves to a folder
// that mkdtemp makes beside it, and keeps its path in $XDG_STATE_HOME/VelkDownloader/
// runtime-folder, so every later start of the same user finds the same folder. The choice is made
// under a lock on that file, so two starts at the same moment never pick different folders. Any
// thread; it may wait briefly for another start's choice.
#include <filesystem>

// The folder, or an empty path when none could be had (the usual one is taken and no folder can
// be made or recorded). `tmp` is where the folders go: /tmp, except in tests.
std::filesystem::path PrivateRuntimeFolder(const std::filesystem::path& tmp = "/tmp");
