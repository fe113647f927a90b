#include "platform/engine/format/DatabaseHeader.h"

#include <cstring>

#include "platform/engine/format/Bytes.h"

namespace platform::engine::format {

bool hasMagic(const unsigned char* page1) {
    return std::memcmp(page1, kHeaderMagic, kMagicSize) == 0;
}

bool saneHeader(const unsigned char* page1) {
    return page1[21] == 64 && page1[22] == 32 && page1[23] == 32;
}

bool validPageSize(int size) {
    return size >= kMinPageSize && size <= kMaxPageSize && (size & (size - 1)) == 0;
}

int pageSizeField(const unsigned char* page1) {
    const int value = bigEndian16(page1 + 16);
    return value == 1 ? kMaxPageSize : value;
}

DatabaseHeader parseHeader(const unsigned char* page1) {
    DatabaseHeader header;
    header.pageSize = pageSizeField(page1);
    header.reserve = page1[20];
    header.pageCount = bigEndian32(page1 + 28);
    // SQLite trusts the size only when the change counter matches the
    // version-valid-for number written with it.
    header.pageCountCurrent = header.pageCount != 0 && std::memcmp(page1 + 24, page1 + 92, 4) == 0;
    header.firstFreelistTrunk = bigEndian32(page1 + 32);
    header.freelistPages = bigEndian32(page1 + 36);
    header.autoVacuum = bigEndian32(page1 + 52) != 0;
    header.textEncoding = int(bigEndian32(page1 + 56));
    header.incrementalVacuum = bigEndian32(page1 + 64) != 0;
    return header;
}

void setRollbackImage(unsigned char* page1, std::uint32_t pageCount) {
    putBigEndian32(page1 + 28, pageCount);
    std::memcpy(page1 + 92, page1 + 24, 4);
    // Read and write versions 1: no write-ahead log to look for.
    page1[18] = page1[19] = 1;
}

std::uint32_t lockBytePage(int pageSize) {
    return std::uint32_t(0x40000000 / pageSize) + 1;
}

bool allZero(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i]) return false;
    }
    return true;
}

}  // namespace platform::engine::format
