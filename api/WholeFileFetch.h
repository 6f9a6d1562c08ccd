#pragma once
// Fetching a whole small resource of the store (a chunk index, a game icon, an avatar) into a
// local file, on the API client's threads. The size the server announces is held against a cap
// before any of the body is written, so a hostile server can't fill the disk through them, and a
// stop event ends the fetch within a tenth of a second, even while the server trickles or stalls.
// Stateless; any thread.
#include <cstdint>
#include <string>

class Event;

// Icons and avatars are small pictures; anything larger is not one.
inline constexpr uint64_t kMaxImageBytes = 1u << 20;

enum class WholeFileFetch {
    Fetched,   // the whole resource is in the file
    Failed,    // the transfer failed or broke off (its own line is in the log)
    TooLarge,  // the server announced more than the cap; nothing of the body was written
    Stopped,   // `stop` was set
};

// Transfers `url` into `path` (emptied first when `truncate`, otherwise resumed after what it
// holds). Only Fetched leaves a file the caller may use; the caller removes what else is left.
// A failure for want of the network sets `problemReported` (null for none).
WholeFileFetch FetchWholeFile(const std::u16string& path, const std::u16string& url, bool truncate,
                              uint64_t maxBytes, const Event* stop, Event* problemReported);

// Fetches `url` whole into a new temporary file beside `path` (same folder, so the rename is
// atomic) and renames it over `path` only once it is whole. On every other outcome the temporary
// file goes and `path` is left as it was: a failed or cut fetch never leaves a broken file there,
// and a good older one stays until a new one is whole. The resource is always fetched from its
// start; nothing is appended to what `path` held.
WholeFileFetch ReplaceWithWholeFile(const std::u16string& path, const std::u16string& url,
                                    uint64_t maxBytes, const Event* stop, Event* problemReported);
