#include "platform/engine/copy/WholeCopy.h"

#include <vector>

#include "platform/engine/copy/SchemaEntries.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::identifier;
using sqlite::Statement;

bool existsInMain(Database& database, const QByteArray& name) {
    Statement probe(database.handle(),
                    "SELECT 1 FROM main.sqlite_master WHERE type = 'table' AND name = ?1");
    probe.bindText(1, name);
    return probe.step();
}

bool hasIndex(Database& database, const QByteArray& table) {
    Statement indexes(database.handle(), "SELECT 1 FROM pragma_index_list(?1, 'source')");
    indexes.bindText(1, table);
    return indexes.step();
}

// Whether the table's rowids in the copy run from the same first to the same
// last as in the source: a table SQLite numbered afresh runs from 1 to its
// count, which equals the source's only where its rowids are 1 to the count.
bool sameRowidRange(Database& database, const std::string& table, const std::string& rowid) {
    const std::string range =
        "SELECT coalesce(min(" + rowid + "), 0) || ',' || coalesce(max(" + rowid + "), 0) FROM ";
    return database.queryText(range + "main." + table) ==
           database.queryText(range + "source." + table);
}

// Copies one table's rows, each with its rowid where the table has one.
void copyRows(Database& database, const QByteArray& table) {
    // Generated columns are computed, never inserted.
    std::vector<QByteArray> columns;
    bool computed = false;
    for (const Column& column : columnsOf(database, "source", table)) {
        if (column.generated()) {
            computed = true;
        } else {
            columns.push_back(column.name);
        }
    }
    const std::string name = identifier(table);
    const auto rowid = rowidName(database, "source", table);
    // INSERT ... SELECT * lets SQLite move stored rows and index entries as
    // they are, rowids kept, where both tables have the same shape. Without
    // an index SQLite numbers rows afresh even then, so only a table with an
    // index (or without rowid) goes this way, and one whose rowids did not
    // come across is copied again column by column.
    if (!computed && (!rowid || hasIndex(database, table))) {
        database.execute("INSERT INTO main." + name + " SELECT * FROM source." + name);
        if (!rowid || sameRowidRange(database, name, *rowid)) return;
        database.execute("DELETE FROM main." + name);
    }
    std::string list;
    for (const QByteArray& column : columns)
        list += (list.empty() ? "" : ", ") + identifier(column);
    if (rowid) list = *rowid + (list.empty() ? "" : ", ") + list;
    database.execute("INSERT INTO main." + name + " (" + list + ") SELECT " + list +
                     " FROM source." + name);
}

void copyHeaderValues(Database& database, const std::string& from) {
    for (const char* name : {"user_version", "application_id"}) {
        const std::int64_t value = database.queryInt64("PRAGMA " + from + "." + name);
        database.execute(std::string("PRAGMA main.") + name + " = " + std::to_string(value));
    }
}

}  // namespace

void copyWhole(Database& database) {
    const std::vector<SchemaEntry> schema = schemaOf(database, "source");
    database.execute("BEGIN");
    // Virtual tables first: they make their own shadow tables.
    for (const SchemaEntry& entry : schema) {
        if (isVirtualTable(entry)) database.executeFirst(entry.sql);
    }
    bool sequence = false, statistics = false;
    for (const SchemaEntry& entry : schema) {
        if (entry.type != "table" || isVirtualTable(entry)) continue;
        if (isInternal(entry.name)) {
            sequence |= entry.name == "sqlite_sequence";
            statistics |= entry.name == "sqlite_stat1";
            continue;
        }
        if (existsInMain(database, entry.name)) {
            database.execute("DELETE FROM main." + identifier(entry.name));
        } else {
            database.executeFirst(entry.sql);
        }
    }
    // Indexes before the rows, filled as they come: sorting a whole index at
    // once would hold it in memory, where temporary data stays.
    for (const SchemaEntry& entry : schema) {
        if (entry.type == "index") database.executeFirst(entry.sql);
    }
    for (const SchemaEntry& entry : schema) {
        if (entry.type == "table" && !isVirtualTable(entry) && !isInternal(entry.name)) {
            copyRows(database, entry.name);
        }
    }
    if (sequence) {
        database.execute("DELETE FROM main.sqlite_sequence");
        database.execute("INSERT INTO main.sqlite_sequence SELECT * FROM source.sqlite_sequence");
    }
    if (statistics) {
        // Makes the statistics table without analysing anything but the schema.
        database.execute("ANALYZE main.sqlite_master");
        database.execute("DELETE FROM main.sqlite_stat1");
        database.execute("INSERT INTO main.sqlite_stat1 SELECT * FROM source.sqlite_stat1");
    }
    for (const char* type : {"view", "trigger"}) {
        for (const SchemaEntry& entry : schema) {
            if (entry.type == type) database.executeFirst(entry.sql);
        }
    }
    copyHeaderValues(database, "source");
    database.execute("COMMIT");
}

}  // namespace platform::engine
