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

std::optional<std::int64_t> integerValue(const unsigned char* record, const RecordField& field) {
    if (field.serialType == 8) return 0;
    if (field.serialType == 9) return 1;
    if (field.serialType < 1 || field.serialType > 6) return std::nullopt;
    const unsigned char* p = record + field.offset;
    // Big-endian two's complement, sign-extended from its first byte.
    std::uint64_t value = (p[0] & 0x80) ? ~std::uint64_t(0) : 0;
    for (std::size_t i = 0; i < field.size; ++i) value = (value << 8) | p[i];
    return std::int64_t(value);
}

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
