// What a repair writes: only rows of the source, each as it was, in its own
// table; and it reports loss only where something could not be kept.
#include <sqlite3.h>

#include <QFile>
#include <QtEndian>

#include "tests/EngineTestSupport.h"

namespace {

using engine_test::errorCount;
using platform::Variant;
using platform::sqlite::Database;

class EngineSalvage : public engine_test::EngineTest {
  protected:
    // A database made by `sql`: plaintext, or in the product's format.
    QString make(const QString& name, const std::string& sql, bool encrypted = false) {
        Database db(QFile::encodeName(host(name)).toStdString(),
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (encrypted) {
            db.key(sample::kPassword);
            db.execute("PRAGMA cipher_compatibility = 3");
        }
        db.execute("PRAGMA page_size = 1024;" + sql);
        return host(name);
    }

    // Compacts a copy of `original` damaged by `damage`; answers the failure
    // (0 when it succeeded) and the problems reported, one a line.
    std::pair<std::int32_t, QString> repair(const QString& original,
                                            const std::function<void(const QString&)>& damage,
                                            bool encrypted = false) {
        QFile::remove(host("a.tnjra"));
        QFile::remove(host("b.tnjra"));
        QFile::copy(original, host("a.tnjra"));
        damage(host("a.tnjra"));
        auto object = engine();
        const std::int32_t failure = failureOf([&] {
            object->invoke(QStringLiteral("CompactDatabase"),
                           {Variant::text(native("a.tnjra")), Variant::text(native("b.tnjra")),
                            Variant::missing(), Variant::int16(128),
                            Variant::text(encrypted ? engine_test::kConnect : QString())});
        });
        const auto errors = object->invoke(QStringLiteral("Errors"), {})
                                .get<std::shared_ptr<platform::AutomationObject>>();
        QString problems;
        for (std::int16_t i = 0; i < errorCount(*object); ++i) {
            problems += errors->invoke(QStringLiteral("Item"), {Variant::int16(i)})
                            .get<std::shared_ptr<platform::AutomationObject>>()
                            ->invoke(QStringLiteral("Description"), {})
                            .get<QString>() +
                        '\n';
        }
        return {failure, problems};
    }

    static void overwritePage(const QString& path, std::int64_t page) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek((page - 1) * 1024);
        file.write(QByteArray("junk").leftJustified(1024, '\0'));
    }

    static std::int64_t query(const QString& path, const std::string& sql, bool encrypted = false) {
        return sample::openForReading(path,
                                      encrypted ? QByteArray(sample::kPassword) : QByteArray())
            ->queryInt64(sql);
    }
};

constexpr char kRows[] =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)";

TEST_F(EngineSalvage, OrphanedRowsGoOnlyWhereAnIndexProvesTheirTable) {
    // Rows stored before a column was added have the width of another table.
    for (const bool indexed : {true, false}) {
        SCOPED_TRACE(indexed);
        const QString original =
            make(indexed ? "indexed.tnjra" : "plain.tnjra",
                 std::string("CREATE TABLE t (a TEXT);") +
                     (indexed ? "CREATE INDEX t_a ON t (a);" : "") + kRows +
                     " INSERT INTO t SELECT printf('%0100d', i) FROM n;"
                     "ALTER TABLE t ADD COLUMN b DEFAULT 7; CREATE TABLE u (x);");
        const std::int64_t interior = engine_test::interiorPageBelowRoot(original, "t");
        ASSERT_GT(interior, 0);
        const auto [failure, problems] =
            repair(original, [&](const QString& path) { overwritePage(path, interior); });
        ASSERT_EQ(failure, 0);
        EXPECT_EQ(query(host("b.tnjra"), "SELECT count(*) FROM u"), 0) << "no row in another table";
        EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), original, false), 0);
        const std::int64_t kept = query(host("b.tnjra"), "SELECT count(*) FROM t");
        if (indexed) {
            EXPECT_EQ(kept, 3000) << "the index proves every orphan's table";
            EXPECT_EQ(problems, QString());
        } else {
            EXPECT_LT(kept, 3000);
            EXPECT_FALSE(problems.isEmpty());
        }
    }
}

