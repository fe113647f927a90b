// The file-format code on bytes made here, one field at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/engine/format/BTreePage.h"
#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/format/Freelist.h"
#include "platform/engine/format/RollbackJournal.h"
#include "platform/engine/format/WalFrames.h"

namespace {

using namespace platform::engine::format;
using Bytes = std::vector<unsigned char>;

TEST(Format, Varints) {
    const Bytes one{0x7f}, two{0x81, 0x00}, nine(9, 0xff), cut{0x81};
    EXPECT_EQ(readVarint(one.data(), one.data() + 1)->value, 0x7fu);
    EXPECT_EQ(readVarint(two.data(), two.data() + 2)->value, 0x80u);
    EXPECT_EQ(readVarint(two.data(), two.data() + 2)->length, 2);
    // The ninth byte counts all eight bits.
    EXPECT_EQ(readVarint(nine.data(), nine.data() + 9)->value, ~std::uint64_t(0));
    EXPECT_EQ(readVarint(nine.data(), nine.data() + 9)->length, 9);
    EXPECT_FALSE(readVarint(cut.data(), cut.data() + 1));
}

Bytes headerPage(int pageSize) {
    Bytes page(std::size_t(pageSize), 0);
    std::memcpy(page.data(), kHeaderMagic, kMagicSize);
    putBigEndian16(page.data() + 16, pageSize == 65536 ? 1 : std::uint16_t(pageSize));
    page[20] = 8;
    page[21] = 64, page[22] = 32, page[23] = 32;
    return page;
}

TEST(Format, DatabaseHeader) {
    Bytes page = headerPage(65536);
    putBigEndian32(page.data() + 24, 7);  // change counter
    putBigEndian32(page.data() + 28, 42);
    putBigEndian32(page.data() + 92, 6);  // written by an older version: size stale
    putBigEndian32(page.data() + 56, 2);
    putBigEndian32(page.data() + 64, 1);
    DatabaseHeader header = parseHeader(page.data());
    EXPECT_TRUE(hasMagic(page.data()) && saneHeader(page.data()));
    EXPECT_EQ(header.pageSize, 65536);
    EXPECT_EQ(header.usableSize(), 65536 - 8);
    EXPECT_FALSE(header.pageCountCurrent);
    EXPECT_EQ(header.textEncoding, 2);
    EXPECT_TRUE(header.incrementalVacuum && !header.autoVacuum);

    page[18] = page[19] = 2;  // WAL mode
    setRollbackImage(page.data(), 9);
    header = parseHeader(page.data());
    EXPECT_TRUE(header.pageCountCurrent);
    EXPECT_EQ(header.pageCount, 9u);
    EXPECT_EQ(page[18], 1);
    EXPECT_EQ(page[19], 1);

    EXPECT_FALSE(validPageSize(1000));
    EXPECT_FALSE(validPageSize(256));
    EXPECT_EQ(lockBytePage(1024), 1048577u);
}

TEST(Format, CellsOnTheirPageAndOverflowing) {
    constexpr int kUsable = 1024;
    Bytes page(kUsable, 0);
    page[0] = LeafTable;
    putBigEndian16(page.data() + 3, 3);
    // Cell 0: 10 bytes of payload, on the page.
    putBigEndian16(page.data() + 8, 980);
    page[980] = 10, page[981] = 1;
    // Cell 1: 5000 bytes, overflowing from page 7.
    putBigEndian16(page.data() + 10, 50);
    page[50] = 0x80 | (5000 >> 7), page[51] = 5000 & 0x7f, page[52] = 2;
    // What stays on the page: for 1024 usable bytes the least share is 103.
    const int local = 103 + (5000 - 103) % 1020;
    putBigEndian32(page.data() + 53 + local, 7);
    // Cell 2: overflowing, but the page ends before its pointer.
    putBigEndian16(page.data() + 12, 1000);
    page[1000] = 0x80 | (5000 >> 7), page[1001] = 5000 & 0x7f, page[1002] = 3;

    auto header = readBTreePage(page.data(), 2, kUsable);
    ASSERT_TRUE(header);
    EXPECT_EQ(
        cellPayload(page.data(), LeafTable, cellOffset(page.data(), *header, 0), kUsable).kind,
        CellPayload::OnPage);
    const CellPayload big =
        cellPayload(page.data(), LeafTable, cellOffset(page.data(), *header, 1), kUsable);
    EXPECT_EQ(big.kind, CellPayload::Overflowing);
    EXPECT_EQ(big.firstOverflow, 7u);
    EXPECT_EQ(big.overflowPages, std::uint64_t((5000 - local + 1019) / 1020));
    EXPECT_EQ(
        cellPayload(page.data(), LeafTable, cellOffset(page.data(), *header, 2), kUsable).kind,
        CellPayload::Cut);

    removeCell(page.data(), *header, 1);
    EXPECT_EQ(bigEndian16(page.data() + 3), 2);
    EXPECT_EQ(cellOffset(page.data(), *header, 1), 1000);
    // A pointer array longer than the page is no b-tree page.
    putBigEndian16(page.data() + 3, 600);
    EXPECT_FALSE(readBTreePage(page.data(), 2, kUsable));
}

TEST(Format, FreelistWholeOnlyWhenItAddsUp) {
    constexpr int kPage = 512;
    std::vector<Bytes> pages(8, Bytes(kPage, 0));
    auto fetch = [&](std::uint32_t n) -> std::optional<Bytes> { return pages[n]; };
    // Trunk 3 lists leaves 5 and 6 and leads to trunk 4, which lists none.
    putBigEndian32(pages[3].data(), 4);
    putBigEndian32(pages[3].data() + 4, 2);
    putBigEndian32(pages[3].data() + 8, 5);
    putBigEndian32(pages[3].data() + 12, 6);
    DatabaseHeader header;
    header.pageSize = kPage;
    header.firstFreelistTrunk = 3;
    header.freelistPages = 4;
    Freelist list = walkFreelist(header, 7, fetch);
    EXPECT_TRUE(list.whole);
    EXPECT_EQ(list.pages, (std::set<std::uint32_t>{3, 4, 5, 6}));

    header.freelistPages = 5;
    EXPECT_FALSE(walkFreelist(header, 7, fetch).whole);
    header.freelistPages = 4;
    putBigEndian32(pages[4].data(), 3);  // a loop
    EXPECT_FALSE(walkFreelist(header, 7, fetch).whole);
    putBigEndian32(pages[4].data(), 0);
    EXPECT_FALSE(walkFreelist(header, 7, [&](std::uint32_t n) -> std::optional<Bytes> {
                     if (n == 4) return std::nullopt;  // unreadable trunk
                     return pages[n];
                 }).whole);
}

// A log of pages of 512 bytes, checksummed as SQLite does (big-endian sums).
class WalLog {
  public:
    WalLog() : bytes_(kWalHeaderSize, 0) {
        putBigEndian32(bytes_.data(), 0x377f0683);
        putBigEndian32(bytes_.data() + 8, 512);
        putBigEndian32(bytes_.data() + 16, 0x11111111);
        putBigEndian32(bytes_.data() + 20, 0x22222222);
        sum(bytes_.data(), 24);
        putBigEndian32(bytes_.data() + 24, s0_);
        putBigEndian32(bytes_.data() + 28, s1_);
    }
    // Appends a frame for `page`; `commit` non-zero ends a transaction.
    void add(std::uint32_t page, std::uint32_t commit, bool goodSalt = true) {
        Bytes frame(kWalFrameHeaderSize + 512, static_cast<unsigned char>(page));
        putBigEndian32(frame.data(), page);
        putBigEndian32(frame.data() + 4, commit);
        std::memcpy(frame.data() + 8, bytes_.data() + 16, 8);
        if (!goodSalt) frame[8] ^= 1;
        sum(frame.data(), 8);
        sum(frame.data() + kWalFrameHeaderSize, 512);
        putBigEndian32(frame.data() + 16, s0_);
        putBigEndian32(frame.data() + 20, s1_);
        bytes_.insert(bytes_.end(), frame.begin(), frame.end());
    }
    WalScan scan() const {
        WalScan scan;
        EXPECT_TRUE(scan.start(bytes_.data(), 512));
        for (std::size_t at = kWalHeaderSize; at < bytes_.size(); at += kWalFrameHeaderSize + 512) {
            if (!scan.next(bytes_.data() + at, std::int64_t(at))) break;
        }
        return scan;
    }
    Bytes bytes_;

