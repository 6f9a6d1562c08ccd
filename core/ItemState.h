#pragma once
// The state of a download item and the kind of error that stopped it. Both travel as 32-bit
// integers between components (window messages, task results), so they keep fixed values.
#include <cstdint>

enum class ItemState : uint32_t {
    Downloading = 0,      // chunks are being downloaded
    Combining = 1,        // verified chunks are being joined into files
    Verifying = 2,        // finished files are checked against their digests
    FetchingDetails = 3,  // waiting for the game's details from the API
    Paused = 4,           // waiting behind the active item, stopped, or paused
    Completed = 5,        // downloaded and ready to install
    Removing = 6,         // removal confirmed; goes once the engine releases it
    Failed = 7,           // an error of some ErrorKind stopped the item
};

// Other values may arrive from a task result; they show no error text.
enum class ErrorKind : uint32_t {
    None = 0,
    DiskWrite = 2,      // a file could not be written to disk
    FileGaveUp = 3,     // the engine gave up on a file of the game (permanent failure)
    DetailsFailed = 5,  // the game's details could not be fetched
    DiskSpace = 6,      // the disk lacks room for what the download still needs
};
