#include "engine/ChunkCheck.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>

#include "core/DebugPrintf.h"
#include "engine/Md5Context.h"
#include "platform/CrashPoint.h"

namespace {

using Outcome = ChunkCheckResult::Outcome;

ChunkCheckResult DiskProblem(std::u16string_view path, int error) {
    const std::u16string why = ErrorText(error);
    Logger().Warning(u"Cannot check %s: %s", path, why);
    return ChunkCheckResult{};
}

}  // namespace

ChunkCheckResult CheckChunk(std::u16string_view partialPath, std::u16string_view verifiedPath,
                            std::u16string_view expectedDigest, const WorkerCheckPoint& checkPoint,
                            const std::u16string* digestOfWrittenBytes, size_t blockSize) {
    const std::optional<std::string> partial = FittingPath(partialPath);
    const std::optional<std::string> verified = FittingPath(verifiedPath);
    if (!partial || !verified) {
        return DiskProblem(partialPath, ENAMETOOLONG);
    }
    OpenedFile file = OpenForReading(*partial);
    if (!file.fd) {
        // Not a wrong digest from the server: counting it as one would mislead the retry
        // policy's rule about always getting the same digest.
        return DiskProblem(partialPath, file.error);
    }

    ChunkCheckResult result;
    if (digestOfWrittenBytes != nullptr) {
        result.digest = *digestOfWrittenBytes;
    } else {
        Md5Context digest;
        const size_t size = blockSize == 0 ? 1 : blockSize;
        const auto buffer = std::make_unique<uint8_t[]>(size);
        for (bool first = true;; first = false) {
            if (!first) {
                const WorkerStop stop = checkPoint.Pass();
                if (stop == WorkerStop::kTerminate) {
                    return ChunkCheckResult{Outcome::kTerminated, {}, 0};
                }
                if (stop == WorkerStop::kBreak) {
                    return ChunkCheckResult{Outcome::kBroken, {}, 0};
                }
            }
            const ssize_t got = ReadFull(file.fd.Get(), buffer.get(), size);
            if (got < 0) {
                return DiskProblem(partialPath, errno);
            }
            if (got == 0) {
                break;
            }
            digest.Update(buffer.get(), static_cast<size_t>(got));
            if (static_cast<size_t>(got) < size) {
                break;  // a short read is the end of the file: no need to ask again
            }
        }
        digest.Finalize();
        result.digest = digest.HexDigest();
    }

    if (result.digest != expectedDigest) {
        Logger().Warning(u"MD5 for %s (%s) does not match xml (%s). Deleting file.", partialPath,
                         result.digest, expectedDigest);
        UnlinkIfSame(*partial, file.device, file.inode);
        result.outcome = Outcome::kRejected;
        result.bytes = 0;
        return result;
    }
    file.fd.Reset();
    CrashPoint("chunk-checked");
    // rename replaces a stale file of the verified name in one step.
    if (std::rename(partial->c_str(), verified->c_str()) != 0) {
        const std::u16string why = ErrorText(errno);
        Logger().Warning(u"Cannot move %s to %s: %s", partialPath, verifiedPath, why);
        result.outcome = Outcome::kDiskProblem;
        result.bytes = 0;
        return result;
    }
    Logger().Log(u"Chunk %s downloaded and verified. Changing to: %s", partialPath, verifiedPath);
    result.outcome = Outcome::kAccepted;
    result.bytes = file.size;
    return result;
}