  private:
    void sum(const unsigned char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; i += 8) {
            s0_ += bigEndian32(p + i) + s1_;
            s1_ += bigEndian32(p + i + 4) + s0_;
        }
    }
    std::uint32_t s0_ = 0, s1_ = 0;
};

TEST(Format, WalFramesCountUpToTheLastCommit) {
    WalLog log;
    log.add(2, 0);
    log.add(3, 5);  // commit: 5 pages
    log.add(2, 0);  // never committed
    const WalScan scan = log.scan();
    EXPECT_EQ(scan.pageCount(), 5u);
    ASSERT_EQ(scan.committedFrames().size(), 2u);
    EXPECT_EQ(scan.committedFrames().at(2), kWalHeaderSize + kWalFrameHeaderSize);

    WalLog salted;
    salted.add(2, 3);
    salted.add(4, 0, false);  // another log's frame ends this one
    salted.add(4, 4);
    EXPECT_EQ(salted.scan().pageCount(), 3u);
    EXPECT_EQ(salted.scan().committedFrames().count(4), 0u);

    WalLog corrupt;
    corrupt.add(2, 3);
    corrupt.bytes_.back() ^= 1;  // the page no longer matches its checksum
    EXPECT_EQ(corrupt.scan().pageCount(), 0u);

    WalScan other;
    EXPECT_FALSE(other.start(corrupt.bytes_.data(), 1024));  // another page size
}

