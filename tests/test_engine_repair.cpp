#include <sqlite3.h>

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "tests/EngineTestSupport.h"

namespace {

using engine_test::errorCount;
using engine_test::fileHash;
using engine_test::readFile;
using engine_test::rowsNotInOriginal;
using engine_test::writeFile;
using platform::Variant;
using platform::sqlite::Database;

class EngineRepair : public engine_test::EngineTest {
  protected:
    // Compacts with one engine object and answers how many problems it
    // reported afterwards.
    std::int32_t compactCounting(const QString& source, const QString& destination) {
        auto object = engine();
        object->invoke(
            QStringLiteral("CompactDatabase"),
            {Variant::text(native(source)), Variant::text(native(destination)), Variant::missing(),
             Variant::int16(128), Variant::text(engine_test::kConnect)});
        return errorCount(*object);
    }

    // A sound database of the product's kind and a damaged copy of it.
    QString intactAndCopy(const QString& damagedName,
                          sample::DatabaseOptions options = smallDatabase(0.2)) {
        const QString intact = makeDatabase("intact.tnjra", options);
        QFile::copy(intact, host(damagedName));
        return intact;
    }

    static void overwritePage(const QString& path, int pageNumber, const QByteArray& bytes,
                              int pageSize = 1024) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(qint64(pageNumber - 1) * pageSize);
        file.write(bytes.leftJustified(pageSize, '\0', true));
    }

    // The page where a table's b-tree starts (through the intact file).
    static int rootPage(const QString& path, const char* table) {
        return int(sample::openForReading(path)->queryInt64(
            std::string("SELECT rootpage FROM sqlite_master WHERE name = '") + table + "'"));
    }
};

