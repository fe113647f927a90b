#pragma once

#include <cstdint>

struct sqlite3;

namespace platform::engine {

// A digest of a set of rows that does not depend on their order: a table's
// rows read in rowid order and the same values read from an index in key
// order give the same digest. Two independent 64-bit sums of per-row hashes,
// and the count: a row lost, added, or with any value changed changes it.
struct RowDigest {
    std::uint64_t rows = 0;
    std::uint64_t first = 0;
    std::uint64_t second = 0;

    bool operator==(const RowDigest&) const = default;
};

// The SQL aggregate car_row_digest(value, ...) on a connection: the digest of
// the rows it is given, as a blob that digestOf() reads. Only statements the
// engine prepares may call it, never a schema's view or trigger.
void addRowDigest(sqlite3* database);

// The digest in a blob car_row_digest() returned (empty when no rows).
RowDigest digestOf(const void* blob, int bytes);

}  // namespace platform::engine
