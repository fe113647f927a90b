#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

// A rollback journal: segments, each a header sector (magic, record count,
// checksum seed, the database's size before the transaction, and in the
// first one the sector and page sizes), then records of a page number, the
// page as it was in the file and a checksum.
namespace platform::engine::format {

inline constexpr unsigned char kJournalMagic[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
inline constexpr int kJournalHeaderSize = 28;  // the fields; the header fills its sector
inline constexpr std::uint32_t kJournalCountUnknown = 0xffffffffu;

struct JournalHeader {
    std::uint32_t recordCount = 0;  // kJournalCountUnknown: as many as the file holds
    std::uint32_t checksumSeed = 0;
    std::uint32_t originalPages = 0;
    std::uint32_t sectorSize = 0;  // first header only
    std::uint32_t pageSize = 0;    // first header only; 0 from writers before 3.5.8
};

// The header at p (kJournalHeaderSize bytes); nothing without the magic.
std::optional<JournalHeader> parseJournalHeader(const unsigned char* p);

// A record's checksum: the seed plus every 200th byte of the page, counted
// from its end.
std::uint32_t journalChecksum(std::uint32_t seed, const unsigned char* page, int pageSize);

// SQLite calls a journal hot when it is not empty and its first byte is not
// zero (a committed journal kept in place has its header zeroed).
bool journalIsHot(std::int64_t size, unsigned char firstByte);

// What rolling a hot journal back does to the database, as SQLite plays it.
struct JournalRollback {
    // False: no valid first header, so the database is left as it is.
    bool rollsBack = false;
    std::uint32_t originalPages = 0;  // the database is cut back to this size
    int pageSize = 0;
    // For each page to put back, where its bytes lie in the journal. The first
    // record of a page holds it as it was before the transaction.
    std::map<std::uint32_t, std::int64_t> pages;
};

// Reads `size` bytes at `offset` of the journal into `out`; false when the
// journal ends before them.
using JournalReader =
    std::function<bool(std::int64_t offset, unsigned char* out, std::size_t size)>;

// Plays a hot journal of `journalSize` bytes as SQLite does: segment after
// segment until a header is missing or invalid, stopping at the first record
// that is cut short, names page 0 or the lock-byte page, or fails its
// checksum; records of pages past the original size are passed over.
// `databasePageSize` stands in for a page size field of 0.
JournalRollback planRollback(std::int64_t journalSize, int databasePageSize,
                             const JournalReader& read);

// The super-journal a journal names at its end when its transaction spanned
// several databases (length, checksum and magic in its last 16 bytes); empty
// when it names none or the name fails its checksum. Once that super-journal
// is gone the transaction committed, and SQLite rolls nothing back.
std::string superJournalName(std::int64_t journalSize, const JournalReader& read);

}  // namespace platform::engine::format
