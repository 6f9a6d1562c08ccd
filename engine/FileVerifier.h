#pragma once
// Checks one finished file against its whole-file digest, a block per Step. Owned and stepped by
// the worker thread that runs the combine task; it only reads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/BlockFile.h"
#include "engine/CombineEntry.h"
#include "engine/Md5Context.h"

class FileVerifier {
public:
    // The digest of bytes that the joiner computed while writing them, with their count.
    struct KnownDigest {
        std::u16string digest;
        uint64_t bytes = 0;
    };

    // Reads the entry's finished file; a file that does not open yields no bytes. The entry
    // must outlive the verifier.
    explicit FileVerifier(const CombineEntry& entry, size_t blockSize = kDiskBlockSize);
    // Checks a file whose bytes were digested as they were written: nothing is read again, and
    // one step accounts for all of them, as a file of one block would be reported.
    FileVerifier(const CombineEntry& entry, KnownDigest known);
    FileVerifier(const FileVerifier&) = delete;
    FileVerifier& operator=(const FileVerifier&) = delete;

    // True while there is more to check; then Matches tells the outcome.
    bool Step();
    // True until a finished check found a difference.
    bool Matches() const { return matches_; }
    // The check ran to its end (it was not stopped between steps).
    bool Finished() const { return finished_; }
    uint64_t BytesChecked() const { return bytesChecked_; }

private:
    void Conclude(const std::u16string& digest);

    const CombineEntry& entry_;
    std::optional<KnownDigest> known_;
    size_t blockSize_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    Md5Context digest_;
    UniqueFd input_;
    uint64_t bytesChecked_ = 0;
    bool matches_ = true;
    bool finished_ = false;
};
