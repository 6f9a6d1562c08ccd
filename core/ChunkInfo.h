#pragma once
// One chunk of an installer file, as listed by the file's chunk index. A plain value; whoever
// holds a copy may change it (the main window owns the listed records, other threads copies).
// Its binary form (from, to, md5) is used on its own; it is not part of a stored DownloadInfo.
#include <cstdint>
#include <string>

#include "core/ISerializable.h"

class ChunkInfo final : public ISerializable {
public:
    // The smallest stored chunk: from, to, an empty digest.
    static constexpr size_t kMinimumRecordSize = 8 + 8 + 2;

    ChunkInfo() = default;
    ChunkInfo(const ChunkInfo&) = default;
    ChunkInfo& operator=(const ChunkInfo&) = default;
    ~ChunkInfo() = default;

    bool Serialize(std::vector<uint8_t>& out) const override;
    // Reads from, to and md5; on failure neither the chunk nor the cursor changes.
    bool Deserialize(const uint8_t*& cursor, size_t& remaining) override;

    // Bytes in the chunk: both ends are inclusive.
    uint64_t Length() const { return to - from + 1; }

    int32_t id = 0;       // position in its file's chunks; also its chunk file's suffix
    uint64_t from = 0;    // offset of the first byte in the file
    uint64_t to = 0;      // offset of the last byte (inclusive)
    uint64_t joined = 0;  // bytes already appended to the finished file
    uint64_t onDisk = 0;  // bytes present on disk (verified chunk file, else partial file)
    std::u16string md5;   // expected digest, hexadecimal text from the chunk index
};
