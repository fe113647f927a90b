#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "platform/sqlite/Database.h"
#include "tests/EngineTestSupport.h"

namespace {

using engine_test::fileHash;
using engine_test::readFile;
using engine_test::writeFile;
using platform::Variant;
using platform::sqlite::Database;

class EngineCompact : public engine_test::EngineTest {};

mode_t permissionsOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

TEST_F(EngineCompact, ShrinksTheFileKeepingContentAndPermissionsWithoutTouchingTheSource) {
    const QString source = makeDatabase("TinjaraSM2024.tnjra");
    ASSERT_EQ(::chmod(QFile::encodeName(source).constData(), 0640), 0);
    const QByteArray before = fileHash(source);

    compact("TinjaraSM2024.tnjra", "TinjaraSM2024 compact.tnjra");

    const QString copy = host("TinjaraSM2024 compact.tnjra");
    EXPECT_LT(QFileInfo(copy).size(), QFileInfo(source).size() * 7 / 10);
    EXPECT_EQ(sample::contentDigest(copy), sample::contentDigest(source));
    EXPECT_EQ(sample::integrityCheck(copy), "ok");
    EXPECT_EQ(fileHash(source), before);
    EXPECT_EQ(permissionsOf(copy), 0640u);
    EXPECT_EQ(QDir(host(".")).entryList(QDir::Files),
              QStringList({"TinjaraSM2024 compact.tnjra", "TinjaraSM2024.tnjra"}))
        << "no lock file, journal or other file left";
}

// Rows move as stored where SQLite can move them, column by column where it
// cannot; either way each keeps its rowid, whatever gaps the source has.
TEST_F(EngineCompact, EveryShapeOfTableKeepsItsRowids) {
    const char* const tables[] = {"checked", "plain", "computed", "keyed"};
    {
        Database db(QFile::encodeName(host("a.tnjra")).toStdString(),
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.execute(
            "CREATE TABLE checked (x INTEGER CHECK (x > 0), y TEXT); CREATE INDEX cy ON checked "
            "(y);"
            "CREATE TABLE plain (x, y); CREATE TABLE computed (x, y AS (x * 2));"
            "CREATE INDEX cx ON computed (x);"
            "CREATE TABLE keyed (k PRIMARY KEY, v) WITHOUT ROWID;"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
            "INSERT INTO checked SELECT i, 'y' || (i % 7) FROM n;"
            "INSERT INTO plain SELECT x, y FROM checked; INSERT INTO computed (x) SELECT x FROM "
            "checked; INSERT INTO keyed SELECT x, y FROM checked;"
            "DELETE FROM checked WHERE x % 3 = 0; DELETE FROM plain WHERE x % 3 = 0;"
            "DELETE FROM computed WHERE x % 3 = 0; DELETE FROM keyed WHERE k % 3 = 0;");
    }
    compact("a.tnjra", "b.tnjra", QString());
    for (const char* table : tables) {
        SCOPED_TRACE(table);
        const std::string rows = std::string("SELECT group_concat(r, ';') FROM (SELECT ") +
                                 (std::string(table) == "keyed" ? "k || v" : "rowid || x") +
                                 " AS r FROM " + table + ")";
        const auto read = [&](const char* name) {
            return Database(QFile::encodeName(host(name)).toStdString(), SQLITE_OPEN_READONLY)
                .queryText(rows);
        };
        EXPECT_EQ(read("b.tnjra"), read("a.tnjra"));
    }
}

TEST_F(EngineCompact, CopyOpensWithThePasswordOnly) {
    makeDatabase("a.tnjra");
    compact("a.tnjra", "b.tnjra");
    EXPECT_GT(sample::rowCount(host("b.tnjra"), "students"), 0);
    EXPECT_THROW(sample::rowCount(host("b.tnjra"), "students", QByteArray()),
                 platform::sqlite::SqliteError);
    EXPECT_THROW(sample::rowCount(host("b.tnjra"), "students", "another"),
                 platform::sqlite::SqliteError);
}

TEST_F(EngineCompact, RefusesWithoutChangingAnything) {
    makeDatabase("a.tnjra");
    const QByteArray before = fileHash(host("a.tnjra"));
    writeFile(host("taken.tnjra"), "keep me");

    EXPECT_EQ(failureOf([&] { compact("a.tnjra", "b.tnjra", ";pwd=wrong"); }), 3031);
    EXPECT_EQ(failureOf([&] { compact("a.tnjra", "b.tnjra", QString()); }), 3031);
    EXPECT_EQ(failureOf([&] { compact("a.tnjra", "taken.tnjra"); }), 3204);
    EXPECT_EQ(failureOf([&] { compact("missing.tnjra", "b.tnjra"); }), 3024);
    EXPECT_EQ(failureOf([&] { compact("a.tnjra", "nofolder\\b.tnjra"); }), 76);

    EXPECT_EQ(fileHash(host("a.tnjra")), before);
    EXPECT_EQ(readFile(host("taken.tnjra")), "keep me");
    EXPECT_FALSE(QFile::exists(host("b.tnjra")));
    EXPECT_FALSE(QFile::exists(host("a.ldb")));
}

TEST_F(EngineCompact, DatabaseInUseIsRefused) {
    makeDatabase("a.tnjra");
    const QByteArray before = fileHash(host("a.tnjra"));
    {
        HeldFileLock user(host("a.tnjra"));
        EXPECT_EQ(failureOf([&] { compact("a.tnjra", "b.tnjra"); }), 3356);
        EXPECT_FALSE(QFile::exists(host("a.ldb")));
    }
    {
        HeldFileLock user(host("a.ldb"));
        EXPECT_EQ(failureOf([&] { compact("a.tnjra", "b.tnjra"); }), 3356);
        EXPECT_TRUE(QFile::exists(host("a.ldb"))) << "a lock file someone holds stays";
    }
    EXPECT_FALSE(QFile::exists(host("b.tnjra")));
    EXPECT_EQ(fileHash(host("a.tnjra")), before);

    // Once the holder has gone its stale lock file is taken over and removed.
    compact("a.tnjra", "b.tnjra");
    EXPECT_FALSE(QFile::exists(host("a.ldb")));
}

TEST_F(EngineCompact, AJournalWithNothingToRollBackLeavesTheDatabaseAsItIs) {
    makeDatabase("a.tnjra");
    const QByteArray before = fileHash(host("a.tnjra"));
    const QByteArray rows = sample::contentDigest(host("a.tnjra"));
    // Hot, but no journal's header; and a committed journal kept in place.
    for (const QByteArray& journal : {QByteArray(4096, '\x5a'), QByteArray(4096, '\0')}) {
        writeFile(host("a.tnjra-journal"), journal);
        QFile::remove(host("b.tnjra"));
        compact("a.tnjra", "b.tnjra");
        EXPECT_EQ(sample::contentDigest(host("b.tnjra")), rows);
        EXPECT_EQ(fileHash(host("a.tnjra")), before);
        EXPECT_EQ(readFile(host("a.tnjra-journal")), journal);
    }
}

// Runs Debian's sqlcipher 3.4.1 shell, the product's stand-in, on a database
// and kills it once it has run `statements` and printed "spilled": the crash
// of a product inside a transaction.
void crashInsideTransaction(const QString& tool, const QString& path,
                            const QByteArray& statements) {
    QProcess shell;
    shell.start(tool, {path});
    ASSERT_TRUE(shell.waitForStarted());
    shell.write("PRAGMA key = '" + QByteArray(sample::kPassword) + "';\n" + statements +
                "\nSELECT 'spilled';\n");
    while (!shell.readAllStandardOutput().contains("spilled")) {
        ASSERT_TRUE(shell.waitForReadyRead(60000)) << shell.readAllStandardError().toStdString();
    }
    ::kill(pid_t(shell.processId()), SIGKILL);
    shell.waitForFinished();
}

TEST_F(EngineCompact, AHotJournalIsRolledBackIntoTheCopy) {
    const QString tool = QStandardPaths::findExecutable("sqlcipher");
    if (tool.isEmpty()) GTEST_SKIP() << "no sqlcipher tool (package sqlcipher)";
    makeDatabase("a.tnjra");
    const QByteArray committed = sample::contentDigest(host("a.tnjra"));
    const QByteArray untouched = fileHash(host("a.tnjra"));
    // A cache of two pages: the changes spill into the file, the journal
    // syncs in several segments, and the file grows.
    crashInsideTransaction(
        tool, host("a.tnjra"),
        "PRAGMA cache_size = 2; BEGIN; UPDATE students SET name = name || ' x', class_id = 1;"
        "DELETE FROM marks WHERE rowid % 3 = 0; INSERT INTO audit (at, what) SELECT at, what "
        "FROM audit; INSERT INTO marks SELECT * FROM marks;");
    ASSERT_GT(QFileInfo(host("a.tnjra-journal")).size(), 0);
    ASSERT_NE(fileHash(host("a.tnjra")), untouched) << "nothing spilled: no rollback to test";
    const QByteArray database = fileHash(host("a.tnjra"));
    const QByteArray journal = fileHash(host("a.tnjra-journal"));

    compact("a.tnjra", "b.tnjra");
    EXPECT_EQ(sample::integrityCheck(host("b.tnjra")), "ok");
    EXPECT_EQ(sample::contentDigest(host("b.tnjra")), committed);
    EXPECT_EQ(fileHash(host("a.tnjra")), database);
    EXPECT_EQ(fileHash(host("a.tnjra-journal")), journal);

    // What the tool itself reads once it has rolled a copy of both back.
    for (const char* suffix : {"", "-journal"}) {
        QFile::copy(host(QStringLiteral("a.tnjra") + suffix),
                    host(QStringLiteral("r.tnjra") + suffix));
    }
    QProcess reader;
    reader.start(tool, {host("r.tnjra")});
    reader.write("PRAGMA key = '" + QByteArray(sample::kPassword) +
                 "';\nSELECT count(*) FROM sqlite_master;\n");
    reader.closeWriteChannel();
    ASSERT_TRUE(reader.waitForFinished(60000));
    ASSERT_FALSE(QFile::exists(host("r.tnjra-journal"))) << "the tool did not roll back";
    EXPECT_EQ(sample::contentDigest(host("r.tnjra")), committed);
}

TEST_F(EngineCompact, NotADatabaseFailsOrYieldsAConsistentCopy) {
    makeDatabase("good.tnjra");
    const QByteArray good = readFile(host("good.tnjra"));
    QByteArray random(10000, '\0');
    for (int i = 0; i < random.size(); ++i) random[i] = char((i * 7919 + i / 3) & 0xff);
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"random", random},
        {"empty", QByteArray()},
        {"shorter than a page", good.left(500)},
        {"cut mid-page", good.left(good.size() / 2 + 100)},
        {"cut at a page", good.left(good.size() / 2 / 1024 * 1024)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        writeFile(host("bad.tnjra"), bytes);
        const int failure = failureOf([&] { compact("bad.tnjra", "out.tnjra"); });
        if (failure == 0) {
            EXPECT_EQ(sample::integrityCheck(host("out.tnjra")), "ok");
            QFile::remove(host("out.tnjra"));
        } else {
            EXPECT_EQ(failure, 3049);
            EXPECT_FALSE(QFile::exists(host("out.tnjra")));
        }
        EXPECT_EQ(readFile(host("bad.tnjra")), bytes);
    }
    writeFile(host("bad.tnjra"), QByteArray());
    EXPECT_EQ(failureOf([&] { compact("bad.tnjra", "out.tnjra"); }), 3049);
    writeFile(host("bad.tnjra"), random);
    EXPECT_EQ(failureOf([&] { compact("bad.tnjra", "out.tnjra"); }), 3049);
}

TEST_F(EngineCompact, DamagedPagesAreRepairedKeepingTheReadableRows) {
    const QString source = makeDatabase("a.tnjra", smallDatabase(0.0));
    const std::int64_t students = sample::rowCount(source, "students");
    const std::int64_t marks = sample::rowCount(source, "marks");
    sample::damage(source, 6);
    const QByteArray before = fileHash(source);

    compact("a.tnjra", "b.tnjra");

    const QString copy = host("b.tnjra");
    EXPECT_EQ(sample::integrityCheck(copy), "ok");
    const std::int64_t keptStudents = sample::rowCount(copy, "students");
    const std::int64_t keptMarks = sample::rowCount(copy, "marks");
    EXPECT_GT(keptStudents, students / 2);
    EXPECT_GT(keptMarks, marks / 2);
    EXPECT_LT(keptStudents + keptMarks, students + marks) << "the damage hit no row";
    EXPECT_EQ(sample::rowCount(copy, "subjects"), 6);
    EXPECT_EQ(fileHash(source), before);
}

std::unique_ptr<Database> openWithPassword(const QString& path) {
    auto database =
        std::make_unique<Database>(QFile::encodeName(path).toStdString(), 0x2 /* read-write */);
    database->key(sample::kPassword);
    // The product's format, which the copy keeps.
    database->execute("PRAGMA cipher_compatibility = 3");
    return database;
}

TEST_F(EngineCompact, RepairKeepsSchemaCountersAndTriggers) {
    const QString source = makeDatabase("a.tnjra", smallDatabase(0.0));
    const std::int64_t lastId =
        openWithPassword(source)->queryInt64("SELECT max(id) FROM students");
    sample::damage(source, 6);
    compact("a.tnjra", "b.tnjra");

    const auto copy = openWithPassword(host("b.tnjra"));
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM sqlite_master WHERE type IN "
                               "('index', 'view', 'trigger') AND sql IS NOT NULL"),
              5);
    EXPECT_EQ(copy->queryInt64("PRAGMA user_version"), 2024);
    // Ids of lost rows are not handed out again.
    EXPECT_EQ(copy->queryInt64("SELECT seq FROM sqlite_sequence WHERE name = 'students'"), lastId);
    copy->execute("UPDATE students SET class_id = 1 WHERE id = (SELECT min(id) FROM students)");
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM audit"), 1);
}

