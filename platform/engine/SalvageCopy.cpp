#include "platform/engine/SalvageCopy.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include <QList>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace platform::engine {

namespace {

using sqlcipher::Database;
using sqlcipher::identifier;
using sqlcipher::SqliteError;
using sqlcipher::Statement;

struct SchemaEntry {
    QByteArray type;
    QByteArray name;
    QByteArray table;
    std::int64_t rootPage;
    QByteArray sql;
};

std::vector<SchemaEntry> readSchema(Database& source) {
    std::vector<SchemaEntry> entries;
    Statement statement(source.handle(),
                        "SELECT type, name, tbl_name, rootpage, sql FROM main.sqlite_master "
                        "WHERE sql IS NOT NULL");
    while (statement.step()) {
        entries.push_back({statement.columnText(0), statement.columnText(1),
                           statement.columnText(2), statement.columnInt64(3),
                           statement.columnText(4)});
    }
    return entries;
}

// The stored SQL with the copy's schema put before the object's name. SQLite
// stores CREATE statements normalised ("CREATE TABLE name..."), so the
// prefix is known.
std::optional<std::string> createInCopy(const QByteArray& sql) {
    for (const char* prefix : {"CREATE TABLE ", "CREATE UNIQUE INDEX ", "CREATE INDEX "}) {
        if (sql.startsWith(prefix)) {
            return prefix + std::string("compacted.") + sql.mid(int(strlen(prefix))).toStdString();
        }
    }
    return std::nullopt;
}

bool isInternal(const QByteArray& name) {
    return name.toLower().startsWith("sqlite_");
}

// Errors that come from writing the copy rather than from the rows it is
// given: those end the salvage.
bool isRowRefused(const SqliteError& error) {
    const int code = error.primaryCode();
    return code == SQLITE_CONSTRAINT || code == SQLITE_MISMATCH || code == SQLITE_TOOBIG ||
           code == SQLITE_RANGE;
}

// Errors reading the source that mean damage: the rows involved are lost.
bool isDamage(const SqliteError& error) {
    return error.primaryCode() != SQLITE_NOMEM;
}

// Steps a reading statement: false at its end or at the first damage met.
bool stepUnlessDamaged(Statement& rows) {
    try {
        return rows.step();
    } catch (const SqliteError& error) {
        if (!isDamage(error)) throw;
        return false;
    }
}

class TableSalvage {
  public:
    TableSalvage(Database& source, Database& copy, const QByteArray& table)
        : source_(source), copy_(copy), table_(identifier(table)) {
        Statement info(source.handle(), "PRAGMA main.table_info(" + table_ + ")");
        QList<QByteArray> lowerNames;
        while (info.step()) {
            columns_.push_back(info.columnText(1));
            lowerNames.push_back(info.columnText(1).toLower());
        }
        for (const char* alias : {"_rowid_", "rowid", "oid"}) {
            if (!lowerNames.contains(alias) && hasRowid(alias)) {
                rowidAlias_ = alias;
                break;
            }
        }
    }

    void copyRows() {
        if (rowidAlias_.empty()) {
            copyInTableOrder();
        } else {
            copyByRowid();
        }
    }

  private:
    bool hasRowid(const char* alias) {
        try {
            Statement probe(source_.handle(),
                            std::string("SELECT ") + alias + " FROM main." + table_ + " LIMIT 0");
            return true;
        } catch (const SqliteError&) {
            return false;  // WITHOUT ROWID
        }
    }

    std::string insertSql(bool withRowid) const {
        std::string names = withRowid ? rowidAlias_ : std::string();
        std::string values = withRowid ? "?" : "";
        for (const QByteArray& column : columns_) {
            if (!names.empty()) names += ", ";
            if (!values.empty()) values += ", ";
            names += identifier(column);
            values += "?";
        }
        return "INSERT INTO compacted." + table_ + " (" + names + ") VALUES (" + values + ")";
    }

    // Inserts the current row of a source statement; a row the copy refuses
    // (a constraint that damage broke) is left out.
    void insertRow(Statement& insert, Statement& row) {
        insert.reset();
        for (int column = 0; column < row.columnCount(); ++column) {
            insert.bindValue(column + 1, row.columnValue(column));
        }
        try {
            insert.step();
        } catch (const SqliteError& error) {
            if (!isRowRefused(error)) throw;
        }
    }

    // Whether the first row at or after a rowid reads without error.
    bool readsFrom(Statement& probe, std::int64_t start) {
        probe.reset();
        probe.bindInt64(1, start);
        try {
            probe.step();
            return true;
        } catch (const SqliteError& error) {
            if (!isDamage(error)) throw;
            return false;
        }
    }

    // The first rowid past an unreadable range that begins at `start`: grows
    // a step until a read succeeds, then narrows back to the range's end.
    std::optional<std::int64_t> pastDamage(std::int64_t start) {
        Statement probe(source_.handle(), "SELECT " + rowidAlias_ + ", * FROM main." + table_ +
                                              " WHERE " + rowidAlias_ + " >= ?1 ORDER BY " +
                                              rowidAlias_ + " LIMIT 1");
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
        std::int64_t failed = start;
        std::int64_t step = 1;
        std::int64_t good = 0;
        for (;;) {
            if (failed > kMax - step) return std::nullopt;
            good = failed + step;
            if (readsFrom(probe, good)) break;
            failed = good;
            step = step > kMax / 2 ? kMax : step * 2;
        }
        while (good - failed > 1) {
            const std::int64_t middle = failed + (good - failed) / 2;
            (readsFrom(probe, middle) ? good : failed) = middle;
        }
        return good;
    }

