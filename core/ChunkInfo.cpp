#include "core/ChunkInfo.h"

#include "core/Serializer.h"

bool ChunkInfo::Serialize(std::vector<uint8_t>& out) const {
    const size_t start = out.size();
    Serializer::WriteUInt64(out, from);
    Serializer::WriteUInt64(out, to);
    if (!Serializer::WriteString(out, md5)) {
        out.resize(start);
        return false;
    }
    return true;
}

bool ChunkInfo::Deserialize(const uint8_t*& cursor, size_t& remaining) {
    const uint8_t* at = cursor;
    size_t left = remaining;
    try {
        const uint64_t first = Serializer::ReadUInt64(at, left);
        const uint64_t last = Serializer::ReadUInt64(at, left);
        md5 = Serializer::ReadString(at, left);
        from = first;
        to = last;
    } catch (const Serializer::DeserializationFailedException&) {
        return false;
    }
    cursor = at;
    remaining = left;
    return true;
}
