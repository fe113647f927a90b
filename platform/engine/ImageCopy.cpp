#include "platform/engine/ImageCopy.h"

#include <sqlite3.h>
#include <sqlite3recover.h>

#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/engine/SourceImage.h"

namespace platform::engine {

namespace {

using sqlcipher::Database;
using sqlcipher::identifier;
using sqlcipher::SqliteError;
using sqlcipher::Statement;

struct SchemaEntry {
    QByteArray type;
    QByteArray name;
    QByteArray sql;
};

std::vector<SchemaEntry> schemaOf(Database& database, const std::string& schema) {
    std::vector<SchemaEntry> entries;
    Statement rows(database.handle(), "SELECT type, name, sql FROM " + schema +
                                          ".sqlite_master WHERE sql IS NOT NULL ORDER BY rowid");
    while (rows.step())
        entries.push_back({rows.columnText(0), rows.columnText(1), rows.columnText(2)});
    return entries;
}

bool isVirtual(const SchemaEntry& entry) {
    return entry.type == "table" && entry.sql.left(14).toUpper().startsWith("CREATE VIRTUAL");
}

bool isInternal(const QByteArray& name) {
    return name.toLower().startsWith("sqlite_");
}

bool existsInMain(Database& database, const QByteArray& name) {
    Statement probe(database.handle(),
                    "SELECT 1 FROM main.sqlite_master WHERE type = 'table' AND name = ?1");
    probe.bindText(1, name);
    return probe.step();
}

// Copies one table's rows, each with its rowid where the table has one.
void copyRows(Database& database, const QByteArray& table) {
    bool withRowid = false;
    {
        Statement list(database.handle(),
                       "SELECT wr FROM pragma_table_list WHERE schema = 'source' AND name = ?1");
        list.bindText(1, table);
        withRowid = list.step() && list.columnInt64(0) == 0;
    }
    std::vector<QByteArray> columns;
    {
        // Generated columns (hidden 2 and 3) are computed, never inserted.
        Statement info(database.handle(),
                       "SELECT name, hidden FROM pragma_table_xinfo(?1, 'source')");
        info.bindText(1, table);
        while (info.step()) {
            if (info.columnInt64(1) == 0) columns.push_back(info.columnText(0));
        }
    }
    std::string list;
    for (const QByteArray& column : columns)
        list += (list.empty() ? "" : ", ") + identifier(column);
    if (withRowid) {
        // The first of SQLite's rowid names that no column shadows.
        for (const char* alias : {"rowid", "_rowid_", "oid"}) {
            bool shadowed = false;
            for (const QByteArray& column : columns) shadowed |= column.toLower() == alias;
            if (!shadowed) {
                list = std::string(alias) + (list.empty() ? "" : ", ") + list;
                break;
            }
        }
    }
    const std::string name = identifier(table);
    database.execute("INSERT INTO main." + name + " (" + list + ") SELECT " + list +
                     " FROM source." + name);
}

void copyHeaderValues(Database& database, const std::string& from) {
    for (const char* name : {"user_version", "application_id"}) {
        const std::int64_t value = database.queryInt64("PRAGMA " + from + "." + name);
        database.execute(std::string("PRAGMA main.") + name + " = " + std::to_string(value));
    }
}

}  // namespace

void copyWhole(Database& database) {
    const std::vector<SchemaEntry> schema = schemaOf(database, "source");
    database.execute("BEGIN");
    // Virtual tables first: they make their own shadow tables.
    for (const SchemaEntry& entry : schema) {
        if (isVirtual(entry)) database.execute(entry.sql.toStdString());
    }
    bool sequence = false, statistics = false;
    for (const SchemaEntry& entry : schema) {
        if (entry.type != "table" || isVirtual(entry)) continue;
        if (isInternal(entry.name)) {
            sequence |= entry.name == "sqlite_sequence";
            statistics |= entry.name == "sqlite_stat1";
            continue;
        }
        if (existsInMain(database, entry.name)) {
            database.execute("DELETE FROM main." + identifier(entry.name));
        } else {
            database.execute(entry.sql.toStdString());
        }
    }
    // Indexes before the rows, filled as they come: sorting a whole index at
    // once would hold it in memory, where temporary data stays.
    for (const SchemaEntry& entry : schema) {
        if (entry.type == "index") database.execute(entry.sql.toStdString());
    }
    for (const SchemaEntry& entry : schema) {
        if (entry.type == "table" && !isVirtual(entry) && !isInternal(entry.name)) {
            copyRows(database, entry.name);
        }
    }
    if (sequence) {
        database.execute("DELETE FROM main.sqlite_sequence");
        database.execute("INSERT INTO main.sqlite_sequence SELECT * FROM source.sqlite_sequence");
    }
    if (statistics) {
        // Makes the statistics table without analysing anything but the schema.
        database.execute("ANALYZE main.sqlite_master");
        database.execute("DELETE FROM main.sqlite_stat1");
        database.execute("INSERT INTO main.sqlite_stat1 SELECT * FROM source.sqlite_stat1");
    }
    for (const char* type : {"view", "trigger"}) {
        for (const SchemaEntry& entry : schema) {
            if (entry.type == type) database.execute(entry.sql.toStdString());
        }
    }
    copyHeaderValues(database, "source");
    database.execute("COMMIT");
}

namespace {

std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
int bigEndian16(const unsigned char* p) {
    return p[0] << 8 | p[1];
}

// A SQLite varint at p, no further than end; its length goes to `length`.
std::optional<std::uint64_t> varint(const unsigned char* p, const unsigned char* end, int& length) {
    std::uint64_t value = 0;
    for (int i = 0; i < 9; ++i) {
        if (p + i >= end) return std::nullopt;
        if (i == 8) {
            value = (value << 8) | p[i];
            length = 9;
            return value;
        }
        value = (value << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) {
            length = i + 1;
            return value;
        }
    }
    return std::nullopt;
}

// The image, read a page at a time (so memory stays flat whatever its size),
// for taking cells out of its pages.
class ImagePages {
  public:
    explicit ImagePages(SourceImage& image)
        : image_(image),
          pageSize_(image.pageSize()),
          pageCount_(image.pageCount()),
          bad_(std::size_t(image.pageCount()) + 1, false) {
        for (const std::uint32_t page : image.badPages()) {
            if (page <= pageCount_) bad_[page] = true;
        }
        if (pageCount_ > 0) first_ = image.page(1);
    }

