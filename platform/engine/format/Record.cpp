#include "platform/engine/format/Record.h"

#include "platform/engine/format/Bytes.h"

namespace platform::engine::format {

namespace {
std::size_t valueSize(std::uint64_t serialType) {
    static const std::size_t kFixed[] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    if (serialType < 12) return kFixed[serialType];
    return std::size_t((serialType - (serialType % 2 ? 13 : 12)) / 2);
}
}  // namespace

std::optional<std::vector<RecordField>> readRecord(const unsigned char* record, std::size_t size) {
    const unsigned char* end = record + size;
    const auto headerSize = readVarint(record, end);
    if (!headerSize || headerSize->value > size) return std::nullopt;
    const unsigned char* p = record + headerSize->length;
    const unsigned char* headerEnd = record + headerSize->value;
    std::size_t at = std::size_t(headerSize->value);
    std::vector<RecordField> fields;
    while (p < headerEnd) {
        const auto type = readVarint(p, headerEnd);
        if (!type || type->value == 10 || type->value == 11) return std::nullopt;
        p += type->length;
        const std::size_t bytes = valueSize(type->value);
        if (bytes > size - at) return std::nullopt;
        fields.push_back({type->value, at, bytes});
        at += bytes;
    }
    return fields;
}

}  // namespace platform::engine::format
