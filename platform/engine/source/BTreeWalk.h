#pragma once

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>

#include "platform/engine/format/BTreePage.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/format/Record.h"

namespace platform::engine {

class SourceImage;

// A part of a tree that could not be read: a child page that failed, is no
// b-tree page, or loops back. For a table tree, the rowids it held lie after
// `after` and up to `upTo`, where the interior pages above it tell.
struct LostSubtree {
    std::optional<std::int64_t> after;
    std::optional<std::int64_t> upTo;
    // The tree's root: unlike every page below it, a root may hold nothing.
    bool root = false;
};

// One cell of a tree, on the page it was read from.
struct TreeCell {
    std::uint32_t page;
    const unsigned char* bytes;  // the page
    int type;                    // the page's type
    int offset;                  // of the cell
};

// Walks the b-trees of the engine's image as far as they read, each page at
// most once, so a looping tree ends.
// A cell's payload read as a record.
struct CellRecord {
    QByteArray payload;
    std::vector<format::RecordField> fields;

    const unsigned char* bytes() const {
        return reinterpret_cast<const unsigned char*>(payload.constData());
    }
};

class BTreeWalk {
  public:
    explicit BTreeWalk(const SourceImage& image);

    // Every cell that carries payload (leaf cells, and interior index cells),
    // and every part of the tree that could not be read.
    void walk(std::uint32_t root, const std::function<void(const TreeCell&)>& cell,
              const std::function<void(const LostSubtree&)>& lost);

    // A cell's whole payload, if every page of it was read.
    std::optional<QByteArray> payloadOf(const TreeCell& cell) const;
    // A cell's payload and its record's fields, if it reads whole and parses.
    std::optional<CellRecord> recordOf(const TreeCell& cell) const;
    // The rowid of a table leaf cell.
    std::optional<std::int64_t> rowidOf(const TreeCell& cell) const;

    const format::DatabaseHeader& header() const { return header_; }

  private:
    bool bad(std::uint32_t page) const;

    const SourceImage& image_;
    format::DatabaseHeader header_;
    std::set<std::uint32_t> seen_;
};

}  // namespace platform::engine
