#pragma once
// One installer file of a game with its chunks. A plain value (copies copy the chunks too).
// Only id, name and size are stored with the record; everything else is rebuilt from the
// chunk index on disk after loading.
#include <cstdint>
#include <string>
#include <vector>

#include "core/ChunkInfo.h"
#include "core/ISerializable.h"

class FileInfo final : public ISerializable {
public:
    // The smallest stored file: id, an empty name, size.
    static constexpr size_t kMinimumRecordSize = 4 + 2 + 8;

    FileInfo() = default;
    FileInfo(const FileInfo&) = default;
    FileInfo& operator=(const FileInfo&) = default;
    ~FileInfo() = default;

    bool Serialize(std::vector<uint8_t>& out) const override;
    // Reads id, name and size; on failure neither the file nor the cursor changes.
    bool Deserialize(const uint8_t*& cursor, size_t& remaining) override;

    uint32_t id = 0;                // the installer's id in the store API; equals its position
    std::u16string name;            // path relative to the record's folder; may contain "/"
    std::u16string md5;             // whole-file digest from the chunk index
    std::u16string timestamp;       // the chunk index's timestamp; a change means a new file
    uint64_t size = 0;              // total size in bytes
    uint64_t joined = 0;            // sum of the chunks' joined bytes
    uint64_t verified = 0;          // bytes of the finished file checked against its digest
    uint64_t onDisk = 0;            // finished file's size, else the chunks' bytes on disk
    std::vector<ChunkInfo> chunks;  // in the order of the chunk index; id == position
    bool available = true;          // the chunk index says the file can be downloaded
    bool restart = false;           // fresh details changed the timestamp: start over
    std::u16string notAvailableMessage;
};
