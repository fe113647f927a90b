#include "platform/engine/copy/LossAccount.h"

#include <algorithm>
#include <set>

#include "platform/engine/copy/ImageSchema.h"
#include "platform/engine/copy/SchemaEntries.h"
#include "platform/engine/format/Record.h"
#include "platform/engine/source/BTreeWalk.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {

bool isInternalIndex(const QByteArray& name) {
    return name.startsWith("sqlite_autoindex_");
}

}  // namespace

LossAccount::LossAccount(const SourceImage& image) : refused_(image.vettedSchema().refused) {
    const ImageSchema schema = readImageSchema(image);
    schema_ = schema.entries;
    // Entries on pages that did not read are lost too, unnamed.
    unreadableEntries_ = schema.unreadable + schema.lostParts;
    schemaWhole_ = schema.whole;

    for (const Entry& entry : schema_) {
        if (entry.type != "table" || entry.root == 0 || isInternal(entry.name)) continue;
        Tree& tree = trees_[entry.name];
        BTreeWalk tableWalk(image);
        tableWalk.walk(
            entry.root,
            [&](const TreeCell& cell) {
                if (cell.type != format::LeafTable) {
                    tree.withRowid = false;
                    // A row of a WITHOUT ROWID table that does not read whole
                    // is left out, and has no rowid to name it by.
                    if (!tableWalk.payloadOf(cell)) ++tree.notWhole;
                    return;
                }
                if (const auto rowid = tableWalk.rowidOf(cell)) tree.rowids.push_back(*rowid);
            },
            [&](const LostSubtree& lost) { tree.lost.push_back(lost); });
        std::sort(tree.rowids.begin(), tree.rowids.end());
    }
    // An index that reads whole holds every row's rowid, as its last field.
    for (const Entry& entry : schema_) {
        if (entry.type != "index" || entry.root == 0) continue;
        const auto tree = trees_.find(entry.table);
        if (tree == trees_.end() || !tree->second.withRowid) continue;
        BTreeWalk indexWalk(image);
        std::vector<std::int64_t> rowids;
        bool whole = true;
        indexWalk.walk(
            entry.root,
            [&](const TreeCell& cell) {
                const auto record = indexWalk.recordOf(cell);
                const auto rowid =
                    record && !record->fields.empty()
                        ? format::integerValue(record->bytes(), record->fields.back())
                        : std::nullopt;
                if (rowid) {
                    rowids.push_back(*rowid);
                } else {
                    whole = false;
                }
            },
            [&](const LostSubtree&) { whole = false; });
        if (!whole) continue;
        std::sort(rowids.begin(), rowids.end());
        rowids.erase(std::unique(rowids.begin(), rowids.end()), rowids.end());
        // A partial index holds fewer rows than a full one: keep the largest,
        // and the copy tells below whether it is partial.
        if (tree->second.indexed && tree->second.indexed->size() >= rowids.size()) continue;
        tree->second.indexed = std::move(rowids);
        tree->second.indexName = entry.name;
    }
}

namespace {

std::vector<std::int64_t> keptRowids(sqlite::Database& copy, const QByteArray& table,
                                     const std::string& rowid) {
    std::vector<std::int64_t> rowids;
    sqlite::Statement rows(copy.handle(), "SELECT " + rowid + " FROM main." +
                                              sqlite::identifier(table) + " ORDER BY " + rowid);
    while (rows.step()) rowids.push_back(rows.columnInt64(0));
    return rowids;
}

// Whether an index of the copy holds a row for every row of its table: it
// exists there and has no WHERE clause.
bool holdsEveryRow(sqlite::Database& copy, const QByteArray& table, const QByteArray& index) {
    sqlite::Statement list(copy.handle(),
                           "SELECT count(*) FROM pragma_index_list(?1, 'main') WHERE name = ?2 "
                           "AND partial = 0");
    list.bindText(1, table);
    list.bindText(2, index);
    return list.step() && list.columnInt64(0) == 1;
}

// Adds a run of lost rowids, joining it to the last one where they touch.
void addRange(std::vector<RowidRange>& ranges, RowidRange range) {
    if (!ranges.empty() && ranges.back().to && range.from && *ranges.back().to + 1 == *range.from) {
        ranges.back().to = range.to;
        return;
    }
    ranges.push_back(range);
}

}  // namespace

