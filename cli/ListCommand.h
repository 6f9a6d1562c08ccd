#pragma once
// `velkdownloader-cli list [--json]`: the games of the settings store in list order, as the
// window would list them at its start - name, title, state, bytes done of all, folder - one line
// a game, as text or as a JSON object. The store is opened for reading only and the data folder's
// chunk indexes are only read, so a listing beside a running instance changes nothing of it.
// Main thread only.

// Returns the exit code.
int ListGames(bool json);
