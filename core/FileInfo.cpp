#include "core/FileInfo.h"

#include "core/Serializer.h"

bool FileInfo::Serialize(std::vector<uint8_t>& out) const {
    const size_t start = out.size();
    Serializer::WriteUInt32(out, id);
    if (!Serializer::WriteString(out, name)) {
        out.resize(start);
        return false;
    }
    Serializer::WriteUInt64(out, size);
    return true;
}

bool FileInfo::Deserialize(const uint8_t*& cursor, size_t& remaining) {
    const uint8_t* at = cursor;
    size_t left = remaining;
    try {
        const uint32_t storedId = Serializer::ReadUInt32(at, left);
        std::u16string storedName = Serializer::ReadString(at, left);
        size = Serializer::ReadUInt64(at, left);
        id = storedId;
        name = std::move(storedName);
    } catch (const Serializer::DeserializationFailedException&) {
        return false;
    }
    cursor = at;
    remaining = left;
    return true;
}
