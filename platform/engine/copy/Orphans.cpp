#include "platform/engine/copy/Orphans.h"

#include <sqlite3.h>

#include <algorithm>
#include <vector>

#include "platform/engine/copy/SchemaEntries.h"
#include "platform/engine/copy/StoredRows.h"
#include "platform/engine/source/BTreeWalk.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::identifier;
using sqlite::SqliteError;
using sqlite::Statement;

const std::string kLost = std::string("temp.") + kLostAndFound;

// An index of the copy over plain columns of its table, as record fields of
// that table: -1 for the rowid alias.
std::optional<std::vector<int>> indexedFields(Database& copy, const QByteArray& index,
                                              const QByteArray& table) {
    // Each column's record field; virtual generated columns have none.
    std::vector<int> fieldOf;
    {
        Statement columns(copy.handle(), "SELECT hidden FROM pragma_table_xinfo(?1, 'main')");
        columns.bindText(1, table);
        int next = 0;
        while (columns.step()) fieldOf.push_back(columns.columnInt64(0) == 2 ? -2 : next++);
    }
    const auto shape = shapeOf(copy, table);
    std::vector<int> fields;
    Statement keys(copy.handle(),
                   "SELECT cid FROM pragma_index_xinfo(?1, 'main') WHERE key = 1 ORDER BY seqno");
    keys.bindText(1, index);
    while (keys.step()) {
        const std::int64_t cid = keys.columnInt64(0);
        if (cid < 0 || cid >= std::int64_t(fieldOf.size()) || fieldOf[std::size_t(cid)] < 0) {
            return std::nullopt;
        }
        const int field = fieldOf[std::size_t(cid)];
        fields.push_back(shape && field == shape->rowidAlias ? -1 : field);
    }
    if (fields.empty()) return std::nullopt;
    return fields;
}

// Loads the entries an index's tree in the image still holds into
// temp.car_index_entries (k0, k1, ..., r): its key values and rowid.
void loadIndexEntries(Database& copy, const SourceImage& image, std::uint32_t root,
                      std::size_t keys) {
    copy.execute("DROP TABLE IF EXISTS temp.car_index_entries");
    std::string columns, parameters;
    for (std::size_t i = 0; i < keys; ++i) {
        // Appended piece by piece: GCC 12's -O3 misreads "k" + to_string(i) as
        // an overlapping copy (-Wrestrict) and fails the release build.
        columns += 'k';
        columns += std::to_string(i);
        columns += ", ";
        parameters += "?, ";
    }
    copy.execute("CREATE TEMP TABLE car_index_entries (" + columns + "r INTEGER)");
    sqlite3_stmt* insert = nullptr;
    const std::string sql = "INSERT INTO temp.car_index_entries VALUES (" + parameters + "?)";
    if (sqlite3_prepare_v2(copy.handle(), sql.c_str(), -1, &insert, nullptr) != SQLITE_OK) {
        throw SqliteError(sqlite3_errcode(copy.handle()), 0, sqlite3_errmsg(copy.handle()));
    }
    BTreeWalk walk(image);
    walk.walk(
        root,
        [&](const TreeCell& cell) {
            const auto record = walk.recordOf(cell);
            if (!record || record->fields.size() != keys + 1) return;
            const unsigned char* bytes = record->bytes();
            const auto& fields = record->fields;
            sqlite3_reset(insert);
            for (std::size_t i = 0; i <= keys; ++i) {
                if (!bindField(insert, int(i) + 1, bytes, fields[i], walk.header().textEncoding)) {
                    return;
                }
            }
            sqlite3_step(insert);
        },
        [](const LostSubtree&) {});
    sqlite3_finalize(insert);
    copy.execute("CREATE INDEX temp.car_index_entries_r ON car_index_entries (r)");
}

