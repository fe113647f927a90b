#pragma once

#include <cstdint>

// The 100-byte header at the start of page 1 of a SQLite database.
namespace platform::engine::format {

inline constexpr int kHeaderSize = 100;
// The magic string with its NUL: 16 bytes. SQLCipher keeps a salt there instead.
inline constexpr char kHeaderMagic[] = "SQLite format 3";
inline constexpr int kMagicSize = sizeof kHeaderMagic;
inline constexpr int kMinPageSize = 512;
inline constexpr int kMaxPageSize = 65536;

struct DatabaseHeader {
    int pageSize = 0;
    int reserve = 0;  // bytes at the end of each page that b-trees leave alone
    // The size in pages, as recorded; counts only while `pageCountCurrent`.
    std::uint32_t pageCount = 0;
    bool pageCountCurrent = false;
    std::uint32_t firstFreelistTrunk = 0;
    std::uint32_t freelistPages = 0;
    int textEncoding = 0;  // 1 UTF-8, 2 UTF-16le, 3 UTF-16be
    bool autoVacuum = false;
    bool incrementalVacuum = false;

    int usableSize() const { return pageSize - reserve; }
};

bool hasMagic(const unsigned char* page1);
// Whether the payload fractions hold their fixed values: a header that
// decrypted right has them.
bool saneHeader(const unsigned char* page1);
bool validPageSize(int size);
// The page size field (1 stands for 65536), valid or not.
int pageSizeField(const unsigned char* page1);
DatabaseHeader parseHeader(const unsigned char* page1);

// Makes a header describe a file of `pageCount` pages in rollback mode: how
// the engine's private image of a database must read.
void setRollbackImage(unsigned char* page1, std::uint32_t pageCount);

// The page holding the lock byte at 1 GiB, which SQLite never writes.
std::uint32_t lockBytePage(int pageSize);

bool allZero(const unsigned char* bytes, std::size_t size);

}  // namespace platform::engine::format