std::unique_ptr<Database> openRaw(const QString& path, int format) {
    auto database = std::make_unique<Database>(QFile::encodeName(path).toStdString(),
                                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    database->key(sample::kPassword);
    if (format != 4) database->execute("PRAGMA cipher_compatibility = " + std::to_string(format));
    return database;
}

TEST_F(EngineRepair, EveryFormatIsCopiedInItsOwnFormatAndSettings) {
    for (const int format : {1, 2, 3, 4}) {
        SCOPED_TRACE(format);
        sample::DatabaseOptions options = smallDatabase();
        options.cipherFormat = format;
        const QString source = makeDatabase(QStringLiteral("v%1.tnjra").arg(format), options);
        const QString copy = QStringLiteral("v%1 copy.tnjra").arg(format);
        EXPECT_EQ(compactCounting(QFileInfo(source).fileName(), copy), 0);
        // Opens with exactly the source's settings, and no others.
        auto reader = openRaw(host(copy), format);
        EXPECT_EQ(reader->queryText("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(sample::contentDigest(host(copy)), sample::contentDigest(source));
        EXPECT_EQ(QFileInfo(host(copy)).size() % (format == 4 ? 4096 : 1024), 0);
    }
}

QString sqlcipherTool() {
    return QStandardPaths::findExecutable(QStringLiteral("sqlcipher"));
}

// Runs SQL through Debian's own sqlcipher 3.4.1 shell, the product's reader.
QByteArray withTool(const QString& path, const QByteArray& sql) {
    QProcess tool;
    tool.start(sqlcipherTool(), {QStringLiteral("-batch"), QStringLiteral("-bail"), path});
    tool.waitForStarted();
    tool.write("PRAGMA key = '" + QByteArray(sample::kPassword) + "';\n" + sql + "\n");
    tool.closeWriteChannel();
    tool.waitForFinished(60000);
    return tool.readAllStandardOutput().trimmed() + tool.readAllStandardError().trimmed();
}

TEST_F(EngineRepair, TheProductsOwnSqlCipherReadsTheCopyAndWritesWhatIsCompacted) {
    if (sqlcipherTool().isEmpty()) GTEST_SKIP() << "no sqlcipher command-line tool";
    const QString source = makeDatabase("a.tnjra");
    compact("a.tnjra", "b.tnjra");
    EXPECT_EQ(withTool(host("b.tnjra"), "PRAGMA integrity_check; SELECT count(*) FROM students;"),
              "ok\n" + QByteArray::number(sample::rowCount(source, "students")));

    // A file the 3.4.1 tool wrote, with a deleted row, compacts and reads back.
    withTool(host("tool.tnjra"),
             "CREATE TABLE t (a TEXT, b BLOB); INSERT INTO t VALUES ('x', zeroblob(3000)), "
             "('y', 1), ('z', 2); DELETE FROM t WHERE a = 'y';");
    compact("tool.tnjra", "tool copy.tnjra");
    EXPECT_EQ(withTool(host("tool copy.tnjra"),
                       "PRAGMA integrity_check; SELECT group_concat(rowid || a, ',') FROM t;"),
              "ok\n1x,3z");
}

TEST_F(EngineRepair, RowidsOfTablesWithoutIntegerPrimaryKeySurviveCompaction) {
    const QString source = makeDatabase("a.tnjra");
    {
        auto database = openRaw(source, 3);
        database->execute("DELETE FROM marks WHERE rowid % 3 = 0");
    }
    const std::string listing =
        "SELECT group_concat(rowid) FROM (SELECT rowid FROM marks ORDER BY rowid)";
    const QByteArray before = sample::openForReading(source)->queryText(listing);
    compact("a.tnjra", "b.tnjra");
    EXPECT_EQ(sample::openForReading(host("b.tnjra"))->queryText(listing), before);
}

TEST_F(EngineRepair, FilesThatAreNoDatabaseOrAWrongKeyAreRefusedUntouched) {
    const QString intact = makeDatabase("intact.tnjra");
    const QByteArray good = readFile(intact);
    QByteArray pageOneDamaged = good;
    for (int i = 100; i < 300; ++i) pageOneDamaged[i] = char(pageOneDamaged[i] ^ 0x55);
    const std::vector<std::tuple<const char*, QByteArray, QString, int>> cases = {
        {"one byte", QByteArray(1, 'x'), engine_test::kConnect, 3049},
        {"shorter than a page", good.left(700), engine_test::kConnect, 3049},
        {"page 1 damaged", pageOneDamaged, engine_test::kConnect, 3049},
        {"wrong password", good, ";pwd=wrong", 3031},
    };
    for (const auto& [name, bytes, connect, expected] : cases) {
        SCOPED_TRACE(name);
        writeFile(host("bad.tnjra"), bytes);
        EXPECT_EQ(failureOf([&] { compact("bad.tnjra", "out.tnjra", connect); }), expected);
        EXPECT_EQ(readFile(host("bad.tnjra")), bytes);
        EXPECT_EQ(QDir(host(".")).entryList(QDir::Files),
                  QStringList({"bad.tnjra", "intact.tnjra"}));
    }
}

TEST_F(EngineRepair, DamageIsNeverCopiedAsData) {
    // SQLCipher 3.4.1 handed a zero-filled page on without an error.
    const QString intact = intactAndCopy("a.tnjra");
    overwritePage(host("a.tnjra"), int(sample::damageLeaf(host("a.tnjra"), "marks")), QByteArray());
    const QByteArray before = fileHash(host("a.tnjra"));

    auto object = engine();
    object->invoke(QStringLiteral("CompactDatabase"),
                   {Variant::text(native("a.tnjra")), Variant::text(native("b.tnjra")),
                    Variant::missing(), Variant::int16(128), Variant::text(engine_test::kConnect)});
    ASSERT_EQ(errorCount(*object), 2) << "a repair that lost rows of one table, reported";
    const auto error = object->invoke(QStringLiteral("Errors"), {})
                           .get<std::shared_ptr<platform::AutomationObject>>()
                           ->invoke(QStringLiteral("Item"), {Variant::int16(0)})
                           .get<std::shared_ptr<platform::AutomationObject>>();
    EXPECT_EQ(error->invoke(QStringLiteral("Number"), {}), Variant::int32(3049));
    EXPECT_TRUE(error->invoke(QStringLiteral("Description"), {})
                    .get<QString>()
                    .endsWith(QStringLiteral("C:\\db\\a.tnjra")));
    EXPECT_EQ(sample::integrityCheck(host("b.tnjra")), "ok");
    EXPECT_EQ(rowsNotInOriginal(host("b.tnjra"), intact), 0);
    EXPECT_EQ(fileHash(host("a.tnjra")), before);

    // The next operation starts with no problems.
    object->invoke(QStringLiteral("CompactDatabase"),
                   {Variant::text(native("intact.tnjra")), Variant::text(native("c.tnjra")),
                    Variant::missing(), Variant::int16(128), Variant::text(engine_test::kConnect)});
    EXPECT_EQ(errorCount(*object), 0);
}

TEST_F(EngineRepair, RecoveryKeepsRowsAroundDamageInEveryKindOfTree) {
    const QString intact = intactAndCopy("template.tnjra");
    const int pages = int(QFileInfo(intact).size() / 1024);
    struct Case {
        const char* name;
        std::function<void(const QString&)> damage;
        const char* table;
    };
    // The first leaf of a table is the page after its root in a fresh file.
    const Case cases[] = {
        {"first leaf of marks",
         [&](const QString& path) { overwritePage(path, rootPage(intact, "marks") + 1, "junk"); },
         "marks"},
        {"root of students",
         [&](const QString& path) { overwritePage(path, rootPage(intact, "students"), "junk"); },
         "students"},
        {"a page of a WITHOUT ROWID table",
         [&](const QString& path) { overwritePage(path, rootPage(intact, "subjects"), "junk"); },
         "marks"},
        {"one page short",
         [&](const QString& path) { QFile::resize(path, qint64(pages - 1) * 1024); }, "marks"},
        {"scattered pages", [&](const QString& path) { sample::damage(path, 6); }, "students"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(host("a.tnjra"));
        QFile::copy(intact, host("a.tnjra"));
        c.damage(host("a.tnjra"));
        const std::int32_t problems = compactCounting("a.tnjra", "b.tnjra");
        // Rows that went are always reported (an empty table's lost root is
        // reported too: the file cannot tell it held nothing).
        if (problems <= 1) {
            const std::string allRows =
                "SELECT (SELECT count(*) FROM classes) + (SELECT count(*) FROM students) + "
                "(SELECT count(*) FROM subjects) + (SELECT count(*) FROM marks) + (SELECT "
                "count(*) FROM audit)";
            EXPECT_EQ(sample::openForReading(intact)->queryInt64(allRows),
                      sample::openForReading(host("b.tnjra"))->queryInt64(allRows));
        }
        EXPECT_EQ(sample::integrityCheck(host("b.tnjra")), "ok");
        EXPECT_EQ(rowsNotInOriginal(host("b.tnjra"), intact), 0);
        // The schema stays exactly as it was: nothing added, nothing lost.
        const std::string schema =
            "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master ORDER BY name)";
        EXPECT_EQ(sample::openForReading(host("b.tnjra"))->queryText(schema),
                  sample::openForReading(intact)->queryText(schema));
        const std::int64_t kept = sample::rowCount(host("b.tnjra"), c.table);
        const std::int64_t all = sample::rowCount(intact, c.table);
        EXPECT_GT(kept, all * 8 / 10) << kept << " of " << all;
        QFile::remove(host("b.tnjra"));
    }
}

TEST_F(EngineRepair, ALoopingTreeEnds) {
    // A plain database whose interior page points back at its own root.
    {
        Database plain(QFile::encodeName(host("loop.tnjra")).toStdString(),
                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        plain.execute(
            "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
            " INSERT INTO t SELECT printf('%0100d', i) FROM n;"
            // The index proves where rows cut off by the loop belong.
            "CREATE INDEX t_a ON t (a);");
    }
    QByteArray bytes = readFile(host("loop.tnjra"));
    const int root = 2;
    char* page = bytes.data() + (root - 1) * 1024;
    ASSERT_EQ(page[0], 5) << "an interior table page";
    // Its rightmost child becomes the page itself.
    page[8] = 0, page[9] = 0, page[10] = 0, page[11] = char(root);
    writeFile(host("loop.tnjra"), bytes);
    const int failure = failureOf([&] { compact("loop.tnjra", "out.tnjra", QString()); });
    EXPECT_EQ(failure, 0);
    EXPECT_EQ(readFile(host("loop.tnjra")), bytes);
    // The leaves below the loop still read: their rows are kept, none invented.
    auto copy = sample::openForReading(host("out.tnjra"), QByteArray());
    EXPECT_GT(copy->queryInt64("SELECT count(*) FROM t"), 1000);
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM t WHERE a NOT GLOB '0*' OR length(a) != 100"),
              0);
}

TEST_F(EngineRepair, ACopyMadeBeforeTheSourceFailsItsCheckIsNotKept) {
    // Every page reads and every row copies, yet a row no longer matches its
    // index entry: the source's check, which runs while the copy is written,
    // fails, so that copy is dropped and the source repaired instead.
    {
        Database plain(QFile::encodeName(host("skew.tnjra")).toStdString(),
                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        plain.execute(
            "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT); CREATE INDEX t_by_a ON t (a);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
            " INSERT INTO t SELECT printf('%0100d', i) FROM n;");
    }
    QByteArray bytes = readFile(host("skew.tnjra"));
    qsizetype changed = -1;
    for (qsizetype page = 1; page < bytes.size() / 1024 && changed < 0; ++page) {
        if (bytes.at(page * 1024) != 13) continue;  // a table leaf
        changed = bytes.indexOf(QByteArray(90, '0'), page * 1024);
    }
    ASSERT_GT(changed, 0);
    bytes[changed] = '9';
    writeFile(host("skew.tnjra"), bytes);
    ASSERT_NE(sample::integrityCheck(host("skew.tnjra"), QByteArray()), "ok");

    auto object = engine();
    object->invoke(QStringLiteral("CompactDatabase"),
                   {Variant::text(native("skew.tnjra")), Variant::text(native("out.tnjra")),
                    Variant::missing(), Variant::int16(128), Variant::missing()});
    EXPECT_EQ(errorCount(*object), 0) << "repaired, every row kept: nothing to report";
    EXPECT_EQ(sample::integrityCheck(host("out.tnjra"), QByteArray()), "ok");
    EXPECT_EQ(sample::rowCount(host("out.tnjra"), "t", QByteArray()), 2000);
    EXPECT_EQ(readFile(host("skew.tnjra")), bytes);
}

TEST_F(EngineRepair, CommittedFramesOfTheLogArePartOfTheDatabase) {
    const QString source = makeDatabase("writer.tnjra");
    std::int64_t students = 0;
    {
        // A writer that stopped after committing: its log is still there.
        auto writer = openRaw(source, 3);
        writer->execute("PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;");
        writer->execute("INSERT INTO students (admission_no, name) VALUES ('WAL1', 'Log')");
        writer->execute("DELETE FROM marks WHERE rowid < 100");
        students = writer->queryInt64("SELECT count(*) FROM students");
        for (const char* suffix : {"", "-wal", "-shm"}) {
            QFile::copy(source + suffix, host(QStringLiteral("a.tnjra") + suffix));
        }
    }
    ASSERT_GT(QFileInfo(host("a.tnjra-wal")).size(), 0);
    const QByteArray database = fileHash(host("a.tnjra")), log = fileHash(host("a.tnjra-wal"));

    EXPECT_EQ(compactCounting("a.tnjra", "b.tnjra"), 0);
    EXPECT_EQ(sample::integrityCheck(host("b.tnjra")), "ok");
    EXPECT_EQ(sample::rowCount(host("b.tnjra"), "students"), students);
    EXPECT_EQ(sample::openForReading(host("b.tnjra"))
                  ->queryInt64("SELECT count(*) FROM marks WHERE rowid < 100"),
              0);
    EXPECT_EQ(fileHash(host("a.tnjra")), database);
    EXPECT_EQ(fileHash(host("a.tnjra-wal")), log);
    EXPECT_FALSE(QFile::exists(host("b.tnjra-wal")));
}

}  // namespace

namespace {

#ifdef BUNDLED_SQLCIPHER_SHELL
// Rows per user table in a plain database, and in its lost_and_found.
struct RowTally {
    std::int64_t inTables = 0;
    std::int64_t lostAndFound = 0;
};

RowTally tally(const QString& path) {
    auto database = sample::openForReading(path, QByteArray());
    std::vector<QByteArray> tables;
    platform::sqlite::Statement names(
        database->handle(),
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
    while (names.step()) tables.push_back(names.columnText(0));
    RowTally result;
    for (const QByteArray& table : tables) {
        const std::int64_t rows =
            database->queryInt64("SELECT count(*) FROM " + platform::sqlite::identifier(table));
        (table.startsWith("lost_and_found") ? result.lostAndFound : result.inTables) += rows;
    }
    return result;
}

// Rows of a plain copy that the plain original does not hold exactly so.
std::int64_t plainRowsNotIn(const QString& copy, const QString& original) {
    auto database = sample::openForReading(copy, QByteArray());
    database->execute("ATTACH '" + QFile::encodeName(original).toStdString() +
                      "' AS original KEY ''");
    std::int64_t differing = 0;
    for (const char* table : {"classes", "students", "marks", "audit"}) {
        differing +=
            database->queryInt64(std::string("SELECT count(*) FROM (SELECT rowid, * FROM main.") +
                                 table + " EXCEPT SELECT rowid, * FROM original." + table + ")");
    }
    return differing + database->queryInt64(
                           "SELECT count(*) FROM (SELECT * FROM main.subjects EXCEPT SELECT * FROM "
                           "original.subjects)");
}

// What the bundled shell prints, failing the test unless it succeeds.
QByteArray shellOutput(const QStringList& arguments, const QByteArray& input = QByteArray()) {
    QProcess shell;
    shell.start(QStringLiteral(BUNDLED_SQLCIPHER_SHELL), arguments);
    shell.write(input);
    shell.closeWriteChannel();
    const bool finished = shell.waitForFinished(60000);
    const QByteArray errors = shell.readAllStandardError();
    EXPECT_TRUE(finished && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0)
        << errors.toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errors.toStdString();
    return shell.readAllStandardOutput();
}

TEST_F(EngineRepair, KeepsAtLeastTheSoundRowsSqliteRecoverKeeps) {
    sample::DatabaseOptions options = smallDatabase(0.2);
    options.password = QByteArray();
    options.sizeBytes = 1 << 20;
    const QString intact = makeDatabase("intact.tnjra", options);
    // Plain files: nothing authenticates their pages, so random bytes that
    // parse are taken for data by both; what counts is the sound rows kept.
    std::int64_t engineTotal = 0, engineSound = 0, recoverSound = 0, recoverTotal = 0,
                 recoverLost = 0, all = 0;
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(seed);
        for (const char* name : {"a.tnjra", "b.tnjra", "r.tnjra"}) QFile::remove(host(name));
        QFile::copy(intact, host("a.tnjra"));
        sample::damage(host("a.tnjra"), 8, seed);
        compact("a.tnjra", "b.tnjra", QString());
        // The shell makes sqlite_sequence itself with the first AUTOINCREMENT
        // table and refuses the dump's own CREATE of it: leave that one out.
        QByteArray dump = shellOutput({host("a.tnjra"), QStringLiteral(".recover")});
        dump.replace("CREATE TABLE sqlite_sequence(name,seq);", "");
        shellOutput({host("r.tnjra")}, dump);
        const RowTally engine = tally(host("b.tnjra")), recovered = tally(host("r.tnjra"));
        engineTotal += engine.inTables;
        engineSound += engine.inTables - plainRowsNotIn(host("b.tnjra"), intact);
        recoverTotal += recovered.inTables;
        recoverLost += recovered.lostAndFound;
        recoverSound += recovered.inTables - plainRowsNotIn(host("r.tnjra"), intact);
        all += tally(intact).inTables;
    }
    std::printf(
        "rows of %lld in 5 damaged plain files: engine kept %lld (%lld sound); .recover "
        "put %lld in their tables (%lld sound) and %lld in lost_and_found\n",
        (long long)all, (long long)engineTotal, (long long)engineSound, (long long)recoverTotal,
        (long long)recoverSound, (long long)recoverLost);
    EXPECT_GE(engineSound, recoverSound);
}
#endif

}  // namespace

namespace {

class EngineOrphans : public EngineRepair {
  protected:
    // a.tnjra: the plain database `sql` makes (from a table t), with an
    // interior page of t's tree below its root overwritten: its leaves read,
    // but no tree leads to them.
    void orphanLeavesOfT(const std::string& sql) {
        {
            Database plain(QFile::encodeName(host("p.tnjra")).toStdString(),
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            plain.execute(sql);
        }
        const std::int64_t interior = engine_test::interiorPageBelowRoot(host("p.tnjra"), "t");
        ASSERT_GT(interior, 0);
        QFile::copy(host("p.tnjra"), host("a.tnjra"));
        overwritePage(host("a.tnjra"), int(interior), "junk");
    }
};

TEST_F(EngineOrphans, RowsPutBackFireNoTrigger) {
    ASSERT_NO_FATAL_FAILURE(orphanLeavesOfT(
        "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT); CREATE TABLE audit (x, y);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
        " INSERT INTO t SELECT printf('%0100d', i) FROM n;"
        // The index proves where the orphaned rows belong.
        "CREATE INDEX t_a ON t (a);"
        "CREATE TRIGGER logged AFTER INSERT ON t BEGIN INSERT INTO audit VALUES (new.a, 1);"
        " UPDATE t SET a = 'changed' WHERE rowid = new.rowid; END;"));
    compact("a.tnjra", "b.tnjra", QString());
    auto copy = sample::openForReading(host("b.tnjra"), QByteArray());
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM audit"), 0);
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM t WHERE a = 'changed'"), 0);
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"), 1);
    EXPECT_GT(copy->queryInt64("SELECT count(*) FROM t"), 2000) << "orphans put back";
}

TEST_F(EngineOrphans, RowsNarrowerThanEveryTableFailNothing) {
    // Rows stored before a column was added carry fewer fields than any table.
    ASSERT_NO_FATAL_FAILURE(orphanLeavesOfT(
        "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
        " INSERT INTO t SELECT printf('%0100d', i) FROM n;"
        "ALTER TABLE t ADD COLUMN b; CREATE TABLE u (x, y, z);"));
    EXPECT_EQ(failureOf([&] { compact("a.tnjra", "b.tnjra", QString()); }), 0);
    auto copy = sample::openForReading(host("b.tnjra"), QByteArray());
    EXPECT_EQ(copy->queryInt64("SELECT count(*) FROM u"), 0) << "nothing put in the wrong table";
}

}  // namespace
