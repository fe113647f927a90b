#pragma once

#include <cstdint>
#include <optional>

// B-tree pages and their cells, as SQLite lays them out.
namespace platform::engine::format {

enum PageType : int {
    InteriorIndex = 2,
    InteriorTable = 5,
    LeafIndex = 10,
    LeafTable = 13,
};

struct BTreePage {
    int headerOffset;  // 100 on page 1, else 0
    int type;
    int cellCount;
    int pointersOffset;  // where the cell pointer array starts
};

// The b-tree page header of page `number`, if it is one with a cell pointer
// array that fits in the usable part of the page.
std::optional<BTreePage> readBTreePage(const unsigned char* page, std::uint32_t number,
                                       int usableSize);

int cellOffset(const unsigned char* page, const BTreePage& header, int index);

// Takes cell `index` out of the page's pointer array (its bytes stay, as free
// space nobody points at).
void removeCell(unsigned char* page, BTreePage& header, int index);

// Where a cell's payload lies: all on its page, or partly on a chain of
// overflow pages starting at `firstOverflow`.
struct CellPayload {
    enum Kind {
        Unparsed,     // the cell is not where its pointer says: left to SQLite's checks
        OnPage,       // whole on its page
        Overflowing,  // `overflowPages` pages from `firstOverflow` on
        Cut,          // the page ends before the overflow pointer
    } kind = Unparsed;
    std::uint64_t size = 0;
    int payloadOffset = 0;  // where the payload starts on its page
    int localSize = 0;      // how much of it lies there
    std::uint32_t firstOverflow = 0;
    std::uint64_t overflowPages = 0;
};

// Only the three page types whose cells carry payload have one (not the
// interior table page).
CellPayload cellPayload(const unsigned char* page, int type, int offset, int usableSize);

}  // namespace platform::engine::format
