#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QFile>
#include <QTemporaryDir>

#include "platform/engine/copy/CopyCheck.h"
#include "sample/SampleDatabase.h"

namespace {

using platform::engine::addRowDigest;
using platform::engine::copyHoldsSource;
using platform::engine::TableDigests;
using platform::sqlite::Database;
using platform::sqlite::SqliteError;

std::unique_ptr<Database> open(const QString& path, int flags = SQLITE_OPEN_READWRITE) {
    return std::make_unique<Database>(QFile::encodeName(path).toStdString(), flags);
}

TableDigests digestsOf(Database& database) {
    addRowDigest(database.handle());
    return platform::engine::tableDigests(database, "main");
}

// Copies that differ from their source in ways only some checks see.
class CopyCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        auto db = open(source, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db->execute(
            "PRAGMA page_size = 1024; CREATE TABLE t (a TEXT, b INTEGER);"
            "CREATE TABLE other (a TEXT, b INTEGER); CREATE INDEX t_b ON t (b);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
            "INSERT INTO t SELECT printf('row %d of the source, padded out', i), i % 17 FROM n");
        db.reset();
        ASSERT_TRUE(QFile::copy(source, copy));
    }

    // Runs `sql` on the copy while its index belongs to another table, so
    // that the table and its index no longer agree.
    void behindTheIndex(const std::string& sql) {
        const auto point = [this](const char* table) {
            auto db = open(copy);
            db->execute(std::string("PRAGMA writable_schema = ON; UPDATE sqlite_master SET ") +
                        "tbl_name = '" + table + "', sql = 'CREATE INDEX t_b ON " + table +
                        " (b)' WHERE name = 't_b'");
        };
        point("other");
        open(copy)->execute(sql);
        point("t");
    }

    bool holds(const TableDigests& expected) {
        auto db = open(copy);
        return copyHoldsSource(
            *db, [this] { return open(copy, SQLITE_OPEN_READONLY); }, expected);
    }

    QTemporaryDir folder;
    QString source = folder.filePath("source.db");
    QString copy = folder.filePath("copy.db");
};

TEST_F(CopyCheck, ACopyWithTheSourcesRowsPasses) {
    EXPECT_TRUE(holds(digestsOf(*open(source))));
}

// Both faults leave every b-tree sound and every count right: quick_check
// passes them, the digests do not.
TEST_F(CopyCheck, ARowMissingFromATableIsCaught) {
    behindTheIndex("UPDATE t SET rowid = 1000 WHERE rowid = 150");
    EXPECT_EQ(open(copy)->queryText("PRAGMA quick_check"), "ok");
    EXPECT_FALSE(holds(digestsOf(*open(source))));
}

TEST_F(CopyCheck, AnIndexEntryMissingIsCaught) {
    behindTheIndex("UPDATE t SET b = 99 WHERE rowid = 150");
    EXPECT_EQ(open(copy)->queryText("PRAGMA quick_check"), "ok");
    // The copy's own rows are what it must hold: only its index lacks (99, 150).
    EXPECT_FALSE(holds(digestsOf(*open(copy))));
}

// The source's check: what integrity_check proves, without its lookups.
TEST_F(CopyCheck, ATableAndItsIndexesAgreeOnlyWhenIntegrityCheckWouldPass) {
    const auto agreed = [](const QString& path) {
        auto db = open(path);
        addRowDigest(db->handle());
        return platform::engine::agreedTableDigests(*db, "main");
    };
    ASSERT_TRUE(agreed(source).has_value());
    EXPECT_EQ(*agreed(source), digestsOf(*open(source)));

    behindTheIndex("UPDATE t SET b = 99 WHERE rowid = 150");
    EXPECT_FALSE(agreed(copy).has_value());

    // Two equal keys in a UNIQUE index: its entries match the table's rows,
    // yet integrity_check refuses it.
    ASSERT_TRUE(QFile::remove(copy) && QFile::copy(source, copy));
    open(copy)->execute(
        "CREATE INDEX t_a ON t (a); INSERT INTO t VALUES ('row 1 of the source, padded out', 1);"
        "PRAGMA writable_schema = ON;"
        "UPDATE sqlite_master SET sql = 'CREATE UNIQUE INDEX t_a ON t (a)' WHERE name = 't_a'");
    EXPECT_NE(open(copy)->queryText("PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(agreed(copy).has_value());
    // NULLs never clash.
    open(copy)->execute(
        "DELETE FROM t WHERE rowid > 300; INSERT INTO t VALUES (NULL, 1), (NULL, 2)");
    EXPECT_TRUE(agreed(copy).has_value());
}

TEST(CopyCheckEncrypted, APageAlteredAfterWritingIsCaught) {
    QTemporaryDir folder;
    const QString source = folder.filePath("source.tnjra"), copy = folder.filePath("copy.tnjra");
    sample::DatabaseOptions options;
    options.sizeBytes = 256 * 1024;
    options.freeShare = 0;
    sample::createDatabase(source, options);
    ASSERT_TRUE(QFile::copy(source, copy));
    const TableDigests expected = digestsOf(*sample::openForReading(source));
    {
        QFile file(copy);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(file.size() / 2 + 100);
        const QByteArray byte = file.peek(1);
        file.write(QByteArray(1, char(byte[0] ^ 0x20)));
    }
    auto db = sample::openForReading(copy);
    bool held = true;
    try {
        held = copyHoldsSource(
            *db, [&] { return sample::openForReading(copy); }, expected);
    } catch (const SqliteError&) {
        held = false;
    }
    EXPECT_FALSE(held);
}

}  // namespace
