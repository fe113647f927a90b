#pragma once

#include <cstdint>

#include "platform/engine/SqlCipherDatabase.h"

namespace platform::engine {

class SourceImage;

// Copies a whole database, attached to `copy` as "source", into the copy's
// empty main database in one transaction: schema, every row with its own
// rowid (so that no table is renumbered), AUTOINCREMENT counters,
// statistics, header values; indexes, views and triggers after the rows.
void copyWhole(sqlcipher::Database& copy);

// Rebuilds the copy's empty main database from a damaged image with SQLite's
// recovery: every row that can be read whole goes back into its own table
// with its rowid; rows that recovery cannot place in a table are dropped,
// and so is every row whose content lies partly on a page that could not be
// read. Returns the number of rows known to be dropped that way.
std::int64_t recoverInto(SourceImage& image, sqlcipher::Database& copy);

}  // namespace platform::engine
