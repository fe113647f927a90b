#include "platform/engine/copy/SchemaEntries.h"

#include <algorithm>

namespace platform::engine {

std::vector<SchemaEntry> schemaOf(sqlite::Database& database, const std::string& schema) {
    std::vector<SchemaEntry> entries;
    sqlite::Statement rows(database.handle(),
                           "SELECT type, name, sql FROM " + schema +
                               ".sqlite_master WHERE sql IS NOT NULL ORDER BY rowid");
    while (rows.step())
        entries.push_back({rows.columnText(0), rows.columnText(1), rows.columnText(2)});
    return entries;
}

std::vector<Column> columnsOf(sqlite::Database& database, const std::string& schema,
                              const QByteArray& table) {
    sqlite::Statement info(database.handle(),
                           "SELECT name, hidden FROM pragma_table_xinfo(?1, ?2)");
    info.bindText(1, table);
    info.bindText(2, QByteArray::fromStdString(schema));
    std::vector<Column> columns;
    while (info.step()) columns.push_back({info.columnText(0), int(info.columnInt64(1))});
    return columns;
}

std::optional<std::string> rowidName(sqlite::Database& database, const std::string& schema,
                                     const QByteArray& table) {
    {
        sqlite::Statement list(database.handle(),
                               "SELECT wr FROM pragma_table_list WHERE schema = ?1 AND name = ?2");
        list.bindText(1, QByteArray::fromStdString(schema));
        list.bindText(2, table);
        if (!list.step() || list.columnInt64(0) != 0) return std::nullopt;
    }
    const std::vector<Column> columns = columnsOf(database, schema, table);
    for (const char* alias : {"rowid", "_rowid_", "oid"}) {
        // SQLite matches names without regard to ASCII case.
        const bool shadowed = std::any_of(columns.begin(), columns.end(), [&](const Column& c) {
            return c.name.toLower() == alias;
        });
        if (!shadowed) return std::string(alias);
    }
    return std::nullopt;
}

bool isVirtualTable(const SchemaEntry& entry) {
    return entry.type == "table" && entry.sql.left(14).toUpper().startsWith("CREATE VIRTUAL");
}

bool isInternal(const QByteArray& name) {
    return name.toLower().startsWith("sqlite_");
}

}  // namespace platform::engine