DataLoss LossAccount::settle(sqlite::Database& copy) const {
    DataLoss loss;
    loss.unreadableSchemaEntries = unreadableEntries_;
    loss.schemaEntries = refused_;
    std::set<std::pair<QByteArray, QByteArray>> inCopy;
    for (const SchemaEntry& entry : schemaOf(copy, "main")) inCopy.insert({entry.type, entry.name});
    for (const Entry& entry : schema_) {
        if (isInternal(entry.name) || isInternalIndex(entry.name)) continue;
        // Entries refused by the vetting are counted above, under their type.
        if (entry.type != "table" && entry.type != "index" && entry.type != "view" &&
            entry.type != "trigger") {
            continue;
        }
        if (!inCopy.count({entry.type, entry.name}))
            loss.schemaEntries.push_back(entry.type + ' ' + entry.name);
    }
    for (const auto& [table, tree] : trees_) {
        TableLoss account;
        account.table = table;
        const bool present = inCopy.count({"table", table}) > 0;
        std::vector<std::int64_t> kept;
        bool withRowid = tree.withRowid;
        if (present) {
            account.kept =
                copy.queryInt64("SELECT count(*) FROM main." + sqlite::identifier(table));
            const auto rowid = rowidName(copy, "main", table);
            withRowid = rowid.has_value();
            if (rowid) kept = keptRowids(copy, table, *rowid);
        }
        if (!withRowid) {
            // No rowids to name: only that some rows went, where a part did not read.
            for (const LostSubtree& lost : tree.lost) account.lost += lost.root ? 0 : 1;
            account.lost += tree.notWhole;
            account.atLeast = !tree.lost.empty();
            if (account.atLeast || account.lost > 0) loss.tables.push_back(account);
            continue;
        }
        // Rows the file shows existed: every rowid an index that reads whole
        // holds, else those on the leaves that read.
        const std::optional<std::vector<std::int64_t>> noIndex;
        const auto& indexed =
            present && holdsEveryRow(copy, table, tree.indexName) ? tree.indexed : noIndex;
        const std::vector<std::int64_t>& known = indexed ? *indexed : tree.rowids;
        std::vector<std::int64_t> missing;
        std::set_difference(known.begin(), known.end(), kept.begin(), kept.end(),
                            std::back_inserter(missing));
        if (!indexed) {
            // The leaves' rowids are a subset of the rows; ranges of what did
            // not read come on top, less the rows kept within them.
            for (const auto& [after, upTo, root] : tree.lost) {
                const auto from = after ? std::optional<std::int64_t>(*after + 1) : std::nullopt;
                auto first =
                    from ? std::lower_bound(kept.begin(), kept.end(), *from) : kept.begin();
                auto last = upTo ? std::upper_bound(kept.begin(), kept.end(), *upTo) : kept.end();
                // A page below the root always holds a row: with none of its
                // range kept, at least one went.
                if (first == last && !root) ++account.lost;
                account.atLeast = true;
            }
        }
        account.lost += std::int64_t(missing.size());
        for (const std::int64_t rowid : missing) addRange(account.rowids, {rowid, rowid});
        if (!indexed) {
            for (const auto& [after, upTo, root] : tree.lost) {
                // The range less the rows kept inside it, in runs.
                std::optional<std::int64_t> start =
                    after ? std::optional<std::int64_t>(*after + 1) : std::nullopt;
                auto it = start ? std::lower_bound(kept.begin(), kept.end(), *start) : kept.begin();
                for (; it != kept.end() && (!upTo || *it <= *upTo); ++it) {
                    if (!start || *it > *start) account.rowids.push_back({start, *it - 1});
                    start = *it + 1;
                }
                if (!upTo || !start || *start <= *upTo) account.rowids.push_back({start, upTo});
            }
            std::sort(account.rowids.begin(), account.rowids.end(),
                      [](const RowidRange& a, const RowidRange& b) {
                          return a.from.value_or(INT64_MIN) < b.from.value_or(INT64_MIN);
                      });
        }
        if (account.lost > 0 || account.atLeast) loss.tables.push_back(account);
    }
    return loss;
}

}  // namespace platform::engine