TEST_F(EngineCompact, AnUnencryptedDatabaseIsCopiedAsItIs) {
    {
        Database plain(QFile::encodeName(host("plain.tnjra")).toStdString(),
                       0x2 | 0x4 /* read-write, create */);
        plain.execute("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x'), ('y');");
    }
    compact("plain.tnjra", "b.tnjra");
    EXPECT_EQ(sample::contentDigest(host("b.tnjra"), QByteArray()),
              sample::contentDigest(host("plain.tnjra"), QByteArray()));
}

TEST_F(EngineCompact, APageSizeOtherThanTheFormatsOwnIsNoWrongPassword) {
    // Format 3 with 4 KiB pages: the key opens it only at that size.
    const std::string settings = "PRAGMA cipher_compatibility = 3; PRAGMA cipher_page_size = 4096;";
    {
        Database db(QFile::encodeName(host("big.tnjra")).toStdString(), 0x2 | 0x4);
        db.key(sample::kPassword);
        db.execute(settings +
                   "CREATE TABLE t (a TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT "
                   "i + 1 FROM n WHERE i < 500) INSERT INTO t SELECT printf('%050d', i) FROM n;");
    }
    EXPECT_EQ(failureOf([&] { compact("big.tnjra", "bad.tnjra", ";pwd=wrong"); }), 3031);
    // Page 1 damaged while the key opens the pages after it: damage, not the key.
    QByteArray damaged = readFile(host("big.tnjra"));
    damaged.replace(2000, 100, QByteArray(100, '\x33'));
    writeFile(host("damaged.tnjra"), damaged);
    EXPECT_EQ(failureOf([&] { compact("damaged.tnjra", "bad.tnjra"); }), 3049);
    compact("big.tnjra", "b.tnjra");
    // The copy keeps the source's settings: it opens as the source does.
    Database copy(QFile::encodeName(host("b.tnjra")).toStdString(), 0x1);
    copy.key(sample::kPassword);
    copy.execute(settings);
    EXPECT_EQ(copy.queryInt64("SELECT count(*) FROM t WHERE a GLOB '0*'"), 500);
}