TEST_F(EngineSalvage, TablesTheRecoveryWouldMisreadComeBackAsTheyWere) {
    // An INTEGER PRIMARY KEY declared DESC is no rowid alias; columns may be
    // named like the rowid.
    const std::string sql =
        std::string(
            "CREATE TABLE d (id INTEGER PRIMARY KEY DESC, v TEXT);"
            "CREATE TABLE r (rowid INTEGER, v TEXT);"
            "CREATE TABLE o (_rowid_ TEXT, oid INTEGER, v);"
            "CREATE TABLE f (v TEXT);") +
        kRows + " INSERT INTO f SELECT printf('%0100d', i) FROM n;" + kRows +
        " INSERT INTO d (rowid, id, v) SELECT i * 3, 5000 - i, 'd' || i FROM n WHERE i <= 300;" +
        kRows +
        " INSERT INTO r (_rowid_, rowid, v) SELECT i * 5, i * 7, 'r' || i FROM n WHERE i <= 300;" +
        kRows +
        " INSERT INTO o (rowid, _rowid_, oid, v) SELECT i * 2, 'x' || i, i * 11, i FROM n "
        "WHERE i <= 300;";
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted);
        const QString original = make(encrypted ? "e.tnjra" : "p.tnjra", sql, encrypted);
        const std::int64_t leaf =
            query(original, "SELECT max(pageno) FROM dbstat WHERE name = 'f' AND pagetype = 'leaf'",
                  encrypted);
        const auto [failure, problems] = repair(
            original, [&](const QString& path) { overwritePage(path, leaf); }, encrypted);
        ASSERT_EQ(failure, 0);
        EXPECT_FALSE(problems.isEmpty()) << "a leaf of f is lost";
        EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), original, encrypted), 0);
        for (const char* table : {"d", "r", "o"}) {
            EXPECT_EQ(
                query(host("b.tnjra"), std::string("SELECT count(*) FROM ") + table, encrypted),
                300)
                << table;
        }
    }
}

TEST_F(EngineSalvage, DamageThatCostsNoRowIsNoLoss) {
    const QString original = makeDatabase("original.tnjra");
    auto source = sample::openForReading(original);
    auto bigEndian = [](const QByteArray& bytes, int at) {
        std::int64_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | std::uint8_t(bytes[at + i]);
        return value;
    };
    auto page = [&](std::int64_t number) {
        return source->queryText("SELECT data FROM sqlite_dbpage WHERE pgno = " +
                                 std::to_string(number));
    };
    const std::int64_t trunk = bigEndian(page(1), 32);
    ASSERT_GT(trunk, 0);
    ASSERT_GT(bigEndian(page(trunk), 4), 0);
    const std::pair<const char*, std::int64_t> cases[] = {
        {"a free page", bigEndian(page(trunk), 8)},
        {"a freelist trunk", trunk},
        {"an index root",
         source->queryInt64("SELECT rootpage FROM sqlite_master WHERE name = 'students_by_name'")},
        {"an index leaf", source->queryInt64("SELECT max(pageno) FROM dbstat WHERE name = "
                                             "'marks_by_student' AND pagetype = 'leaf'")},
    };
    for (const auto& [name, number] : cases) {
        SCOPED_TRACE(name);
        const auto [failure, problems] = repair(
            original, [&, number = number](const QString& path) { overwritePage(path, number); },
            true);
        ASSERT_EQ(failure, 0);
        EXPECT_EQ(problems, QString());
        EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), original), 0);
        EXPECT_EQ(sample::contentDigest(host("b.tnjra")), sample::contentDigest(original));
    }
}

TEST_F(EngineSalvage, ASchemaEntrySqliteRefusesIsRepairedAround) {
    const std::string tables = std::string("CREATE TABLE keep (a TEXT); CREATE TABLE x (b, c);") +
                               kRows + " INSERT INTO keep SELECT printf('%050d', i) FROM n;" +
                               kRows + " INSERT INTO x SELECT i, i FROM n WHERE i <= 100;";
    const char* edits[] = {
        "UPDATE sqlite_master SET sql = 'CREATE TABLE x (b, c' WHERE name = 'x'",
        "UPDATE sqlite_master SET rootpage = 99999 WHERE name = 'x'",
        "UPDATE sqlite_master SET sql = 'CREATE TABLE x (b, c AS (zz))' WHERE name = 'x'",
        "INSERT INTO sqlite_master VALUES ('index', 'i', 'gone', 2, 'CREATE INDEX i ON gone (a)')",
    };
    for (const char* edit : edits) {
        SCOPED_TRACE(edit);
        QFile::remove(host("p.tnjra"));
        const QString original = make("p.tnjra", tables);
        const auto [failure, problems] = repair(original, [&](const QString& path) {
            Database db(QFile::encodeName(path).toStdString(), SQLITE_OPEN_READWRITE);
            db.execute(std::string("PRAGMA writable_schema = ON;") + edit);
        });
        ASSERT_EQ(failure, 0);
        EXPECT_FALSE(problems.isEmpty()) << "a schema entry is lost";
        EXPECT_EQ(query(host("b.tnjra"), "SELECT count(*) FROM keep"), 3000);
        EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), original, false), 0);
    }
}

