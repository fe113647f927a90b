#include "platform/engine/copy/TreeRows.h"

#include "platform/engine/source/BTreeWalk.h"

namespace platform::engine {

std::int64_t copyTreeRows(const SourceImage& image, std::uint32_t root, sqlite::Database& copy,
                          const TableShape& shape) {
    BTreeWalk walk(image);
    StoredRowWriter writer(copy, shape, walk.header().textEncoding);
    std::int64_t written = 0;
    walk.walk(
        root,
        [&](const TreeCell& cell) {
            if (cell.type != format::LeafTable) return;
            const auto rowid = walk.rowidOf(cell);
            const auto payload = walk.payloadOf(cell);
            if (rowid && payload && writer.insert(*rowid, *payload)) ++written;
        },
        [](const LostSubtree&) {});
    return written;
}

}  // namespace platform::engine
