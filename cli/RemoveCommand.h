#pragma once
// `velkdownloader-cli remove GAME [--delete-files]`: the removal that the window's row menu
// carries out ("Remove" / "From list" or "From list and disk"), by the same lifecycle code, with
// the command line as the user's "Yes". The record goes; with deleteFiles the game's own files go
// too (its finished files, its chunk files and a half-joined file, then the folders this leaves
// empty), nothing else. It holds the instance lock from start to end, so no window or download
// run starts writing the settings store meanwhile; it refuses while another instance holds it.
// Main thread only.
#include <string>

// Returns the exit code.
int RemoveGame(const std::u16string& name, bool deleteFiles);
