#pragma once

#include "platform/sqlite/Database.h"

namespace platform::engine {

// Copies a whole database, attached to `copy` as "source", into the copy's
// empty main database in one transaction: schema, every row with its own
// rowid (so that no table is renumbered), AUTOINCREMENT counters,
// statistics, header values; indexes, views and triggers after the rows.
void copyWhole(sqlite::Database& copy);

}  // namespace platform::engine