    void copyByRowid() {
        Statement rows(source_.handle(), "SELECT " + rowidAlias_ + ", * FROM main." + table_ +
                                             " WHERE " + rowidAlias_ + " >= ?1 ORDER BY " +
                                             rowidAlias_);
        Statement insert(copy_.handle(), insertSql(true));
        std::int64_t next = std::numeric_limits<std::int64_t>::min();
        rows.bindInt64(1, next);
        for (;;) {
            bool more = false;
            try {
                more = rows.step();
            } catch (const SqliteError& error) {
                if (!isDamage(error)) throw;
                rows.reset();  // ends the read, which clears the failed page
                const auto resume = pastDamage(next);
                if (!resume) return;
                next = *resume;
                rows.bindInt64(1, next);
                continue;
            }
            if (!more) return;
            const std::int64_t rowid = rows.columnInt64(0);
            // A damaged tree may repeat or reorder rows; only go on.
            if (rowid < next) continue;
            insertRow(insert, rows);
            if (rowid == std::numeric_limits<std::int64_t>::max()) return;
            next = rowid + 1;
        }
    }

    // Tables without a rowid are read in their own order up to the first
    // damage.
    void copyInTableOrder() {
        Statement rows(source_.handle(), "SELECT * FROM main." + table_);
        Statement insert(copy_.handle(), insertSql(false));
        while (stepUnlessDamaged(rows)) insertRow(insert, rows);
    }

    Database& source_;
    Database& copy_;
    std::string table_;
    std::vector<QByteArray> columns_;
    std::string rowidAlias_;
};

// AUTOINCREMENT counters: never below what the source recorded, so ids of
// lost rows are not handed out again.
void mergeSequences(Database& source, Database& database) {
    Statement update(database.handle(),
                     "UPDATE compacted.sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1");
    Statement insert(database.handle(),
                     "INSERT INTO compacted.sqlite_sequence (name, seq) VALUES (?1, ?2)");
    Statement rows(source.handle(), "SELECT name, seq FROM main.sqlite_sequence");
    while (stepUnlessDamaged(rows)) {
        update.reset();
        update.bindValue(1, rows.columnValue(0));
        update.bindValue(2, rows.columnValue(1));
        update.step();
        if (sqlite3_changes(database.handle()) == 0) {
            insert.reset();
            insert.bindValue(1, rows.columnValue(0));
            insert.bindValue(2, rows.columnValue(1));
            insert.step();
        }
    }
}

bool hasEntry(const std::vector<SchemaEntry>& schema, const char* name) {
    for (const SchemaEntry& entry : schema) {
        if (entry.name == name) return true;
    }
    return false;
}

}  // namespace

void salvageInto(Database& source, Database& database) {
    const std::vector<SchemaEntry> schema = readSchema(source);
    database.execute("BEGIN");
    std::vector<QByteArray> tables;
    for (const SchemaEntry& entry : schema) {
        if (entry.type != "table" || isInternal(entry.name)) continue;
        const auto create = createInCopy(entry.sql);
        if (!create) continue;  // a virtual table: copied with the views below
        database.execute(*create);
        tables.push_back(entry.name);
    }
    for (const SchemaEntry& entry : schema) {
        if (entry.type != "index") continue;
        if (const auto create = createInCopy(entry.sql)) database.execute(*create);
    }
    for (const QByteArray& table : tables) TableSalvage(source, database, table).copyRows();
    if (hasEntry(schema, "sqlite_sequence")) mergeSequences(source, database);
    // Statistics may describe lost rows; gather them afresh.
    if (hasEntry(schema, "sqlite_stat1")) database.execute("ANALYZE compacted");
    // Views, triggers and virtual tables have no rows: their schema entries
    // are copied as they stand, as sqlcipher_export copies them; triggers
    // come last so that they do not fire on the copied rows.
    database.execute("PRAGMA writable_schema = ON");
    try {
        Statement insert(database.handle(),
                         "INSERT INTO compacted.sqlite_master (type, name, tbl_name, rootpage, "
                         "sql) VALUES (?1, ?2, ?3, 0, ?4)");
        for (const SchemaEntry& entry : schema) {
            const bool virtualTable = entry.type == "table" && entry.rootPage == 0;
            if (entry.type != "view" && entry.type != "trigger" && !virtualTable) continue;
            insert.reset();
            insert.bindText(1, entry.type);
            insert.bindText(2, entry.name);
            insert.bindText(3, entry.table);
            insert.bindText(4, entry.sql);
            insert.step();
        }
    } catch (...) {
        sqlite3_exec(database.handle(), "PRAGMA writable_schema = OFF", nullptr, nullptr, nullptr);
        throw;
    }
    database.execute("PRAGMA writable_schema = OFF");
    database.execute("COMMIT");
}

}  // namespace platform::engine
