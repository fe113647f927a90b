#pragma once

namespace platform {

// The class name under which the database engine is created. The run knows
// the engine by this name only.
inline constexpr char kDatabaseEngineClass[] = "DAO.DBEngine.36";

}  // namespace platform

namespace platform::lost_data {

// What the engine's Errors items tell beyond Number and Description after a
// repair that lost data. One item per table with losses:
inline constexpr char kTable[] = "Table";
inline constexpr char kRowsKept[] = "RowsKept";  // decimal text
inline constexpr char kRowsLost[] = "RowsLost";  // decimal text
inline constexpr char kAtLeast[] = "AtLeast";    // boolean: RowsLost is a floor
// The lost rowids: items separated by ",", each "a", or "a:b" for a range,
// with an end left empty where the file does not tell it ("a:", ":b").
inline constexpr char kLostRowids[] = "LostRowids";
// One item per schema entry lost ("table t", "index i", "view v", ...):
inline constexpr char kSchemaEntry[] = "SchemaEntry";
// One item for entries whose text could not be read at all (decimal text):
inline constexpr char kUnreadableSchemaEntries[] = "UnreadableSchemaEntries";

}  // namespace platform::lost_data