// A rollback journal of 512-byte pages in 512-byte sectors, as SQLite writes
// one: a header sector per segment, then records.
class Journal {
  public:
    // Starts a segment on the next sector boundary.
    void header(std::uint32_t count, std::uint32_t seed, std::uint32_t originalPages,
                std::uint32_t sector = 512, std::uint32_t pageSize = 512) {
        bytes_.resize((bytes_.size() + 511) / 512 * 512 + 512, 0);
        unsigned char* h = bytes_.data() + bytes_.size() - 512;
        std::memcpy(h, kJournalMagic, sizeof kJournalMagic);
        putBigEndian32(h + 8, count);
        putBigEndian32(h + 12, seed);
        putBigEndian32(h + 16, originalPages);
        putBigEndian32(h + 20, sector);
        putBigEndian32(h + 24, pageSize);
        seed_ = seed;
    }
    // Appends the record of `page`, filled with `fill`; its checksum right or not.
    void record(std::uint32_t page, unsigned char fill, bool goodSum = true) {
        Bytes r(4 + 512 + 4, fill);
        putBigEndian32(r.data(), page);
        putBigEndian32(r.data() + 516, seed_ + 2u * fill + (goodSum ? 0 : 1));
        bytes_.insert(bytes_.end(), r.begin(), r.end());
    }
    JournalRollback plan() const {
        return planRollback(std::int64_t(bytes_.size()), 512,
                            [this](std::int64_t at, unsigned char* out, std::size_t n) {
                                if (at + std::int64_t(n) > std::int64_t(bytes_.size()))
                                    return false;
                                std::memcpy(out, bytes_.data() + at, n);
                                return true;
                            });
    }
    Bytes bytes_;

  private:
    std::uint32_t seed_ = 0;
};

TEST(Format, JournalSegmentsPutBackEachPageAsItFirstWas) {
    const Bytes page(512, 0x5a);
    // Every 200th byte from the end: bytes 312 and 112 of a 512-byte page.
    EXPECT_EQ(journalChecksum(7, page.data(), 512), 7u + 2 * 0x5a);

    Journal journal;
    journal.header(3, 7, 4);
    journal.record(2, 0xa2);
    journal.record(5, 0xa5);  // a page the transaction added: cut off instead
    journal.record(2, 0xbb);  // not the page as it was before
    journal.header(1, 9, 6);  // the next segment, with its own seed
    journal.record(3, 0xa3);
    const JournalRollback plan = journal.plan();
    EXPECT_TRUE(plan.rollsBack);
    EXPECT_EQ(plan.originalPages, 4u);
    EXPECT_EQ(plan.pageSize, 512);
    ASSERT_EQ(plan.pages.size(), 2u);
    EXPECT_EQ(plan.pages.at(2), 512 + 4);
    EXPECT_EQ(plan.pages.at(3), 2560 + 512 + 4);
}

