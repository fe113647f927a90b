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

// The fields of a record, if its header reads and every value lies within it.
std::optional<std::vector<RecordField>> readRecord(const unsigned char* record, std::size_t size);

}  // namespace platform::engine::format
