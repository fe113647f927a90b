// A database file is untrusted input: whatever its schema text carries
// beyond one CREATE never runs, through the compaction or the repair.
#include <sqlite3.h>

#include "platform/engine/ConnectionGuard.h"
#include "platform/engine/source/SchemaVetting.h"
#include "tests/EngineTestSupport.h"

namespace {

using namespace engine_test;
using platform::engine::usableSchemaText;
using platform::sqlite::Database;

TEST(SchemaText, OnlyTheFirstCreateOfTheEntrysTypeIsUsed) {
    EXPECT_EQ(usableSchemaText("CREATE TABLE t(x); ATTACH 'f' AS f", "table"), 17u);
    EXPECT_EQ(usableSchemaText("create table \"a;b\"(x);DROP TABLE u", "table"), 21u);
    const QByteArray trigger =
        "CREATE TEMP TRIGGER r AFTER INSERT ON t BEGIN INSERT INTO a VALUES(1); END";
    EXPECT_EQ(usableSchemaText(trigger + "; DELETE FROM t", "trigger"),
              std::size_t(trigger.size()));
    EXPECT_EQ(usableSchemaText("CREATE UNIQUE INDEX i ON t(x)", "index"), 29u);
    EXPECT_FALSE(usableSchemaText("CREATE VIEW v AS SELECT 1", "table"));
    EXPECT_FALSE(usableSchemaText("ATTACH 'f' AS f; CREATE TABLE t(x)", "table"));
    EXPECT_FALSE(usableSchemaText(" CREATE TABLE t(x)", "table"));
}

TEST(SchemaText, GuardedConnectionsAttachNothingOfTheirOwn) {
    QTemporaryDir folder;
    const std::string outside = QFile::encodeName(folder.filePath("outside.db")).toStdString();
    Database db(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    platform::engine::guardConnection(db.handle());
    db.execute("CREATE TABLE t(x); INSERT INTO t VALUES (1)");
    EXPECT_ANY_THROW(db.execute("ATTACH '" + outside + "' AS f"));
    EXPECT_ANY_THROW(db.execute("VACUUM INTO '" + outside + "'"));
    EXPECT_FALSE(QFile::exists(folder.filePath("outside.db")));
    EXPECT_ANY_THROW(db.execute("PRAGMA writable_schema = ON; DELETE FROM sqlite_master"));
    EXPECT_EQ(db.queryInt64("SELECT count(*) FROM t"), 1);
    const platform::engine::OwnStatement own;
    EXPECT_NO_THROW(db.execute("ATTACH '' AS scratch"));
}

class UntrustedSchema : public EngineTest {
  protected:
    // Makes the students table's schema entry carry more statements: they
    // would write every student, decrypted, to a file outside the data.
    void craft(const QString& name, const QByteArray& entry, const QByteArray& sql) {
        makeDatabase(name);
        Database db(QFile::encodeName(host(name)).toStdString(), SQLITE_OPEN_READWRITE);
        db.key(sample::kPassword);
        db.execute("PRAGMA cipher_compatibility = 3; PRAGMA writable_schema = ON");
        platform::sqlite::Statement update(db.handle(),
                                           "UPDATE sqlite_master SET sql = ?1 WHERE name = ?2");
        update.bindText(1, sql);
        update.bindText(2, entry);
        update.step();
    }
    QByteArray leakingStatements() const {
        return "; ATTACH '" + QFile::encodeName(leak()) +
               "' AS leak; CREATE TABLE leak.d AS SELECT * FROM main.students";
    }
    QString leak() const { return drive_.path() + "/leak.db"; }
};

TEST_F(UntrustedSchema, ExtraStatementsNeverRunWholeOrRepaired) {
    const QString original = makeDatabase("original.tnjra");
    const QByteArray students = sample::openForReading(original)->queryText(
        "SELECT sql FROM sqlite_master WHERE name = 'students'");
    craft("a.tnjra", "students", students + leakingStatements());
    compact("a.tnjra", "whole.tnjra");
    EXPECT_FALSE(QFile::exists(leak()));
    EXPECT_EQ(rowsNotInOriginal(host("whole.tnjra"), original), 0);
    EXPECT_EQ(sample::rowCount(host("whole.tnjra"), "students"),
              sample::rowCount(original, "students"));

    // The same file damaged goes through SQLite's recovery, which reads the
    // schema text too.
    sample::damage(host("a.tnjra"), 6, 3);
    compact("a.tnjra", "repaired.tnjra");
    EXPECT_FALSE(QFile::exists(leak()));
    EXPECT_EQ(rowsNotInOriginal(host("repaired.tnjra"), original), 0);
    EXPECT_GT(sample::rowCount(host("repaired.tnjra"), "students"), 0);
}

TEST_F(UntrustedSchema, AnEntryThatIsNoCreateIsDamageRepairedAround) {
    const QString original = makeDatabase("original.tnjra");
    craft("a.tnjra", "students", leakingStatements().mid(2));
    auto object = engine();
    object->invoke(QStringLiteral("CompactDatabase"),
                   {Variant::text(native("a.tnjra")), Variant::text(native("b.tnjra")),
                    Variant::missing(), Variant::int16(128), Variant::text(kConnect)});
    EXPECT_FALSE(QFile::exists(leak()));
    EXPECT_GT(errorCount(*object), 1) << "the entry and its rows are lost";
    EXPECT_EQ(rowsNotInOriginal(host("b.tnjra"), original), 0);
    EXPECT_EQ(sample::rowCount(host("b.tnjra"), "marks"), sample::rowCount(original, "marks"));
}

}  // namespace
