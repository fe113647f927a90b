#pragma once

#include "platform/engine/SqlCipherDatabase.h"

namespace platform::engine {

// Rebuilds the still empty copy, attached to `copy` as "compacted", from the source's
// schema and every row that can still be read, table by table: tables, then
// indexes (so a row that damage made a duplicate is refused, the first one
// kept), then rows, walking each table by rowid and stepping over ranges that
// cannot be read; then the AUTOINCREMENT counters, statistics, views and
// triggers. Raises SqliteError for failures writing the copy; leaves judging
// the result to the copy's integrity check. The source is read through a
// connection of its own that holds no transaction, so that a page that fails
// to read fails only the read that met it.
void salvageInto(sqlcipher::Database& source, sqlcipher::Database& copy);

}  // namespace platform::engine