TEST_F(EngineSalvage, LossNoRowidNamesIsStillReported) {
    // Rows a partial index does not hold, schema entries on a page that did
    // not read, and a row of a WITHOUT ROWID table whose overflow page did not.
    std::string sql =
        "CREATE TABLE w (k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
        "INSERT INTO w VALUES ('a', 1), ('b', randomblob(3000)), ('c', 3);";
    for (int i = 0; i < 40; ++i) {
        sql += "CREATE TABLE t" + std::to_string(i) + " (a TEXT DEFAULT '" + std::string(100, 'x') +
               "');";
    }
    sql += std::string("CREATE TABLE q (a TEXT, b); CREATE INDEX q_some ON q (a) WHERE b;") +
           kRows + " INSERT INTO q SELECT printf('%0100d', i), i <= 10 FROM n;";
    const QString original = make("p.tnjra", sql);
    struct Case {
        const char* name;
        std::string page;
        const char* named;
    };
    const Case cases[] = {
        {"a leaf of a table whose one index holds only some rows",
         "SELECT max(pageno) FROM dbstat WHERE name = 'q' AND pagetype = 'leaf'", "table q:"},
        {"a schema leaf",
         "SELECT max(pageno) FROM dbstat WHERE name IN ('sqlite_schema', 'sqlite_master') AND "
         "pagetype = 'leaf'",
         "schema entries could not be read"},
        {"an overflow page",
         "SELECT min(pageno) FROM dbstat WHERE name = 'w' AND pagetype = 'overflow'", "table w:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t number = query(original, c.page);
        ASSERT_GT(number, 1);
        const auto [failure, problems] =
            repair(original, [&](const QString& path) { overwritePage(path, number); });
        ASSERT_EQ(failure, 0);
        EXPECT_TRUE(problems.contains(QLatin1String(c.named))) << problems.toStdString();
        EXPECT_EQ(engine_test::rowsNotInOriginal(host("b.tnjra"), original, false), 0);
    }
}

// A copy reads no free page; a free list that names a page in use must not
// cost that page's rows when the repair follows.
TEST_F(EngineSalvage, AFreeListNamingAPageInUseCostsNoRow) {
    const QString original =
        make("free.tnjra",
             "CREATE TABLE t (a TEXT);"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
             "WHERE i < 400) INSERT INTO t SELECT printf('%0100d', i) FROM n;"
             "CREATE TABLE junk (a TEXT); INSERT INTO junk SELECT a || a FROM t;"
             "DROP TABLE junk;");
    const std::int64_t leaf =
        query(original, "SELECT pageno FROM dbstat WHERE name = 't' AND pagetype = 'leaf' LIMIT 1");
    const auto [failure, problems] = repair(original, [leaf](const QString& path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(32);
        const std::int64_t trunk = qFromBigEndian<quint32>(file.read(4).constData());
        ASSERT_GT(trunk, 1);
        // The trunk's first leaf becomes the table's page.
        file.seek((trunk - 1) * 1024 + 8);
        const quint32 page = qToBigEndian(quint32(leaf));
        file.write(reinterpret_cast<const char*>(&page), 4);
    });
    EXPECT_EQ(failure, 0);
    EXPECT_EQ(problems, QString());
    EXPECT_EQ(query(host("b.tnjra"), "SELECT count(*) FROM t"), 400);
    EXPECT_EQ(query(host("b.tnjra"), "SELECT sum(CAST(a AS INTEGER)) FROM t"), 400 * 401 / 2);
}

}  // namespace
