#include "platform/engine/format/RollbackJournal.h"

#include <cstring>
#include <vector>

#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/DatabaseHeader.h"

namespace platform::engine::format {

namespace {
constexpr std::uint32_t kMinSectorSize = 32;
constexpr std::uint32_t kMaxSectorSize = 0x10000;
// The longest name SQLite reads back: its longest path on this system.
constexpr std::uint32_t kMaxSuperJournalName = 512;

bool powerOfTwoWithin(std::uint32_t value, std::uint32_t least, std::uint32_t most) {
    return value >= least && value <= most && (value & (value - 1)) == 0;
}
}  // namespace

std::optional<JournalHeader> parseJournalHeader(const unsigned char* p) {
    if (std::memcmp(p, kJournalMagic, sizeof kJournalMagic) != 0) return std::nullopt;
    JournalHeader header;
    header.recordCount = bigEndian32(p + 8);
    header.checksumSeed = bigEndian32(p + 12);
    header.originalPages = bigEndian32(p + 16);
    header.sectorSize = bigEndian32(p + 20);
    header.pageSize = bigEndian32(p + 24);
    return header;
}

std::uint32_t journalChecksum(std::uint32_t seed, const unsigned char* page, int pageSize) {
    std::uint32_t sum = seed;
    for (int i = pageSize - 200; i > 0; i -= 200) sum += page[i];
    return sum;
}

bool journalIsHot(std::int64_t size, unsigned char firstByte) {
    return size > 0 && firstByte != 0;
}

JournalRollback planRollback(std::int64_t journalSize, int databasePageSize,
                             const JournalReader& read) {
    JournalRollback plan;
    unsigned char fields[kJournalHeaderSize];
    if (!read(0, fields, sizeof fields)) return plan;
    const std::optional<JournalHeader> first = parseJournalHeader(fields);
    if (!first) return plan;
    const std::uint32_t sector = first->sectorSize;
    const std::uint32_t pageSize =
        first->pageSize ? first->pageSize : std::uint32_t(databasePageSize);
    // A header with sizes out of range was never synced: nothing to roll back.
    if (!powerOfTwoWithin(sector, kMinSectorSize, kMaxSectorSize) ||
        !powerOfTwoWithin(pageSize, kMinPageSize, kMaxPageSize) || journalSize < sector) {
        return plan;
    }
    plan.rollsBack = true;
    plan.originalPages = first->originalPages;
    plan.pageSize = int(pageSize);
    const std::int64_t recordSize = std::int64_t(pageSize) + 8;
    const std::uint32_t lockPage = lockBytePage(int(pageSize));
    std::vector<unsigned char> record(static_cast<std::size_t>(recordSize));
    std::optional<JournalHeader> header = first;
    std::int64_t at = 0;
    while (true) {
        at += sector;  // past the header's sector
        std::uint32_t count = header->recordCount;
        if (count == kJournalCountUnknown) count = std::uint32_t((journalSize - at) / recordSize);
        for (std::uint32_t i = 0; i < count; ++i, at += recordSize) {
            if (at + recordSize > journalSize || !read(at, record.data(), record.size())) {
                return plan;  // cut short by the crash
            }
            const std::uint32_t page = bigEndian32(record.data());
            if (page == 0 || page == lockPage) return plan;
            if (page > plan.originalPages) continue;
            if (journalChecksum(header->checksumSeed, record.data() + 4, int(pageSize)) !=
                bigEndian32(record.data() + 4 + pageSize)) {
                return plan;
            }
            plan.pages.emplace(page, at + 4);
        }
        // The next segment's header starts on the next sector boundary.
        if (at > 0) at = ((at - 1) / sector + 1) * sector;
        if (at + sector > journalSize || !read(at, fields, sizeof fields)) return plan;
        header = parseJournalHeader(fields);
        if (!header) return plan;
    }
}

std::string superJournalName(std::int64_t journalSize, const JournalReader& read) {
    unsigned char tail[16];
    if (journalSize < 16 || !read(journalSize - 16, tail, sizeof tail)) return {};
    const std::uint32_t length = bigEndian32(tail);
    if (length == 0 || length > kMaxSuperJournalName || length > journalSize - 16 ||
        std::memcmp(tail + 8, kJournalMagic, sizeof kJournalMagic) != 0) {
        return {};
    }
    std::string name(length, '\0');
    if (!read(journalSize - 16 - length, reinterpret_cast<unsigned char*>(name.data()), length)) {
        return {};
    }
    // SQLite sums the name as chars, which are signed here.
    std::uint32_t sum = bigEndian32(tail + 4);
    for (const char c : name) sum -= std::uint32_t(static_cast<signed char>(c));
    return sum == 0 && name[0] != '\0' ? name : std::string();
}

}  // namespace platform::engine::format
