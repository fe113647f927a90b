#include "platform/engine/copy/Orphans.h"

#include <sqlite3.h>

#include <vector>

#include "platform/engine/copy/SchemaEntries.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::identifier;
using sqlite::Statement;

// Puts orphaned rows back where only one table can have held them: a rowid
// table whose columns match the row's fields in number, when no other table
// (the internal ones included) has that many. Anything less certain stays out.
std::int64_t placeByWidth(Database& database) {
    struct Shape {
        QByteArray table;
        std::vector<QByteArray> columns;  // stored fields, the rowid alias as NULL
        int rowidAlias = -1;
    };
    std::vector<Shape> shapes;
    {
        Statement tables(database.handle(),
                         "SELECT name FROM pragma_table_list WHERE schema = 'main' AND "
                         "type = 'table' AND wr = 0");
        while (tables.step()) shapes.push_back({tables.columnText(0), {}, -1});
    }
    for (Shape& shape : shapes) {
        Statement info(
            database.handle(),
            "SELECT name, type, pk, hidden, (SELECT count(*) FROM "
            "pragma_table_info(?1, 'main') WHERE pk > 0) FROM pragma_table_xinfo(?1, 'main')");
        info.bindText(1, shape.table);
        while (info.step()) {
            if (info.columnInt64(3) != 0) continue;
            if (info.columnInt64(2) == 1 && info.columnInt64(4) == 1 &&
                info.columnText(1).toUpper() == "INTEGER") {
                shape.rowidAlias = int(shape.columns.size());
            }
            shape.columns.push_back(info.columnText(0));
        }
    }
    std::int64_t placed = 0;
    // The lost-and-found table holds fields c0, c1, ... for its widest row;
    // no table wider than that can take its rows.
    const std::int64_t fields = database.queryInt64(
        std::string("SELECT count(*) - 4 FROM pragma_table_info('") + kLostAndFound + "', 'temp')");
    for (const Shape& shape : shapes) {
        if (std::int64_t(shape.columns.size()) > fields) continue;
        if (isInternal(shape.table)) continue;
        int sameWidth = 0;
        for (const Shape& other : shapes) sameWidth += other.columns.size() == shape.columns.size();
        if (sameWidth != 1) continue;
        std::string into = "rowid", from = "id";
        for (std::size_t i = 0; i < shape.columns.size(); ++i) {
            if (int(i) == shape.rowidAlias) continue;
            into += ", " + identifier(shape.columns[i]);
            from += ", c" + std::to_string(i);
        }
        database.execute(
            "INSERT OR IGNORE INTO main." + identifier(shape.table) + " (" + into + ") SELECT " +
            from + " FROM temp." + kLostAndFound +
            " WHERE id IS NOT NULL AND nfield = " + std::to_string(shape.columns.size()));
        placed += sqlite3_changes(database.handle());
    }
    return placed;
}

}  // namespace

OrphanCounts placeOrphans(Database& copy, bool placeable) {
    OrphanCounts counts;
    if (!copy.queryInt64(std::string("SELECT count(*) FROM temp.sqlite_master WHERE name = '") +
                         kLostAndFound + "'")) {
        return counts;
    }
    const std::int64_t found =
        copy.queryInt64(std::string("SELECT count(*) FROM temp.") + kLostAndFound);
    if (placeable) counts.placed = placeByWidth(copy);
    counts.leftOut = found - counts.placed;
    return counts;
}

}  // namespace platform::engine
