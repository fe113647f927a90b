#include "platform/engine/copy/CopyCheck.h"

#include <sqlite3.h>

#include <future>
#include <optional>
#include <vector>

#include "platform/engine/copy/SchemaEntries.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::identifier;
using sqlite::Statement;

bool carried(const SchemaEntry& entry) {
    if (entry.type != "table" || isVirtualTable(entry)) return false;
    return !isInternal(entry.name) || entry.name == "sqlite_sequence" ||
           entry.name == "sqlite_stat1";
}

std::string digestCall(const std::vector<std::string>& values) {
    std::string call = "car_row_digest(";
    for (std::size_t i = 0; i < values.size(); ++i) call += (i ? ", " : "") + values[i];
    return call + ")";
}

RowDigest digestAt(const Statement& statement, int column) {
    sqlite3_value* value = statement.columnValue(column);
    return digestOf(sqlite3_value_blob(value), sqlite3_value_bytes(value));
}

struct TableShape {
    std::string from;                  // schema.table
    std::vector<std::string> rowKeys;  // rowid (where there is one) and columns
    std::optional<std::string> rowid;
};

TableShape shapeOf(Database& database, const std::string& schema, const QByteArray& table) {
    TableShape shape;
    shape.from = schema + "." + identifier(table);
    shape.rowid = rowidName(database, schema, table);
    if (shape.rowid) shape.rowKeys.push_back(*shape.rowid);
    // Every column a row has, stored or computed: generated columns are
    // computed alike on both sides.
    for (const Column& column : columnsOf(database, schema, table)) {
        if (column.hidden != 1) shape.rowKeys.push_back(identifier(column.name));
    }
    return shape;
}

struct IndexShape {
    QByteArray name;
    std::vector<std::string> entryKeys;  // its key columns, then the rowid
};

// The indexes of a rowid table in the copy when each holds one entry per row
// made of plain columns; nothing when any holds expressions or only some
// rows, which a digest of columns cannot stand for.
std::optional<std::vector<IndexShape>> plainIndexes(Database& copy, const QByteArray& table,
                                                    const std::string& rowid) {
    std::vector<IndexShape> indexes;
    {
        Statement list(copy.handle(), "SELECT name, partial FROM pragma_index_list(?1, 'main')");
        list.bindText(1, table);
        while (list.step()) {
            if (list.columnInt64(1) != 0) return std::nullopt;
            indexes.push_back({list.columnText(0), {}});
        }
    }
    for (IndexShape& index : indexes) {
        Statement keys(copy.handle(),
                       "SELECT cid, name FROM pragma_index_xinfo(?1, 'main') WHERE key = 1 "
                       "ORDER BY seqno");
        keys.bindText(1, index.name);
        while (keys.step()) {
            if (keys.columnInt64(0) < 0) return std::nullopt;
            index.entryKeys.push_back(identifier(keys.columnText(1)));
        }
        index.entryKeys.push_back(rowid);
    }
    return indexes;
}

bool tableMatches(Database& copy, const QByteArray& table, const RowDigest& expected) {
    const TableShape shape = shapeOf(copy, "main", table);
    const auto indexes = shape.rowid ? plainIndexes(copy, table, *shape.rowid) : std::nullopt;
    // One pass over the table gives its rows' digest and what each index
    // must hold.
    std::string scan = "SELECT " + digestCall(shape.rowKeys);
    for (const IndexShape& index : indexes.value_or(std::vector<IndexShape>{}))
        scan += ", " + digestCall(index.entryKeys);
    Statement rows(copy.handle(), scan + " FROM " + shape.from + " NOT INDEXED");
    rows.step();
    if (digestAt(rows, 0) != expected) return false;
    if (!indexes) {
        return copy.queryText("PRAGMA main.integrity_check(" + sqlite::quoted(table) + ")") == "ok";
    }
    for (std::size_t i = 0; i < indexes->size(); ++i) {
        const IndexShape& index = (*indexes)[i];
        Statement entries(copy.handle(), "SELECT " + digestCall(index.entryKeys) + " FROM " +
                                             shape.from + " INDEXED BY " + identifier(index.name));
        entries.step();
        if (digestAt(entries, 0) != digestAt(rows, int(i) + 1)) return false;
    }
    return true;
}

bool contentMatches(Database& copy, const TableDigests& source) {
    std::size_t found = 0;
    for (const SchemaEntry& entry : schemaOf(copy, "main")) {
        if (!carried(entry)) continue;
        const auto expected = source.find(entry.name);
        if (expected == source.end() || !tableMatches(copy, entry.name, expected->second))
            return false;
        ++found;
    }
    return found == source.size();
}

}  // namespace

TableDigests tableDigests(Database& database, const std::string& schema) {
    TableDigests digests;
    for (const SchemaEntry& entry : schemaOf(database, schema)) {
        if (!carried(entry)) continue;
        const TableShape shape = shapeOf(database, schema, entry.name);
        Statement rows(database.handle(), "SELECT " + digestCall(shape.rowKeys) + " FROM " +
                                              shape.from + " NOT INDEXED");
        rows.step();
        digests[entry.name] = digestAt(rows, 0);
    }
    return digests;
}

bool copyHoldsSource(Database& copy, const CopyOpener& openAnother, const TableDigests& source) {
    std::future<bool> structure = std::async(std::launch::async, [&openAnother] {
        const std::unique_ptr<Database> reader = openAnother();
        return reader->queryText("PRAGMA main.quick_check(1)") == "ok";
    });
    addRowDigest(copy.handle());
    // Waits for the other half before any failure of this one leaves.
    bool matches = false;
    try {
        matches = contentMatches(copy, source);
    } catch (...) {
        structure.wait();
        throw;
    }
    const bool sound = structure.get();
    return sound && matches;
}

}  // namespace platform::engine
