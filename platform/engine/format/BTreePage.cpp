#include "platform/engine/format/BTreePage.h"

#include <cstring>

#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/DatabaseHeader.h"

namespace platform::engine::format {

std::optional<BTreePage> readBTreePage(const unsigned char* page, std::uint32_t number,
                                       int usableSize) {
    BTreePage header{};
    header.headerOffset = number == 1 ? kHeaderSize : 0;
    header.type = page[header.headerOffset];
    if (header.type != InteriorIndex && header.type != InteriorTable && header.type != LeafIndex &&
        header.type != LeafTable) {
        return std::nullopt;
    }
    const bool interior = header.type == InteriorIndex || header.type == InteriorTable;
    header.pointersOffset = header.headerOffset + (interior ? 12 : 8);
    header.cellCount = bigEndian16(page + header.headerOffset + 3);
    if (header.pointersOffset + 2 * header.cellCount > usableSize) return std::nullopt;
    return header;
}

int cellOffset(const unsigned char* page, const BTreePage& header, int index) {
    return bigEndian16(page + header.pointersOffset + 2 * index);
}

void removeCell(unsigned char* page, BTreePage& header, int index) {
    unsigned char* pointer = page + header.pointersOffset + 2 * index;
    std::memmove(pointer, pointer + 2, std::size_t(2 * (header.cellCount - index - 1)));
    --header.cellCount;
    putBigEndian16(page + header.headerOffset + 3, std::uint16_t(header.cellCount));
}

CellPayload cellPayload(const unsigned char* page, int type, int offset, int usableSize) {
    CellPayload payload;
    if (offset < 8 || offset >= usableSize) return payload;
    const unsigned char* end = page + usableSize;
    // An interior index cell starts with its left child's page number.
    const unsigned char* c = page + offset + (type == InteriorIndex ? 4 : 0);
    const auto size = readVarint(c, end);
    if (!size) return payload;
    c += size->length;
    if (type == LeafTable) {
        const auto rowid = readVarint(c, end);
        if (!rowid) return payload;
        c += rowid->length;
    }
    payload.size = size->value;
    payload.payloadOffset = int(c - page);
    // The payload's share on the page, as the file format fixes it.
    const std::int64_t u = usableSize;
    const std::int64_t most = type == LeafTable ? u - 35 : (u - 12) * 64 / 255 - 23;
    if (payload.size <= std::uint64_t(most)) {
        if (c + payload.size > end) return payload;
        payload.localSize = int(payload.size);
        payload.kind = CellPayload::OnPage;
        return payload;
    }
    const std::int64_t least = (u - 12) * 32 / 255 - 23;
    const std::int64_t k =
        least + std::int64_t((payload.size - std::uint64_t(least)) % std::uint64_t(u - 4));
    const std::int64_t local = k <= most ? k : least;
    if (c + local + 4 > end) {
        payload.kind = CellPayload::Cut;
        return payload;
    }
    payload.kind = CellPayload::Overflowing;
    payload.localSize = int(local);
    payload.firstOverflow = bigEndian32(c + local);
    payload.overflowPages =
        (payload.size - std::uint64_t(local) + std::uint64_t(u - 5)) / std::uint64_t(u - 4);
    return payload;
}

}  // namespace platform::engine::format
