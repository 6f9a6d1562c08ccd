#include "engine/JoinedPrefix.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "core/DebugPrintf.h"
#include "engine/BlockFile.h"
#include "engine/JoinRecord.h"

namespace {

// Feeds the next `length` bytes of `fd` to `chunk` and `file` (when given); false when the file
// ends first, a read fails or `proceed` says no.
bool DigestRange(int fd, uint64_t length, Md5Context& chunk, Md5Context* file,
                 const std::function<bool()>& proceed) {
    const auto buffer = std::make_unique<uint8_t[]>(kDiskBlockSize);
    uint64_t done = 0;
    while (done < length) {
        if (done > 0 && proceed && !proceed()) {
            return false;
        }
        const auto want = static_cast<size_t>(std::min<uint64_t>(length - done, kDiskBlockSize));
        const ssize_t got = ReadFull(fd, buffer.get(), want);
        if (got != static_cast<ssize_t>(want)) {
            return false;
        }
        if (file != nullptr) {
            Md5Context::UpdateBoth(chunk, *file, buffer.get(), want);
        } else {
            chunk.Update(buffer.get(), want);
        }
        done += want;
    }
    return true;
}

void DeleteChunkFilesOf(const CombineEntry& entry, uint32_t position) {
    const std::u16string verified = ChunkFileOfEntry(entry, position);
    for (const std::u16string& path : {verified, verified + u"_downloading"}) {
        if (const std::optional<std::string> spelled = FittingPath(path)) {
            ::unlink(spelled->c_str());
        }
    }
}

}  // namespace

bool ChunkFileMatches(const std::string& path, uint64_t length, std::u16string_view digest) {
    const OpenedFile file = OpenForReading(path);
    if (!file.fd || file.size != length) {
        return false;
    }
    Md5Context chunk;
    if (!DigestRange(file.fd.Get(), length, chunk, nullptr, {})) {
        return false;
    }
    chunk.Finalize();
    return chunk.HexDigest() == digest;
}

JoinedPrefix RecoverJoinedPrefix(const CombineEntry& entry, const std::function<bool()>& proceed) {
    JoinedPrefix prefix;
    const std::optional<std::string> working = FittingPath(WorkingFileOfEntry(entry));
    const std::optional<std::string> recordPath = FittingPath(JoinRecordPath(entry.finishedPath));
    if (!working || !recordPath) {
        return prefix;
    }
    std::optional<JoinRecord> record = ReadJoinRecord(*recordPath);
    OpenedFile file = OpenForUpdating(*working);
    if (record) {
        prefix.chunkFilesTrusted = record->clean;
    }
    if (!file.fd) {
        // The record stays: an unclean one still says the chunk files need their check.
        if (record && record->chunks > 0) {
            Logger().Warning(u"%s is gone; its %u joined chunks are fetched again.",
                             WorkingFileOfEntry(entry), record->chunks);
        }
        return prefix;
    }

    // The record counts when it fits the file as it stands: whole chunks of this index, and
    // bytes that are all there.
    if (record && record->chunks <= entry.chunkCount && record->bytes <= file.size) {
        uint64_t length = 0;
        for (uint32_t position = 0; position < record->chunks; ++position) {
            length += entry.ChunkLength(position);
        }
        if (length == record->bytes) {
            prefix.chunks = record->chunks;
            prefix.bytes = record->bytes;
            prefix.digest = record->digest;
        }
    }
    const uint32_t recorded = prefix.chunks;

    // Past the record, whole chunks that match their digests.
    if (prefix.bytes < file.size &&
        ::lseek(file.fd.Get(), static_cast<off_t>(prefix.bytes), SEEK_SET) >= 0) {
        while (prefix.chunks < entry.chunkCount) {
            const uint64_t length = entry.ChunkLength(prefix.chunks);
            if (length == 0 || file.size - prefix.bytes < length) {
                break;
            }
            Md5Context chunk;
            Md5Context digest = prefix.digest;
            if (!DigestRange(file.fd.Get(), length, chunk, &digest, proceed)) {
                break;
            }
            chunk.Finalize();
            if (chunk.HexDigest() != entry.ChunkDigest(prefix.chunks)) {
                break;
            }
            prefix.digest = std::move(digest);
            prefix.bytes += length;
            ++prefix.chunks;
        }
    }
    if (file.size > prefix.bytes) {
        if (::ftruncate(file.fd.Get(), static_cast<off_t>(prefix.bytes)) != 0) {
            // What lies past the prefix is not trusted; the join starts at the prefix anyway
            // and writes over it.
            Logger().Warning(u"Cannot cut %s back to %I64u bytes: %s", WorkingFileOfEntry(entry),
                             prefix.bytes, ErrorText(errno));
        }
    }
    for (uint32_t position = 0; position < prefix.chunks; ++position) {
        DeleteChunkFilesOf(entry, position);
    }
    if (prefix.chunks != recorded || !record) {
        if (::fdatasync(file.fd.Get()) == 0) {
            JoinRecord updated;
            updated.clean = prefix.chunkFilesTrusted;
            updated.chunks = prefix.chunks;
            updated.bytes = prefix.bytes;
            updated.digest = prefix.digest;
            WriteJoinRecord(*recordPath, updated);
        }
    }
    return prefix;
}
