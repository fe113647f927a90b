#pragma once

#include <cstdint>

#include "platform/sqlite/Database.h"

namespace platform::engine {

class SourceImage;

struct SalvageCounts {
    // Rows and index entries left out because they could not be read whole.
    std::int64_t cellsDropped = 0;
    // Of those, rows of rowid tables.
    std::int64_t rowsDropped = 0;
    // Rows found on pages no tree leads to: put back in their table, or not.
    std::int64_t orphansPlaced = 0;
    std::int64_t orphansLeftOut = 0;
};

// Rebuilds the copy's empty main database from a damaged image with SQLite's
// recovery: every row that can be read whole goes back into its own table
// with its rowid; no row whose content lies partly on a page that could not
// be read is written; orphaned rows go back only where their table is
// certain. Indexes are rebuilt, AUTOINCREMENT counters raised.
SalvageCounts salvageInto(SourceImage& image, sqlite::Database& copy);

}  // namespace platform::engine
