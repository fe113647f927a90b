#include "platform/engine/copy/SchemaEntries.h"

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

bool isVirtualTable(const SchemaEntry& entry) {
    return entry.type == "table" && entry.sql.left(14).toUpper().startsWith("CREATE VIRTUAL");
}

bool isInternal(const QByteArray& name) {
    return name.toLower().startsWith("sqlite_");
}

}  // namespace platform::engine
