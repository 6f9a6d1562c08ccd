#pragma once
// The binary form through which records reach the registry. Serialize appends the record to a
// growable buffer and returns false (leaving the buffer as it was) when the record cannot be
// represented; Deserialize reads one record, advancing the cursor and decreasing the count of
// remaining bytes, and returns false when the bytes do not hold a whole record.
#include <cstddef>
#include <cstdint>
#include <vector>

class ISerializable {
public:
    virtual bool Serialize(std::vector<uint8_t>& out) const = 0;
    virtual bool Deserialize(const uint8_t*& cursor, size_t& remaining) = 0;

protected:
    // Records are plain values: copied freely, never deleted through this interface.
    ISerializable() = default;
    ISerializable(const ISerializable&) = default;
    ISerializable& operator=(const ISerializable&) = default;
    ~ISerializable() = default;
};
