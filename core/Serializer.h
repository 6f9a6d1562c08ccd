#pragma once
// The primitives of the stored record format: little-endian integers without padding, strings
// as a 16-bit byte count followed by UTF-16LE text without terminator, and sequences as a
// 32-bit count followed by the records. Readers throw DeserializationFailedException when too
// few bytes remain; writers append to a growable buffer. Stateless; any thread.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Serializer {

class DeserializationFailedException : public std::runtime_error {
public:
    DeserializationFailedException() : std::runtime_error("record too short") {}
};

// The longest string a 16-bit byte count can describe, in UTF-16 units.
inline constexpr size_t kMaxStringUnits = 0xFFFF / 2;

void WriteUInt32(std::vector<uint8_t>& out, uint32_t value);
void WriteInt32(std::vector<uint8_t>& out, int32_t value);
void WriteUInt64(std::vector<uint8_t>& out, uint64_t value);
// False, and nothing written, when the text is longer than kMaxStringUnits.
bool WriteString(std::vector<uint8_t>& out, std::u16string_view text);

uint32_t ReadUInt32(const uint8_t*& cursor, size_t& remaining);
int32_t ReadInt32(const uint8_t*& cursor, size_t& remaining);
uint64_t ReadUInt64(const uint8_t*& cursor, size_t& remaining);
// Takes exactly the counted bytes (an odd count included); the text ends at its first zero
// character, as a stored string is read up to its terminator, and never holds more than
// kMaxStringUnits units, so whatever was read can be written again.
std::u16string ReadString(const uint8_t*& cursor, size_t& remaining);

// The count, then each record's Serialize. False (and `out` unchanged) when a record fails.
template <class Record>
bool WriteSequence(std::vector<uint8_t>& out, const std::vector<Record>& records) {
    const size_t start = out.size();
    WriteUInt32(out, static_cast<uint32_t>(records.size()));
    for (const Record& record : records) {
        if (!record.Serialize(out)) {
            out.resize(start);
            return false;
        }
    }
    return true;
}

// Reads the count and that many records. A count that cannot fit in the remaining bytes, at
// `minimumRecordSize` each, fails before anything is allocated; so does a record that fails.
template <class Record>
std::vector<Record> ReadSequence(const uint8_t*& cursor, size_t& remaining,
                                 size_t minimumRecordSize) {
    const uint32_t count = ReadUInt32(cursor, remaining);
    if (minimumRecordSize > 0 && count > remaining / minimumRecordSize) {
        throw DeserializationFailedException();
    }
    std::vector<Record> records(count);
    for (Record& record : records) {
        if (!record.Deserialize(cursor, remaining)) {
            throw DeserializationFailedException();
        }
    }
    return records;
}

}  // namespace Serializer
