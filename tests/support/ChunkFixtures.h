#pragma once
// An installer file as the joining pass finds it: its verified chunk files on disk, named
// "<finished>.chunk<position>", and the combine entry that describes them with the right digests.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/CombineEntry.h"

struct GameFile {
    std::filesystem::path finished;
    std::string content;  // what the joined file must hold
    CombineEntry entry;

    std::filesystem::path Chunk(uint32_t position) const;
    // Where the joining pass builds the file before it passes its check, and the record beside
    // it.
    std::filesystem::path Working() const;
    std::filesystem::path Record() const;
    // How many of the entry's chunk files are still on disk.
    size_t ChunksLeft() const;
};

// Writes one chunk file of each size, with content made from `seed` (and the chunk's position),
// and fills the entry: finished path, chunk count, chunk digests and lengths and the whole
// file's digest.
GameFile MakeGameFile(const std::filesystem::path& finished, const std::vector<size_t>& sizes,
                      uint32_t seed = 7);
