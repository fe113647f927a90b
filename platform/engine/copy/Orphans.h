#pragma once

#include <cstdint>

#include "platform/engine/copy/ImageSchema.h"
#include "platform/sqlite/Database.h"

namespace platform::engine {

class SourceImage;

// Rows SQLite's recovery found on pages that no table's tree leads to any
// more (under a damaged interior page) wait in a temporary table of this
// name, never in the copy's own schema.
inline constexpr char kLostAndFound[] = "car_lost_and_found";

struct OrphanCounts {
    std::int64_t placed = 0;
    std::int64_t leftOut = 0;
};

// Puts orphaned rows back where the file proves their table: an index of
// exactly one table in the image holds the row's rowid and values. Counts
// those it leaves out. `placeable` false leaves them all out.
OrphanCounts placeOrphans(sqlite::Database& copy, const SourceImage& image,
                          const ImageSchema& schema, bool placeable);

}  // namespace platform::engine
