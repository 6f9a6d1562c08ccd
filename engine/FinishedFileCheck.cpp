#include "engine/FinishedFileCheck.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/DebugPrintf.h"
#include "engine/BlockFile.h"
#include "engine/ChunkIndex.h"
#include "engine/Md5Context.h"

namespace {

bool IsWellFormedMd5(const std::u16string& digest) {
    return digest.size() == 32 && std::all_of(digest.begin(), digest.end(), [](char16_t c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

// Deletes the file under `path` only while it is the very file that was read.
void DeleteCheckedFile(const std::u16string& path, dev_t device, ino_t inode) {
    const std::optional<std::string> spelled = FittingPath(path);
    if (spelled && UnlinkIfSame(*spelled, device, inode)) {
        Logger().Warning(u"Deleted %s: it does not match its digest; it is downloaded again.",
                         path);
    }
}

}  // namespace

FinishedFileCheck FinishedFileChecks::Check(const FileInfo& file,
                                            const std::u16string& finishedPath,
                                            const std::function<bool()>& proceed,
                                            const std::function<void(uint64_t)>& progress) {
    const auto remembered = passed_.find(finishedPath);
    if (remembered != passed_.end()) {
        const Passed passed = remembered->second;
        passed_.erase(remembered);
        if (!file.restart && passed.digest == file.md5 && passed.identity.size == file.size) {
            if (const std::optional<std::string> spelled = FittingPath(finishedPath);
                spelled && SameFile(IdentityOfPath(*spelled), passed.identity)) {
                passed_.emplace(finishedPath, passed);
                return FinishedFileCheck::kDone;
            }
        }
    }
    if (file.restart || RegularFileSize(finishedPath) != file.size) {
        return FinishedFileCheck::kNotDone;
    }
    if (!IsWellFormedMd5(file.md5)) {
        Logger().Warning(u"Finished file %s can't be checked: its digest is not known",
                         finishedPath);
        return FinishedFileCheck::kNotDone;
    }
    // Which file is read, so that a failed one is deleted only while it is still that file.
    const std::optional<std::string> spelled = FittingPath(finishedPath);
    if (!spelled) {
        return FinishedFileCheck::kNotDone;
    }
    const OpenedFile opened = OpenForReading(*spelled);
    if (!opened.fd) {
        return FinishedFileCheck::kNotDone;
    }
    const std::optional<FileIdentity> before = IdentityOfFd(opened.fd.Get());
    Md5Context digest;
    std::vector<uint8_t> buffer(kDiskBlockSize);
    uint64_t checked = 0;
    for (;;) {
        if (proceed && !proceed()) {
            return FinishedFileCheck::kStopped;
        }
        const ssize_t got = ReadFull(opened.fd.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            // What could not be read is not vouched for; the plan fetches the file again.
            const std::u16string why = ErrorText(errno);
            Logger().Warning(u"Cannot read %s to check it: %s", finishedPath, why);
            return FinishedFileCheck::kNotDone;
        }
        if (got == 0) {
            break;
        }
        digest.Update(buffer.data(), static_cast<size_t>(got));
        checked += static_cast<uint64_t>(got);
        if (progress) {
            progress(checked);
        }
    }
    // A game-sized read should not push everything else out of the page cache.
    DropCachedPages(opened.fd.Get());
    digest.Finalize();
    const std::u16string found = digest.HexDigest();
    if (checked != file.size || found != file.md5) {
        Logger().Warning(u"Finished file %s (%I64u bytes, md5 %s) does not match its digest %s.",
                         finishedPath, checked, found, file.md5);
        DeleteCheckedFile(finishedPath, opened.device, opened.inode);
        return FinishedFileCheck::kNotDone;
    }
    // Remembered only when nothing wrote to it while it was read and the name still leads to it.
    const std::optional<FileIdentity> after = IdentityOfFd(opened.fd.Get());
    if (SameFile(before, after) && SameFile(IdentityOfPath(*spelled), after)) {
        passed_.insert_or_assign(finishedPath, Passed{*after, file.md5});
    }
    return FinishedFileCheck::kDone;
}
