#pragma once
// What the headless front end tells scripts about a game's record, the same in `list` and in the
// JSON lines of a download: its state as a word and its bytes. Pure functions; any thread.
#include <cstdint>

#include "core/DownloadInfo.h"

// "downloading", "combining", "verifying", "fetching-details", "paused", "completed",
// "removing" or "failed".
const char* StateWord(ItemState state);

// The bytes of the game done: all of them once completed, else those downloaded so far (the
// count a paused or downloading row shows). A join or a check under way does not lower it: what
// they have done is in the row's text.
uint64_t BytesDone(const DownloadInfo& record);
