#pragma once

#include <sqlite3.h>

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/format/Record.h"
#include "platform/sqlite/Database.h"

namespace platform::engine {

// How a rowid table of the copy stores its rows: the columns a record holds,
// in record order, and where its rowid goes on insert.
struct TableShape {
    QByteArray table;
    // Stored columns in record order; a stored generated column is held but
    // never inserted (empty name).
    std::vector<QByteArray> columns;
    // The record field that is a rowid alias (stored as NULL), or -1.
    int rowidAlias = -1;
    // What an INSERT names to set the rowid; none when every rowid name is a
    // column and no alias exists.
    std::optional<std::string> rowidTarget;
};

// The shape of one rowid table of the copy's main schema; none for a
// WITHOUT ROWID table or one not there.
std::optional<TableShape> shapeOf(sqlite::Database& copy, const QByteArray& table);

// Whether SQLite's recovery would write the table's rows other than they
// are: it takes an INTEGER PRIMARY KEY declared DESC (no rowid alias in
// SQLite) for the rowid, and writes the rowid through `_rowid_` even when a
// column has that name.
bool recoveryMisreads(sqlite::Database& copy, const QByteArray& table);

// Inserts records exactly as stored into one table, with their rowids; a
// record shorter than the table leaves the later columns at their defaults,
// as SQLite reads it. A record that fits no insert is left out.
class StoredRowWriter {
  public:
    StoredRowWriter(sqlite::Database& copy, TableShape shape, int textEncoding);
    ~StoredRowWriter();
    StoredRowWriter(const StoredRowWriter&) = delete;
    StoredRowWriter& operator=(const StoredRowWriter&) = delete;

    // True when the row went in.
    bool insert(std::int64_t rowid, const QByteArray& record);

  private:
    sqlite3_stmt* statementFor(std::size_t fields);

    sqlite::Database& copy_;
    TableShape shape_;
    int encoding_;
    std::vector<sqlite3_stmt*> statements_;  // by field count
};

// Binds one field of a record, as stored, to a statement's parameter.
bool bindField(sqlite3_stmt* statement, int index, const unsigned char* record,
               const format::RecordField& field, int textEncoding);

}  // namespace platform::engine