    // Takes every cell whose content cannot be read whole out of its page.
    std::int64_t dropIncompleteCells() {
        if (first_.isEmpty()) return 0;
        usable_ = pageSize_ - static_cast<unsigned char>(first_.at(20));
        std::int64_t dropped = 0;
        for (std::uint32_t number = 1; number <= pageCount_; ++number) {
            if (bad_[number]) continue;
            QByteArray bytes = image_.page(number);
            const std::int64_t here =
                dropCellsOn(number, reinterpret_cast<unsigned char*>(bytes.data()));
            if (here) image_.writePage(number, bytes);
            dropped += here;
        }
        return dropped;
    }

    // Whether the freelist reads whole: every trunk readable and as many free
    // pages as the header counts. Only then can an orphaned page not be a
    // freed one, holding rows deleted long ago.
    bool freelistWhole() {
        if (first_.isEmpty()) return true;
        const auto* header = reinterpret_cast<const unsigned char*>(first_.constData());
        const std::uint32_t expected = bigEndian32(header + 36);
        std::uint32_t trunk = bigEndian32(header + 32), counted = 0;
        std::unordered_set<std::uint32_t> seen;
        while (trunk != 0) {
            if (trunk > pageCount_ || bad_[trunk] || !seen.insert(trunk).second) return false;
            const QByteArray bytes = image_.page(trunk);
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
            const std::uint32_t leaves = bigEndian32(p + 4);
            if (leaves > std::uint32_t(pageSize_ / 4)) return false;
            counted += 1 + leaves;
            trunk = bigEndian32(p);
        }
        return counted == expected;
    }

  private:
    std::int64_t dropCellsOn(std::uint32_t number, unsigned char* p) {
        const int header = number == 1 ? 100 : 0;
        const int type = p[header];
        if (type != 2 && type != 10 && type != 13) return 0;
        const int pointers = header + (type == 2 ? 12 : 8);
        int cells = bigEndian16(p + header + 3);
        if (pointers + 2 * cells > usable_) return 0;
        std::int64_t dropped = 0;
        for (int i = 0; i < cells;) {
            const int offset = bigEndian16(p + pointers + 2 * i);
            if (cellComplete(type, p, offset)) {
                ++i;
                continue;
            }
            std::memmove(p + pointers + 2 * i, p + pointers + 2 * (i + 1),
                         std::size_t(2 * (cells - i - 1)));
            --cells;
            p[header + 3] = static_cast<unsigned char>(cells >> 8);
            p[header + 4] = static_cast<unsigned char>(cells);
            ++dropped;
        }
        return dropped;
    }