// Notes in temp.car_orphan_proof every orphaned row whose rowid and values
// an index of `table` in the image holds.
void proveByIndexes(Database& copy, const SourceImage& image, const ImageSchema& schema,
                    const TableShape& shape, std::int64_t lostFields) {
    for (const ImageSchema::Entry& index : schema.entries) {
        if (index.type != "index" || index.table != shape.table || index.root == 0) continue;
        const auto fields = indexedFields(copy, index.name, shape.table);
        if (!fields) continue;
        loadIndexEntries(copy, image, index.root, fields->size());
        std::string match;
        int widest = -1;
        for (std::size_t i = 0; i < fields->size(); ++i) {
            const int field = (*fields)[i];
            widest = std::max(widest, field);
            match += " AND e.k" + std::to_string(i) +
                     (field < 0 ? " = l.id" : " IS l.c" + std::to_string(field));
        }
        // The lost-and-found table holds fields c0, c1, ... for its widest row.
        if (widest >= lostFields) continue;
        Statement prove(copy.handle(),
                        "INSERT INTO temp.car_orphan_proof SELECT l.rowid, ?1 FROM " + kLost +
                            " l WHERE l.id IS NOT NULL AND l.nfield <= ?2 AND l.nfield > ?3 AND "
                            "EXISTS (SELECT 1 FROM temp.car_index_entries e WHERE e.r = l.id" +
                            match + ")");
        prove.bindText(1, shape.table);
        prove.bindInt64(2, std::int64_t(shape.columns.size()));
        prove.bindInt64(3, widest);
        prove.step();
    }
    copy.execute("DROP TABLE IF EXISTS temp.car_index_entries");
}

// Puts back the orphaned rows that an index proves belong to exactly one
// table; a row's field count proves nothing.
std::int64_t placeByIndex(Database& copy, const SourceImage& image, const ImageSchema& schema) {
    const std::int64_t lostFields = copy.queryInt64(
        std::string("SELECT count(*) - 4 FROM pragma_table_info('") + kLostAndFound + "', 'temp')");
    copy.execute("CREATE TEMP TABLE car_orphan_proof (orphan INTEGER, tbl TEXT)");
    std::vector<TableShape> shapes;
    for (const SchemaEntry& entry : schemaOf(copy, "main")) {
        if (entry.type != "table" || isInternal(entry.name)) continue;
        if (auto shape = shapeOf(copy, entry.name); shape && shape->rowidTarget) {
            proveByIndexes(copy, image, schema, *shape, lostFields);
            shapes.push_back(std::move(*shape));
        }
    }
    copy.execute(
        "CREATE TEMP TABLE car_orphan_home AS SELECT orphan, min(tbl) AS tbl FROM "
        "temp.car_orphan_proof GROUP BY orphan HAVING count(DISTINCT tbl) = 1");
    std::int64_t placed = 0;
    for (const TableShape& shape : shapes) {
        // Rows stored before a column was added are shorter: the columns they
        // lack keep their defaults, as SQLite reads such a row.
        const auto widest = std::min(shape.columns.size(), std::size_t(lostFields));
        for (std::size_t width = 0; width <= widest; ++width) {
            std::string into = *shape.rowidTarget, from = "l.id";
            for (std::size_t i = 0; i < width; ++i) {
                if (int(i) == shape.rowidAlias || shape.columns[i].isEmpty()) continue;
                into += ", " + identifier(shape.columns[i]);
                from += ", l.c" + std::to_string(i);
            }
            Statement insert(copy.handle(),
                             "INSERT OR IGNORE INTO main." + identifier(shape.table) + " (" + into +
                                 ") SELECT " + from + " FROM " + kLost +
                                 " l JOIN temp.car_orphan_home h ON h.orphan = l.rowid WHERE "
                                 "h.tbl = ?1 AND l.nfield = ?2");
            insert.bindText(1, shape.table);
            insert.bindInt64(2, std::int64_t(width));
            insert.step();
            placed += sqlite3_changes(copy.handle());
        }
    }
    copy.execute("DROP TABLE temp.car_orphan_home; DROP TABLE temp.car_orphan_proof");
    return placed;
}

}  // namespace

OrphanCounts placeOrphans(Database& copy, const SourceImage& image, const ImageSchema& schema,
                          bool placeable) {
    OrphanCounts counts;
    if (!copy.queryInt64(std::string("SELECT count(*) FROM temp.sqlite_master WHERE name = '") +
                         kLostAndFound + "'")) {
        return counts;
    }
    const std::int64_t found = copy.queryInt64("SELECT count(*) FROM " + kLost);
    if (placeable) counts.placed = placeByIndex(copy, image, schema);
    counts.leftOut = found - counts.placed;
    return counts;
}

}  // namespace platform::engine
