#pragma once

#include <QByteArray>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/engine/copy/RowDigest.h"
#include "platform/sqlite/Database.h"

namespace platform::engine {

// The tables a whole copy carries rows of, by name, each with the digest of
// its rows (rowid first where it has one).
using TableDigests = std::map<QByteArray, RowDigest>;

// The digests of the tables in `schema` of `database` that a whole copy
// carries: every ordinary table, SQLite's sequence and statistics tables, and
// the tables virtual tables keep their rows in. The connection must have
// car_row_digest (addRowDigest).
TableDigests tableDigests(sqlite::Database& database, const std::string& schema);

// The same digests, when every table's indexes agree with its rows as
// integrity_check would have them agree: each holds exactly the entries its
// table's rows call for, and no UNIQUE index holds a key twice. Nothing when
// one does not. Together with quick_check this proves what integrity_check
// proves, in one scan of each table and index instead of a lookup per entry.
std::optional<TableDigests> agreedTableDigests(sqlite::Database& database,
                                               const std::string& schema);

// Opens another read-only connection to the finished copy, keyed like it.
using CopyOpener = std::function<std::unique_ptr<sqlite::Database>()>;

// Whether the finished copy holds exactly the source's rows in sound b-trees,
// proved in two halves on the two cores:
// - SQLite's quick_check on a second connection: every page of every tree and
//   the free list sound (for an encrypted copy, every page authenticated);
// - beside it, every table's rows give the source's digest, and every index
//   gives the digest of the entries its table's rows call for: one scan of
//   each, where integrity_check looks every entry up.
// A table whose indexes hold expressions or only some rows, or which has no
// rowid, has its indexes checked by integrity_check instead. Together this is
// all integrity_check proves, and that no row was lost or changed. `copy`
// must hold no lock that keeps a reader out; it gets car_row_digest.
bool copyHoldsSource(sqlite::Database& copy, const CopyOpener& openAnother,
                     const TableDigests& source);

}  // namespace platform::engine