TEST_F(EngineCompact, TheProductsToolReadsBackACopyOfItsOwnPageSize) {
    const QString tool = QStandardPaths::findExecutable("sqlcipher");
    if (tool.isEmpty()) GTEST_SKIP() << "no sqlcipher tool (package sqlcipher)";
    auto run = [&](const QString& name, const QByteArray& statements) {
        QProcess shell;
        shell.start(tool, {"-bail", host(name)});
        shell.write("PRAGMA key = '" + QByteArray(sample::kPassword) +
                    "';\nPRAGMA cipher_page_size = 4096;\n" + statements);
        shell.closeWriteChannel();
        EXPECT_TRUE(shell.waitForFinished(60000) && shell.exitCode() == 0)
            << shell.readAllStandardError().toStdString();
        return shell.readAllStandardOutput().trimmed();
    };
    run("big.tnjra",
        "CREATE TABLE t (a TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM "
        "n WHERE i < 500) INSERT INTO t SELECT printf('%050d', i) FROM n;");
    ASSERT_EQ(QFileInfo(host("big.tnjra")).size() % 4096, 0);
    const QByteArray rows = "SELECT count(*), group_concat(a) FROM t;";
    EXPECT_EQ(failureOf([&] { compact("big.tnjra", "bad.tnjra", ";pwd=wrong"); }), 3031);
    compact("big.tnjra", "b.tnjra");
    EXPECT_EQ(run("b.tnjra", "PRAGMA integrity_check;"), "ok");
    const QByteArray original = run("big.tnjra", rows);
    EXPECT_TRUE(original.startsWith("500|"));
    EXPECT_EQ(run("b.tnjra", rows), original);
}

TEST_F(EngineCompact, ArgumentsOutsideTheCurrentFormatAreRefused) {
    makeDatabase("a.tnjra");
    auto call = [&](Variant locale, Variant options) {
        return failureOf([&] {
            engine()->invoke("CompactDatabase",
                             {Variant::text(native("a.tnjra")), Variant::text(native("b.tnjra")),
                              locale, options, Variant::text(engine_test::kConnect)});
            QFile::remove(host("b.tnjra"));
        });
    };
    EXPECT_EQ(call(Variant::missing(), Variant::int16(0)), 3001);
    EXPECT_EQ(call(Variant::missing(), Variant::int32(128 | 1)), 3001);
    EXPECT_EQ(call(Variant::text(";LANGID=0x0419;CP=1251;COUNTRY=0"), Variant::missing()), 3001);
    EXPECT_EQ(call(Variant::text(";LANGID=0x0409;CP=1252;COUNTRY=0"), Variant::int32(128)), 0);
    EXPECT_EQ(call(Variant::missing(), Variant::missing()), 0);
}

}  // namespace
