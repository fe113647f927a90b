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
    bool unique = false;
    std::vector<std::string> entryKeys;  // its key columns, then the rowid
    std::vector<std::string> collated;   // its key columns as it compares them
};

// The indexes of a rowid table when each holds one entry per row made of
// plain columns; nothing when any holds expressions or only some rows, which
// a digest of columns cannot stand for.
std::optional<std::vector<IndexShape>> plainIndexes(Database& database, const std::string& schema,
                                                    const QByteArray& table,
                                                    const std::string& rowid) {
    std::vector<IndexShape> indexes;
    {
        Statement list(database.handle(),
                       "SELECT name, partial, \"unique\" FROM pragma_index_list(?1, ?2)");
        list.bindText(1, table);
        list.bindText(2, QByteArray::fromStdString(schema));
        while (list.step()) {
            if (list.columnInt64(1) != 0) return std::nullopt;
            indexes.push_back({list.columnText(0), list.columnInt64(2) != 0, {}, {}});
        }
    }
    for (IndexShape& index : indexes) {
        Statement keys(database.handle(),
                       "SELECT cid, name, coll FROM pragma_index_xinfo(?1, ?2) WHERE key = 1 "
                       "ORDER BY seqno");
        keys.bindText(1, index.name);
        keys.bindText(2, QByteArray::fromStdString(schema));
        while (keys.step()) {
            if (keys.columnInt64(0) < 0) return std::nullopt;
            const std::string column = identifier(keys.columnText(1));
            index.entryKeys.push_back(column);
            index.collated.push_back(column + " COLLATE " + identifier(keys.columnText(2)));
        }
        index.entryKeys.push_back(rowid);
    }
    return indexes;
}

// Whether a UNIQUE index holds two entries with one key, compared as the
// index compares them; entries with a NULL never clash.
bool holdsDuplicates(Database& database, const TableShape& shape, const IndexShape& index) {
    std::string keys;
    std::string known = " WHERE 1";
    for (std::size_t i = 0; i < index.collated.size(); ++i) {
        keys += (i ? ", " : "") + index.collated[i];
        known += " AND " + index.entryKeys[i] + " IS NOT NULL";
    }
    Statement clash(database.handle(), "SELECT 1 FROM " + shape.from + " INDEXED BY " +
                                           identifier(index.name) + known + " GROUP BY " + keys +
                                           " HAVING count(*) > 1 LIMIT 1");
    return clash.step();
}

// The digest of a table's rows when its indexes agree with them: each holds
// exactly the entries its table's rows call for (one scan of the table and
// one of each index, where integrity_check looks every entry up) and, with
// `unique`, no UNIQUE index holds a key twice. A table whose indexes hold
// expressions or only some rows, or which has no rowid, is checked by
// integrity_check of that table instead.
std::optional<RowDigest> agreedDigest(Database& database, const std::string& schema,
                                      const QByteArray& table, bool unique) {
    const TableShape shape = shapeOf(database, schema, table);
    const auto indexes =
        shape.rowid ? plainIndexes(database, schema, table, *shape.rowid) : std::nullopt;
    std::string scan = "SELECT " + digestCall(shape.rowKeys);
    for (const IndexShape& index : indexes.value_or(std::vector<IndexShape>{}))
        scan += ", " + digestCall(index.entryKeys);
    Statement rows(database.handle(), scan + " FROM " + shape.from + " NOT INDEXED");
    rows.step();
    const RowDigest digest = digestAt(rows, 0);
    if (!indexes) {
        const bool sound = database.queryText("PRAGMA " + schema + ".integrity_check(" +
                                              sqlite::quoted(table) + ")") == "ok";
        return sound ? std::optional(digest) : std::nullopt;
    }
    for (std::size_t i = 0; i < indexes->size(); ++i) {
        const IndexShape& index = (*indexes)[i];
        Statement entries(database.handle(), "SELECT " + digestCall(index.entryKeys) + " FROM " +
                                                 shape.from + " INDEXED BY " +
                                                 identifier(index.name));
        entries.step();
        if (digestAt(entries, 0) != digestAt(rows, int(i) + 1)) return std::nullopt;
        if (unique && index.unique && holdsDuplicates(database, shape, index)) return std::nullopt;
    }
    return digest;
}

bool contentMatches(Database& copy, const TableDigests& source) {
    std::size_t found = 0;
    for (const SchemaEntry& entry : schemaOf(copy, "main")) {
        if (!carried(entry)) continue;
        const auto expected = source.find(entry.name);
        // The source's indexes were proved unique; the copy's hold exactly its rows.
        if (expected == source.end() ||
            agreedDigest(copy, "main", entry.name, false) != expected->second)
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

std::optional<TableDigests> agreedTableDigests(Database& database, const std::string& schema) {
    TableDigests digests;
    for (const SchemaEntry& entry : schemaOf(database, schema)) {
        if (!carried(entry)) continue;
        const auto digest = agreedDigest(database, schema, entry.name, true);
        if (!digest) return std::nullopt;
        digests[entry.name] = *digest;
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
