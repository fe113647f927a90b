#pragma once

#include <cstdint>

#include "platform/engine/copy/StoredRows.h"

namespace platform::engine {

class SourceImage;

// Writes every row that the table's tree in the image still leads to, each
// as stored and with its rowid, into the copy's table of that shape. Parts of
// the tree that do not read are passed over.
std::int64_t copyTreeRows(const SourceImage& image, std::uint32_t root, sqlite::Database& copy,
                          const TableShape& shape);

}  // namespace platform::engine
