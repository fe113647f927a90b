#pragma once

#include <QByteArray>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/engine/copy/ImageSchema.h"
#include "platform/engine/source/BTreeWalk.h"
#include "platform/sqlite/Database.h"

namespace platform::engine {

class SourceImage;

// Rowids from `from` to `to`; a missing end is not known.
struct RowidRange {
    std::optional<std::int64_t> from;
    std::optional<std::int64_t> to;
};

// What one table lost in a repair.
struct TableLoss {
    QByteArray table;
    std::int64_t kept = 0;
    std::int64_t lost = 0;
    // `lost` is a floor, not a count: parts of the table could not be read.
    bool atLeast = false;
    // The lost rows: exact rowids as one-row ranges, and ranges in which
    // they lay where the file tells no more.
    std::vector<RowidRange> rowids;
};

struct DataLoss {
    std::vector<TableLoss> tables;
    // Schema entries ("table t", "index i", ...) in the source, not in the copy.
    std::vector<QByteArray> schemaEntries;
    // Schema entries whose text could not be read at all.
    std::int64_t unreadableSchemaEntries = 0;

    bool any() const {
        return !tables.empty() || !schemaEntries.empty() || unreadableSchemaEntries > 0;
    }
};

// Tells, from the file itself, what a repair could not keep. Made from the
// image before the repair changes it: each table's rowids as its leaves
// read, the parts of its tree that could not be read with the key ranges the
// pages above them give, and the rowids an index that reads whole holds.
// Never a guess: where the file cannot tell how many rows went, the count is
// a floor.
class LossAccount {
  public:
    explicit LossAccount(const SourceImage& image);
    // Compares with what the copy kept.
    DataLoss settle(sqlite::Database& copy) const;

  private:
    using Entry = ImageSchema::Entry;
    struct Tree {
        bool withRowid = true;
        std::vector<std::int64_t> rowids;  // as the readable leaves hold them
        std::vector<LostSubtree> lost;
        std::int64_t notWhole = 0;  // rows without a rowid that did not read whole
        std::optional<std::vector<std::int64_t>> indexed;  // from an index that reads whole
        QByteArray indexName;
    };

    std::vector<Entry> schema_;
    std::vector<QByteArray> refused_;
    std::int64_t unreadableEntries_ = 0;
    bool schemaWhole_ = true;
    std::map<QByteArray, Tree> trees_;
};

}  // namespace platform::engine
