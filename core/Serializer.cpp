#include "core/Serializer.h"

#include <algorithm>

namespace Serializer {

namespace {

void WriteLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t ReadLittleEndian(const uint8_t*& cursor, size_t& remaining, size_t bytes) {
    if (remaining < bytes) {
        throw DeserializationFailedException();
    }
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value |= static_cast<uint64_t>(cursor[i]) << (8 * i);
    }
    cursor += bytes;
    remaining -= bytes;
    return value;
}

}  // namespace

void WriteUInt32(std::vector<uint8_t>& out, uint32_t value) {
    WriteLittleEndian(out, value, 4);
}

void WriteInt32(std::vector<uint8_t>& out, int32_t value) {
    WriteUInt32(out, static_cast<uint32_t>(value));
}

void WriteUInt64(std::vector<uint8_t>& out, uint64_t value) {
    WriteLittleEndian(out, value, 8);
}

bool WriteString(std::vector<uint8_t>& out, std::u16string_view text) {
    if (text.size() > kMaxStringUnits) {
        return false;
    }
    WriteLittleEndian(out, text.size() * 2, 2);
    for (const char16_t unit : text) {
        WriteLittleEndian(out, unit, 2);
    }
    return true;
}

uint32_t ReadUInt32(const uint8_t*& cursor, size_t& remaining) {
    return static_cast<uint32_t>(ReadLittleEndian(cursor, remaining, 4));
}

int32_t ReadInt32(const uint8_t*& cursor, size_t& remaining) {
    return static_cast<int32_t>(ReadUInt32(cursor, remaining));
}

uint64_t ReadUInt64(const uint8_t*& cursor, size_t& remaining) {
    return ReadLittleEndian(cursor, remaining, 8);
}

std::u16string ReadString(const uint8_t*& cursor, size_t& remaining) {
    const auto count = static_cast<size_t>(ReadLittleEndian(cursor, remaining, 2));
    if (remaining < count) {
        throw DeserializationFailedException();
    }
    std::u16string text;
    // An odd count leaves the last unit's high byte missing; it reads as zero. Only for the
    // largest count (0xFFFF) is that half unit dropped instead: it would make the text one unit
    // longer than any count can describe, so a record read from the store could never be
    // stored again.
    const size_t units = std::min((count + 1) / 2, kMaxStringUnits);
    for (size_t i = 0; i < units * 2; i += 2) {
        const auto low = static_cast<char16_t>(cursor[i]);
        const auto high = static_cast<char16_t>(i + 1 < count ? cursor[i + 1] : 0);
        const auto unit = static_cast<char16_t>(low | (high << 8));
        if (unit == u'\0') {
            break;
        }
        text += unit;
    }
    cursor += count;
    remaining -= count;
    return text;
}

}  // namespace Serializer
