#include "engine/CombineEntry.h"

#include "core/DownloadInfo.h"
#include "core/TextUtil.h"
#include "engine/ChunkFiles.h"

const std::u16string& CombineEntry::ChunkDigest(uint32_t position) const {
    static const std::u16string kNone;
    return position < chunkDigests.size() ? chunkDigests[position] : kNone;
}

uint64_t CombineEntry::ChunkLength(uint32_t position) const {
    return position < chunkLengths.size() ? chunkLengths[position] : 0;
}

std::u16string ChunkFileOfEntry(const CombineEntry& entry, uint32_t position) {
    return entry.finishedPath + u".chunk" + Decimal(position);
}

std::u16string WorkingFileOfEntry(const CombineEntry& entry) {
    return entry.finishedPath + u".joining";
}

std::vector<CombineEntry> MakeCombineEntries(const DownloadInfo& info) {
    std::vector<CombineEntry> entries;
    entries.reserve(info.files.size());
    for (const FileInfo& file : info.files) {
        CombineEntry entry;
        entry.fileDigest = file.md5;
        if (IsSafeRelativeName(file.name)) {
            entry.finishedPath = FinishedFilePath(info.folder, file.name);
        }
        entry.chunkCount = static_cast<uint32_t>(file.chunks.size());
        entry.chunkDigests.reserve(file.chunks.size());
        entry.chunkLengths.reserve(file.chunks.size());
        for (const ChunkInfo& chunk : file.chunks) {
            entry.chunkDigests.push_back(chunk.md5);
            entry.chunkLengths.push_back(chunk.Length());
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}
