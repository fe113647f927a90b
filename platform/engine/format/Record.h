#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The record format: a header of serial types, then the values.
namespace platform::engine::format {

struct RecordField {
    std::uint64_t serialType;
    std::size_t offset;  // of the value within the record
    std::size_t size;
    bool isText() const { return serialType >= 13 && serialType % 2 == 1; }
};

// An integer field's value (serial types 1 to 6, 8 and 9).
std::optional<std::int64_t> integerValue(const unsigned char* record, const RecordField& field);

// The fields of a record, if its header reads and every value lies within it.
std::optional<std::vector<RecordField>> readRecord(const unsigned char* record, std::size_t size);

}  // namespace platform::engine::format
