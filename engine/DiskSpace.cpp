#include "engine/DiskSpace.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/DownloadInfo.h"
#include "core/Saturating.h"
#include "engine/BlockFile.h"
#include "engine/ChunkFiles.h"
#include "engine/ChunkIndex.h"
#include "engine/JoinRecord.h"

namespace {

uint64_t SizeOr0(const std::u16string& path) {
    return RegularFileSize(path).value_or(0);
}

}  // namespace

uint64_t SpaceStillNeeded(const DownloadInfo& plan, uint32_t connections) {
    uint64_t missing = 0;
    uint64_t largestChunk = 0;
    for (const FileInfo& file : plan.files) {
        if (!file.available || !IsSafeRelativeName(file.name) || !ValidateChunkPlan(file)) {
            continue;
        }
        const std::u16string finished = FinishedFilePath(plan.folder, file.name);
        if (!file.restart && RegularFileSize(finished) == file.size) {
            continue;
        }
        uint64_t onDisk = 0;
        if (!file.restart) {
            onDisk = SizeOr0(finished + u".joining");
            for (const ChunkInfo& chunk : file.chunks) {
                const uint64_t length = chunk.Length();
                const std::optional<uint64_t> verified =
                    RegularFileSize(VerifiedChunkPath(plan.folder, file.name, chunk.id));
                if (verified == length) {
                    onDisk = SaturatingAdd(onDisk, length);
                } else if (!verified) {
                    onDisk = SaturatingAdd(
                        onDisk, std::min(length, SizeOr0(PartialChunkPath(plan.folder, file.name,
                                                                          chunk.id))));
                }
            }
        }
        missing = SaturatingAdd(missing, file.size - std::min(file.size, onDisk));
        for (const ChunkInfo& chunk : file.chunks) {
            largestChunk = std::max(largestChunk, chunk.Length());
        }
    }
    const uint64_t inFlight = SaturatingMultiply(largestChunk, std::max<uint32_t>(connections, 1));
    return SaturatingAdd(missing, std::min(missing, inFlight));
}

std::optional<uint64_t> FreeSpace(std::u16string_view folder) {
    const std::optional<std::string> path = FittingPath(folder);
    struct statvfs info {};
    if (!path || ::statvfs(path->c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

size_t RemoveLeftovers(const DownloadInfo& plan, const FileInfo& file) {
    size_t removed = 0;
    const auto remove = [&removed](const std::u16string& path) {
        if (const std::optional<std::string> spelled = FittingPath(path)) {
            // remove takes a symbolic link itself, never what it points to.
            std::error_code ignored;
            if (std::filesystem::remove(*spelled, ignored)) {
                ++removed;
            }
        }
    };
    if (!IsSafeRelativeName(file.name)) {
        return 0;
    }
    for (const ChunkInfo& chunk : file.chunks) {
        remove(VerifiedChunkPath(plan.folder, file.name, chunk.id));
        remove(PartialChunkPath(plan.folder, file.name, chunk.id));
    }
    const std::u16string finished = FinishedFilePath(plan.folder, file.name);
    remove(finished + u".joining");
    remove(JoinRecordPath(finished));
    remove(JoinRecordPath(finished) + u".new");
    return removed;
}
