#include "support/ChunkFixtures.h"

#include "engine/Md5Context.h"
#include "support/FileFixtures.h"

namespace fs = std::filesystem;

fs::path GameFile::Chunk(uint32_t position) const {
    return finished.string() + ".chunk" + std::to_string(position);
}

fs::path GameFile::Working() const {
    return finished.string() + ".joining";
}

fs::path GameFile::Record() const {
    return finished.string() + ".joining.state";
}

size_t GameFile::ChunksLeft() const {
    size_t left = 0;
    for (uint32_t i = 0; i < entry.chunkCount; ++i) {
        left += fs::exists(Chunk(i)) ? 1u : 0u;
    }
    return left;
}

GameFile MakeGameFile(const fs::path& finished, const std::vector<size_t>& sizes, uint32_t seed) {
    GameFile file;
    file.finished = finished;
    file.entry.finishedPath = Wide(finished);
    file.entry.chunkCount = static_cast<uint32_t>(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        const uint32_t position = static_cast<uint32_t>(i);
        const std::string bytes = Pattern(sizes[i], seed + position);
        WriteFile(file.Chunk(position), bytes);
        file.entry.chunkDigests.push_back(Md5Hex(bytes));
        file.entry.chunkLengths.push_back(bytes.size());
        file.content += bytes;
    }
    file.entry.fileDigest = Md5Hex(file.content);
    return file;
}
