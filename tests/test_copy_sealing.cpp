#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <optional>
#include <string>

#include "platform/engine/copy/CopyConnection.h"
#include "platform/engine/copy/CopyVfs.h"
#include "platform/engine/crypto/CipherProvider.h"
#include "platform/engine/source/SourceImage.h"
#include "sample/SampleDatabase.h"

namespace {

using platform::engine::SourceImage;
using platform::sqlite::Database;
using platform::sqlite::SqliteError;

struct Shape {
    int cipherFormat;
    bool autoVacuum;
};

// Copies whose pages the copy's own VFS encrypts, written under a cache of a
// few pages so that pages spill, are read back and are rewritten many times.
class CopySealing : public ::testing::TestWithParam<Shape> {
  protected:
    void SetUp() override {
        platform::engine::installCipherProvider();
        sample::DatabaseOptions options;
        options.sizeBytes = 64 * 1024;
        options.freeShare = 0;
        options.cipherFormat = GetParam().cipherFormat;
        sample::createDatabase(source, options);
        image.emplace(platform::engine::SourceFiles{source, "C:\\source", folder.path(), "C:\\"},
                      QByteArray(sample::kPassword));
    }

    // Many commits of inserts, updates that grow rows onto overflow pages and
    // deletes that free pages, all over the same pages; then pages freed in
    // the transaction that made them, which SQLite never writes.
    static void churn(Database& db) {
        if (GetParam().autoVacuum) db.execute("PRAGMA auto_vacuum = FULL");
        db.execute("PRAGMA cache_size = 4");
        db.execute(
            "CREATE TABLE t (id INTEGER PRIMARY KEY, round INTEGER, body TEXT);"
            "CREATE INDEX t_round ON t (round, body)");
        for (int round = 0; round < 12; ++round) {
            const std::string r = std::to_string(round);
            db.execute("BEGIN");
            db.execute(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150) "
                "INSERT INTO t SELECT " +
                r + " * 150 + i, " + r +
                ", printf('%.*c', 20 + (i * 37) % 900, char(65 + i % 26)) FROM n");
            db.execute("UPDATE t SET round = " + r +
                       ", body = body || printf('%.*c', id % 1500, '" + char('a' + round) +
                       "') WHERE id % 7 = " + std::to_string(round % 7));
            db.execute("DELETE FROM t WHERE id % 5 = " + std::to_string(round % 5) +
                       " AND round < " + r);
            db.execute("COMMIT");
        }
        db.execute(
            "PRAGMA cache_size = 1000; BEGIN; CREATE TABLE gone (body TEXT);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
            "INSERT INTO gone SELECT printf('%.*c', 500, 'g') FROM n;"
            "DELETE FROM gone; COMMIT; PRAGMA cache_size = 4");
    }

    QTemporaryDir folder;
    QString source = folder.filePath("source.db");
    QString copy = folder.filePath("copy.db");
    std::optional<SourceImage> image;
};

// SQLCipher itself, keyed with the password, reads every page the VFS wrote
// and finds exactly the rows a plain database given the same statements holds.
TEST_P(CopySealing, ACopyRewrittenManyTimesReadsWholeWithTheLibrary) {
    const QString plain = folder.filePath("plain.db");
    churn(*std::make_unique<Database>(QFile::encodeName(plain).toStdString(),
                                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    {
        auto db = platform::engine::openCopy(copy, *image);
        churn(*db);
        // Read back through the VFS from the file, as the copy's check reads
        // it: the cache holds 4 pages.
        EXPECT_EQ(platform::engine::readInWindows(db->handle()), SQLITE_OK);
        EXPECT_EQ(db->queryText("PRAGMA integrity_check"), "ok");
    }
    EXPECT_EQ(sample::integrityCheck(copy), "ok");
    EXPECT_EQ(sample::contentDigest(copy), sample::contentDigest(plain, QByteArray()));
}

// A page changed on disk after it was written is an error on the connection
// that wrote it, not data: here only its HMAC changes, so the page would
// still decrypt to its own content.
TEST_P(CopySealing, APageAlteredOnDiskIsRefused) {
    auto db = platform::engine::openCopy(copy, *image);
    churn(*db);
    ASSERT_EQ(platform::engine::readInWindows(db->handle()), SQLITE_OK);
    const std::int64_t page =
        db->queryInt64("SELECT rootpage FROM sqlite_master WHERE name = 't_round'");
    {
        QFile file(copy);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(page * image->pageSize() - image->cipher()->reserve + platform::engine::kIvSize);
        const QByteArray byte = file.peek(1);
        file.write(QByteArray(1, char(byte[0] ^ 0x01)));
    }
    sqlite3_db_release_memory(db->handle());
    try {
        db->queryInt64("SELECT count(*) FROM t INDEXED BY t_round WHERE round >= 0");
        ADD_FAILURE() << "the altered page was read as data";
    } catch (const SqliteError& error) {
        EXPECT_EQ(error.primaryCode(), SQLITE_CORRUPT);
    }
}

// Writes the file refuses, past a limit on its size, fail the copy: whichever
// call meets the failure (a statement, its commit, or the last drain), none is
// reported as written.
TEST_P(CopySealing, AWriteTheFileRefusesIsAnError) {
    auto db = platform::engine::openCopy(copy, *image);
    db->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, body TEXT)");
    const rlimit limit{rlim_t(QFileInfo(copy).size() + 8 * 1024), RLIM_INFINITY};
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    // A write past the limit fails with EFBIG instead of ending the process.
    const auto signal = std::signal(SIGXFSZ, SIG_IGN);
    const bool limited = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    bool failed = false;
    try {
        db->execute(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
            "INSERT INTO t SELECT i, printf('%.*c', 200, 'x') FROM n");
        failed = platform::engine::readInWindows(db->handle()) != SQLITE_OK;
    } catch (const SqliteError&) {
        failed = true;
    }
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, signal);
    ASSERT_TRUE(limited);
    EXPECT_TRUE(failed);
}

// Pages reach the file encrypted however many come in one write, even more
// than SQLite writes at once.
TEST_P(CopySealing, NoWriteReachesTheFilePlain) {
    auto db = platform::engine::openCopy(copy, *image);
    db->execute("CREATE TABLE t (a)");
    sqlite3_file* file = nullptr;
    ASSERT_EQ(sqlite3_file_control(db->handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file),
              SQLITE_OK);
    const QByteArray pages(128 * 1024, 'Q');
    ASSERT_EQ(
        file->pMethods->xWrite(file, pages.constData(), int(pages.size()), QFileInfo(copy).size()),
        SQLITE_OK);
    ASSERT_EQ(platform::engine::readInWindows(db->handle()), SQLITE_OK);
    QFile written(copy);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_FALSE(written.readAll().contains(QByteArray(64, 'Q')));
}

INSTANTIATE_TEST_SUITE_P(Formats, CopySealing, ::testing::Values(Shape{3, false}, Shape{4, true}),
                         [](const auto& info) {
                             return "Format" + std::to_string(info.param.cipherFormat) +
                                    (info.param.autoVacuum ? "AutoVacuum" : "");
                         });

}  // namespace