    // Whether a cell's payload lies whole on pages that were read: its
    // overflow chain long enough, in the file, free of loops and bad pages.
    bool cellComplete(int type, const unsigned char* p, int offset) {
        const unsigned char* end = p + usable_;
        if (offset < 8 || offset >= usable_) return true;  // left to the recovery's own checks
        const unsigned char* c = p + offset + (type == 2 ? 4 : 0);
        int length = 0;
        const auto payload = varint(c, end, length);
        if (!payload) return true;
        c += length;
        if (type == 13) {
            if (!varint(c, end, length)) return true;
            c += length;
        }
        const std::int64_t u = usable_;
        const std::int64_t most = type == 13 ? u - 35 : (u - 12) * 64 / 255 - 23;
        const std::uint64_t size = *payload;
        if (size <= std::uint64_t(most)) return true;
        const std::int64_t least = (u - 12) * 32 / 255 - 23;
        const std::int64_t k =
            least + std::int64_t((size - std::uint64_t(least)) % std::uint64_t(u - 4));
        const std::int64_t local = k <= most ? k : least;
        if (c + local + 4 > end) return false;
        std::uint32_t next = bigEndian32(c + local);
        const std::uint64_t pages =
            (size - std::uint64_t(local) + std::uint64_t(u - 5)) / std::uint64_t(u - 4);
        if (pages > pageCount_) return false;
        std::unordered_set<std::uint32_t> seen;
        for (std::uint64_t i = 0; i < pages; ++i) {
            if (next < 2 || next > pageCount_ || bad_[next] || !seen.insert(next).second) {
                return false;
            }
            next = image_.nextOverflowPage(next);
        }
        return true;
    }

