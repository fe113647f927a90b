#pragma once

#include <QByteArray>
#include <optional>
#include <string>
#include <vector>

#include "platform/sqlite/Database.h"

namespace platform::engine {

// One row of a schema table that has SQL text.
struct SchemaEntry {
    QByteArray type;
    QByteArray name;
    QByteArray sql;
};

// The entries of `schema` ("main", "source", ...) in the order they were made.
std::vector<SchemaEntry> schemaOf(sqlite::Database& database, const std::string& schema);

// One column of a table, as SQLite lists it.
struct Column {
    QByteArray name;
    int hidden;  // 0 stored, 1 a virtual table's hidden column, 2 and 3 generated

    bool generated() const { return hidden == 2 || hidden == 3; }
};

// A table's columns in `schema`, in their order.
std::vector<Column> columnsOf(sqlite::Database& database, const std::string& schema,
                              const QByteArray& table);

// The name that reads a table's rowid in `schema`: the first of SQLite's
// rowid names that no column shadows; nothing for a WITHOUT ROWID table (or
// one whose every rowid name is a column).
std::optional<std::string> rowidName(sqlite::Database& database, const std::string& schema,
                                     const QByteArray& table);

bool isVirtualTable(const SchemaEntry& entry);
// SQLite's own tables (sqlite_sequence, sqlite_stat1, ...).
bool isInternal(const QByteArray& name);

}  // namespace platform::engine
