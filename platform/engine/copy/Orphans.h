#pragma once

#include <cstdint>

#include "platform/sqlite/Database.h"

namespace platform::engine {

// Rows SQLite's recovery found on pages that no table's tree leads to any
// more (under a damaged interior page) wait in a temporary table of this
// name, never in the copy's own schema.
inline constexpr char kLostAndFound[] = "car_lost_and_found";

struct OrphanCounts {
    std::int64_t placed = 0;
    std::int64_t leftOut = 0;
};

// Puts orphaned rows back where only one table can have held them, and
// counts those it leaves out. `placeable` false leaves them all out.
OrphanCounts placeOrphans(sqlite::Database& copy, bool placeable);

}  // namespace platform::engine
