#include "engine/FileVerifier.h"

#include <cerrno>

#include "core/DebugPrintf.h"

FileVerifier::FileVerifier(const CombineEntry& entry, size_t blockSize)
    : entry_(entry),
      blockSize_(blockSize == 0 ? 1 : blockSize),
      buffer_(std::make_unique<uint8_t[]>(blockSize_)) {
    if (const std::optional<std::string> path = FittingPath(entry_.finishedPath)) {
        input_ = std::move(OpenForReading(*path).fd);
    }
}

FileVerifier::FileVerifier(const CombineEntry& entry, KnownDigest known)
    : entry_(entry), known_(std::move(known)) {}

bool FileVerifier::Step() {
    if (finished_) {
        return false;
    }
    if (known_) {
        if (bytesChecked_ < known_->bytes) {
            bytesChecked_ = known_->bytes;
            return true;
        }
        Conclude(known_->digest);
        return false;
    }
    ssize_t got = 0;
    if (input_) {
        got = ReadFull(input_.Get(), buffer_.get(), blockSize_);
        if (got < 0) {
            // What could not be read cannot be vouched for: the digest of the part read so far
            // will not match.
            const std::u16string why = ErrorText(errno);
            Logger().Warning(u"Cannot read %s: %s", entry_.finishedPath, why);
            got = 0;
        }
    }
    if (got > 0) {
        digest_.Update(buffer_.get(), static_cast<size_t>(got));
        bytesChecked_ += static_cast<uint64_t>(got);
        return true;
    }
    input_.Reset();
    digest_.Finalize();
    Conclude(digest_.HexDigest());
    return false;
}

void FileVerifier::Conclude(const std::u16string& digest) {
    finished_ = true;
    matches_ = digest == entry_.fileDigest;
    if (!matches_) {
        Logger().Warning(u"MD5 for %s (%s) does not match xml (%s).", entry_.finishedPath, digest,
                         entry_.fileDigest);
    }
}