    SourceImage& image_;
    int pageSize_;
    std::uint32_t pageCount_;
    int usable_ = 0;
    std::vector<bool> bad_;
    QByteArray first_;
};

// Rows recovery found on pages no table's tree leads to any more (under a
// damaged interior page) are collected in a temporary table of this name,
// never in the copy's own schema.
constexpr char kLostAndFound[] = "car_lost_and_found";

// Runs the recovery's statements on the copy; keeps the first failure.
struct Replay {
    Database& copy;
    std::optional<SqliteError> failure;
};

int replay(void* context, const char* sql) {
    auto& state = *static_cast<Replay*>(context);
    QByteArray statement(sql);
    const QByteArray createLost = QByteArray("CREATE TABLE ") + kLostAndFound;
    if (statement.startsWith(createLost)) {
        statement.replace(0, 12, "CREATE TEMP TABLE");
    }
    // The copy's format and transaction are the engine's own.
    for (const char* skipped :
         {"BEGIN", "COMMIT", "PRAGMA page_size", "PRAGMA auto_vacuum", "PRAGMA encoding"}) {
        if (statement.startsWith(skipped)) return 0;
    }
    try {
        state.copy.execute(statement.toStdString());
        return 0;
    } catch (const SqliteError& error) {
        state.failure = error;
        return 1;
    }
}

// Puts orphaned rows back where only one table can have held them: a rowid
// table whose columns match the row's fields in number, when no other table
// (the internal ones included) has that many. Anything less certain stays out.
std::int64_t placeOrphans(Database& database) {
    if (!database.queryInt64(std::string("SELECT count(*) FROM temp.sqlite_master WHERE name = '") +
                             kLostAndFound + "'")) {
        return 0;
    }
    struct Shape {
        QByteArray table;
        std::vector<QByteArray> columns;  // stored fields, the rowid alias as NULL
        int rowidAlias = -1;
    };
    std::vector<Shape> shapes;
    {
        Statement tables(database.handle(),
                         "SELECT name FROM pragma_table_list WHERE schema = 'main' AND "
                         "type = 'table' AND wr = 0");
        while (tables.step()) shapes.push_back({tables.columnText(0), {}, -1});
    }
    for (Shape& shape : shapes) {
        Statement info(
            database.handle(),
            "SELECT name, type, pk, hidden, (SELECT count(*) FROM "
            "pragma_table_info(?1, 'main') WHERE pk > 0) FROM pragma_table_xinfo(?1, 'main')");
        info.bindText(1, shape.table);
        while (info.step()) {
            if (info.columnInt64(3) != 0) continue;
            if (info.columnInt64(2) == 1 && info.columnInt64(4) == 1 &&
                info.columnText(1).toUpper() == "INTEGER") {
                shape.rowidAlias = int(shape.columns.size());
            }
            shape.columns.push_back(info.columnText(0));
        }
    }
    std::int64_t placed = 0;
    for (const Shape& shape : shapes) {
        if (isInternal(shape.table)) continue;
        int sameWidth = 0;
        for (const Shape& other : shapes) sameWidth += other.columns.size() == shape.columns.size();
        if (sameWidth != 1) continue;
        std::string into = "rowid", from = "id";
        for (std::size_t i = 0; i < shape.columns.size(); ++i) {
            if (int(i) == shape.rowidAlias) continue;
            into += ", " + identifier(shape.columns[i]);
            from += ", c" + std::to_string(i);
        }
        database.execute(
            "INSERT OR IGNORE INTO main." + identifier(shape.table) + " (" + into + ") SELECT " +
            from + " FROM temp." + kLostAndFound +
            " WHERE id IS NOT NULL AND nfield = " + std::to_string(shape.columns.size()));
        placed += sqlite3_changes(database.handle());
    }
    return placed;
}

// AUTOINCREMENT counters never below the largest id kept.
void raiseCounters(Database& database) {
    std::vector<QByteArray> tables;
    {
        Statement rows(database.handle(),
                       "SELECT name FROM main.sqlite_master WHERE type = 'table' AND "
                       "sql LIKE '%AUTOINCREMENT%'");
        while (rows.step()) tables.push_back(rows.columnText(0));
    }
    for (const QByteArray& table : tables) {
        Statement largest(database.handle(), "SELECT max(rowid) FROM main." + identifier(table));
        const std::int64_t kept = largest.step() ? largest.columnInt64(0) : 0;
        Statement update(database.handle(),
                         "UPDATE main.sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1");
        update.bindText(1, table);
        update.bindInt64(2, kept);
        update.step();
        if (sqlite3_changes(database.handle()) == 0 && kept > 0) {
            Statement insert(database.handle(),
                             "INSERT INTO main.sqlite_sequence (name, seq) VALUES (?1, ?2)");
            insert.bindText(1, table);
            insert.bindInt64(2, kept);
            insert.step();
        }
    }
}

}  // namespace

std::int64_t recoverInto(SourceImage& image, Database& copy) {
    std::int64_t dropped = 0;
    bool orphansPlaceable = false;
    {
        ImagePages mapped(image);
        dropped = mapped.dropIncompleteCells();
        orphansPlaceable = mapped.freelistWhole();
    }
    Database source(image.uri(), SQLITE_OPEN_READONLY);
    Replay state{copy, std::nullopt};
    copy.execute("BEGIN");
    sqlite3_recover* recover = sqlite3_recover_init_sql(source.handle(), "main", replay, &state);
    if (!recover) throw SqliteError(SQLITE_NOMEM, 0, "out of memory");
    int rowids = 1;
    sqlite3_recover_config(recover, SQLITE_RECOVER_ROWIDS, &rowids);
    sqlite3_recover_config(recover, SQLITE_RECOVER_LOST_AND_FOUND,
                           const_cast<char*>(kLostAndFound));
    sqlite3_recover_run(recover);
    const int code = sqlite3_recover_errcode(recover);
    const std::string message =
        sqlite3_recover_errmsg(recover) ? sqlite3_recover_errmsg(recover) : "";
    sqlite3_recover_finish(recover);
    if (state.failure) throw *state.failure;
    if (code != SQLITE_OK) throw SqliteError(code, 0, message);
    copy.execute("PRAGMA writable_schema = OFF");
    if (orphansPlaceable) placeOrphans(copy);
    copy.execute(std::string("DROP TABLE IF EXISTS temp.") + kLostAndFound);
    raiseCounters(copy);
    copy.execute("COMMIT");
    return dropped;
}

}  // namespace platform::engine
