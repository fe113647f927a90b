#include "platform/engine/copy/Salvage.h"

#include <sqlite3.h>
#include <sqlite3recover.h>

#include <map>
#include <optional>
#include <vector>

#include "platform/engine/ConnectionGuard.h"
#include "platform/engine/copy/CellTrim.h"
#include "platform/engine/copy/ImageSchema.h"
#include "platform/engine/copy/Orphans.h"
#include "platform/engine/copy/StoredRows.h"
#include "platform/engine/copy/TreeRows.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::identifier;
using sqlite::SqliteError;
using sqlite::Statement;

// Runs the recovery's statements on the copy; keeps the first failure.
struct Replay {
    Database& copy;
    std::optional<SqliteError> failure;
    // Triggers wait until every row is in: nothing the engine writes may
    // fire one.
    std::vector<QByteArray> triggers;
    // Tables whose rows the recovery would write other than they are: the
    // engine writes those from the image itself.
    std::map<QByteArray, bool> misread;
};

// The table an INSERT of the recovery writes to: INSERT OR IGNORE INTO 'name'(
std::optional<QByteArray> insertTarget(const QByteArray& statement) {
    static const QByteArray prefix = "INSERT OR IGNORE INTO '";
    if (!statement.startsWith(prefix)) return std::nullopt;
    QByteArray name;
    for (qsizetype i = prefix.size(); i < statement.size(); ++i) {
        if (statement[i] != '\'') {
            name += statement[i];
        } else if (i + 1 < statement.size() && statement[i + 1] == '\'') {
            name += '\'';
            ++i;
        } else {
            return name;
        }
    }
    return std::nullopt;
}

bool isTrigger(const QByteArray& statement) {
    const QByteArray upper = statement.left(32).toUpper().simplified();
    return upper.startsWith("CREATE TRIGGER") || upper.startsWith("CREATE TEMP TRIGGER") ||
           upper.startsWith("CREATE TEMPORARY TRIGGER");
}

int replay(void* context, const char* sql) {
    auto& state = *static_cast<Replay*>(context);
    QByteArray statement(sql);
    const QByteArray createLost = QByteArray("CREATE TABLE ") + kLostAndFound;
    if (statement.startsWith(createLost)) {
        statement.replace(0, 12, "CREATE TEMP TABLE");
    }
    // The copy's format, transaction and schema writes are the engine's own.
    for (const char* skipped : {"BEGIN", "COMMIT", "PRAGMA page_size", "PRAGMA auto_vacuum",
                                "PRAGMA encoding", "PRAGMA writable_schema"}) {
        if (statement.startsWith(skipped)) return 0;
    }
    if (isTrigger(statement)) {
        state.triggers.push_back(statement);
        return 0;
    }
    if (const auto table = insertTarget(statement)) {
        auto known = state.misread.find(*table);
        if (known == state.misread.end()) {
            known = state.misread.emplace(*table, recoveryMisreads(state.copy, *table)).first;
        }
        if (known->second) return 0;
    }
    try {
        // SQLite's own tables, and a virtual table's entry, go straight into
        // the schema table, which the copy's defensive mode otherwise keeps
        // out of reach.
        const bool schemaWrite = statement.startsWith("CREATE TABLE sqlite_") ||
                                 statement.startsWith("CREATE TABLE \"sqlite_") ||
                                 statement.startsWith("INSERT INTO sqlite_schema");
        std::optional<SchemaWrite> writing;
        if (schemaWrite) writing.emplace(state.copy.handle());
        // One statement per call, as SQLite uses schema text.
        state.copy.executeFirst(statement);
        return 0;
    } catch (const SqliteError& error) {
        state.failure = error;
        return 1;
    }
}

// AUTOINCREMENT counters never below the largest id kept.
void raiseCounters(Database& database) {
    std::vector<QByteArray> tables;
    {
        Statement rows(database.handle(),
                       "SELECT name FROM main.sqlite_master WHERE type = 'table' AND "
                       "sql LIKE '%AUTOINCREMENT%'");
        while (rows.step()) tables.push_back(rows.columnText(0));
    }
    for (const QByteArray& table : tables) {
        Statement largest(database.handle(), "SELECT max(rowid) FROM main." + identifier(table));
        const std::int64_t kept = largest.step() ? largest.columnInt64(0) : 0;
        Statement update(database.handle(),
                         "UPDATE main.sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1");
        update.bindText(1, table);
        update.bindInt64(2, kept);
        update.step();
        if (sqlite3_changes(database.handle()) == 0 && kept > 0) {
            Statement insert(database.handle(),
                             "INSERT INTO main.sqlite_sequence (name, seq) VALUES (?1, ?2)");
            insert.bindText(1, table);
            insert.bindInt64(2, kept);
            insert.step();
        }
    }
}

}  // namespace

SalvageCounts salvageInto(SourceImage& image, Database& copy) {
    SalvageCounts counts;
    const TrimmedImage trimmed = trimCellsNotWhole(image);
    counts.cellsDropped = trimmed.cellsDropped;
    counts.rowsDropped = trimmed.rowsDropped;
    Database source(image.uri(), SQLITE_OPEN_READONLY);
    guardConnection(source.handle(), false);
    Replay state{copy, std::nullopt, {}, {}};
    copy.execute("BEGIN");
    sqlite3_recover* recover = sqlite3_recover_init_sql(source.handle(), "main", replay, &state);
    if (!recover) throw SqliteError(SQLITE_NOMEM, 0, "out of memory");
    int rowids = 1;
    sqlite3_recover_config(recover, SQLITE_RECOVER_ROWIDS, &rowids);
    sqlite3_recover_config(recover, SQLITE_RECOVER_LOST_AND_FOUND,
                           const_cast<char*>(kLostAndFound));
    sqlite3_recover_run(recover);
    const int code = sqlite3_recover_errcode(recover);
    const std::string message =
        sqlite3_recover_errmsg(recover) ? sqlite3_recover_errmsg(recover) : "";
    sqlite3_recover_finish(recover);
    if (state.failure) throw *state.failure;
    if (code != SQLITE_OK) throw SqliteError(code, 0, message);
    copy.execute("PRAGMA writable_schema = OFF");
    const ImageSchema schema = readImageSchema(image);
    for (const auto& [table, misread] : state.misread) {
        if (!misread) continue;
        const std::uint32_t root = schema.rootOf("table", table);
        if (const auto shape = shapeOf(copy, table); shape && root != 0) {
            copyTreeRows(image, root, copy, *shape);
        }
    }
    const OrphanCounts orphans = placeOrphans(copy, image, schema, trimmed.freelistWhole);
    counts.orphansPlaced = orphans.placed;
    counts.orphansLeftOut = orphans.leftOut;
    copy.execute(std::string("DROP TABLE IF EXISTS temp.") + kLostAndFound);
    for (const QByteArray& trigger : state.triggers) copy.executeFirst(trigger);
    raiseCounters(copy);
    copy.execute("COMMIT");
    return counts;
}

}  // namespace platform::engine