TEST(Format, JournalPlaybackStopsWhereSqliteStops) {
    auto pagesOf = [](const Journal& journal) {
        Bytes pages;
        for (const auto& [page, at] : journal.plan().pages) pages.push_back(std::uint8_t(page));
        return pages;
    };
    Journal badSum;
    badSum.header(3, 1, 9);
    badSum.record(2, 1);
    badSum.record(3, 1, false);  // this and every later record are not played
    badSum.record(4, 1);
    badSum.header(1, 1, 9);
    badSum.record(5, 1);
    EXPECT_EQ(pagesOf(badSum), (Bytes{2}));

    Journal torn;
    torn.header(2, 1, 9);
    torn.record(2, 1);
    torn.record(3, 1);
    torn.bytes_.pop_back();  // the last record cut short by the crash
    EXPECT_EQ(pagesOf(torn), (Bytes{2}));
    EXPECT_TRUE(torn.plan().rollsBack);

    Journal unsynced;  // no count: as many whole records as the file holds
    unsynced.header(kJournalCountUnknown, 1, 9);
    unsynced.record(2, 1);
    unsynced.record(3, 1);
    unsynced.record(4, 1);
    unsynced.bytes_.resize(unsynced.bytes_.size() - 100);
    EXPECT_EQ(pagesOf(unsynced), (Bytes{2, 3}));

    Journal pageZero;
    pageZero.header(2, 1, 9);
    pageZero.record(0, 1);
    pageZero.record(2, 1);
    EXPECT_TRUE(pageZero.plan().pages.empty());

    Journal oldWriter;  // page size 0: the database's own
    oldWriter.header(1, 1, 9, 512, 0);
    oldWriter.record(2, 1);
    EXPECT_EQ(oldWriter.plan().pageSize, 512);
    EXPECT_EQ(pagesOf(oldWriter), (Bytes{2}));

    Journal unsyncedHeader;  // sizes out of range: the header was never synced
    unsyncedHeader.header(1, 1, 9, 100);
    unsyncedHeader.record(2, 1);
    EXPECT_FALSE(unsyncedHeader.plan().rollsBack);

    Journal zeroed;  // a committed journal kept in place
    zeroed.header(1, 1, 9);
    zeroed.record(2, 1);
    std::memset(zeroed.bytes_.data(), 0, 28);
    EXPECT_FALSE(zeroed.plan().rollsBack);
    EXPECT_FALSE(journalIsHot(std::int64_t(zeroed.bytes_.size()), zeroed.bytes_[0]));
    EXPECT_FALSE(journalIsHot(0, 0xd9));
    EXPECT_TRUE(journalIsHot(1, 0xd9));
}

TEST(Format, AJournalNamesTheSuperJournalOfItsTransaction) {
    auto nameIn = [](const std::string& name, int sumError) {
        Journal journal;
        journal.header(1, 1, 9);
        journal.record(2, 1);
        journal.bytes_.insert(journal.bytes_.end(), name.begin(), name.end());
        std::uint32_t sum = sumError;
        for (const char c : name) sum += std::uint32_t(static_cast<signed char>(c));
        Bytes tail(16);
        putBigEndian32(tail.data(), std::uint32_t(name.size()));
        putBigEndian32(tail.data() + 4, sum);
        std::memcpy(tail.data() + 8, kJournalMagic, sizeof kJournalMagic);
        journal.bytes_.insert(journal.bytes_.end(), tail.begin(), tail.end());
        return superJournalName(std::int64_t(journal.bytes_.size()),
                                [&](std::int64_t at, unsigned char* out, std::size_t n) {
                                    std::memcpy(out, journal.bytes_.data() + at, n);
                                    return true;
                                });
    };
    EXPECT_EQ(nameIn("/srv/db-mj01\xe9", 0), "/srv/db-mj01\xe9");
    EXPECT_EQ(nameIn("/srv/db-mj01", 1), "");  // a torn name names nothing
    Journal none;
    none.header(1, 1, 9);
    none.record(2, 1);
    EXPECT_EQ(superJournalName(std::int64_t(none.bytes_.size()),
                               [&](std::int64_t at, unsigned char* out, std::size_t n) {
                                   std::memcpy(out, none.bytes_.data() + at, n);
                                   return true;
                               }),
              "");
}

}  // namespace
