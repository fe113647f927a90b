#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/engine/crypto/CipherProvider.h"
#include "platform/engine/crypto/PageCipher.h"
#include "sample/SampleDatabase.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

// SQLCipher's current provider, which its public header leaves out.
struct sqlcipher_provider;
extern "C" sqlcipher_provider* sqlcipher_get_provider(void);

namespace {

const int kCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;

// A keyed connection on the library alone, so that these tests need nothing
// of the engine but the provider; SQLite's errors come as exceptions.
class Database {
  public:
    Database(const QString& path, int flags) {
        const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags, nullptr);
        if (rc != SQLITE_OK) fail(rc);
    }
    ~Database() { sqlite3_close_v2(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void key(const QByteArray& key) { check(sqlite3_key(db_, key.constData(), int(key.size()))); }
    void execute(const std::string& sql) {
        check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr));
    }
    // The first column of the first row; empty when there is none.
    QByteArray queryText(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr));
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalize(statement, sqlite3_finalize);
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE) return {};
        if (rc != SQLITE_ROW) fail(rc);
        return reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK) fail(rc);
    }
    [[noreturn]] void fail(int rc) {
        throw std::runtime_error(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    }
    sqlite3* db_ = nullptr;
};

// Rows over some hundred 1 KiB pages, with text that tells them apart.
const char* const kFill =
    "CREATE TABLE t(i INTEGER PRIMARY KEY, v TEXT);"
    "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 400) "
    "INSERT INTO t SELECT i, replace(hex(zeroblob(150 + i % 100)), '0', char(65 + i % 26)) FROM c;"
    "CREATE INDEX t_v ON t(v);";
const char* const kDigest =
    "SELECT count(*) || ':' || sum(i) || ':' || sum(unicode(v) * length(v)) FROM t;";
const char* const kExpected = "400:80200:";  // the prefix anything decrypted correctly shows

// The settings of the product's files, spelled out so that the tool of the
// 3.x series, whose defaults they are, reads the same way.
std::string settingsFor(int format) {
    return format == 3 ? "PRAGMA cipher_compatibility = 3;" : "PRAGMA cipher_compatibility = 4;";
}

void write(const QString& path, const QByteArray& key, int format) {
    Database db(path, kCreate);
    db.key(key);
    db.execute(settingsFor(format));
    db.execute(kFill);
}

// The content digest, after both checks that read every page.
QByteArray read(const QString& path, const QByteArray& key, int format) {
    Database db(path, SQLITE_OPEN_READONLY);
    db.key(key);
    db.execute(settingsFor(format));
    EXPECT_EQ(db.queryText("PRAGMA cipher_provider;"), platform::engine::kCipherProviderName);
    EXPECT_EQ(db.queryText("PRAGMA cipher_integrity_check;"), QByteArray()) << "a page failed";
    EXPECT_EQ(db.queryText("PRAGMA integrity_check;"), "ok");
    return db.queryText(kDigest);
}

// Runs a SQLCipher shell on a database with the statements on its input and
// returns what it printed; a failure of the shell fails the test.
QByteArray runShell(const QString& program, const QString& path, const QByteArray& script) {
    QProcess shell;
    shell.start(program, {"-bail", path});
    if (!shell.waitForStarted()) {
        ADD_FAILURE() << program.toStdString() << " did not start";
        return {};
    }
    shell.write(script);
    shell.closeWriteChannel();
    const bool finished = shell.waitForFinished(60000);
    if (!finished || shell.exitStatus() != QProcess::NormalExit || shell.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << ": "
                      << shell.readAllStandardError().toStdString();
    return shell.readAllStandardOutput().trimmed();
}

QByteArray keyStatement(const QByteArray& key) {
    return "PRAGMA key = '" + key + "';\n";
}

class CipherProvider : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        platform::engine::installCipherProvider();
    }
    QString path(const QString& name) const { return dir_.filePath(name); }

    // Another SQLCipher writes a format's database and reads ours; each side's
    // pages must decrypt and authenticate under the other.
    void crossCheck(const QString& program, int format) {
        const QByteArray key = sample::kPassword;
        const QByteArray settings = QByteArray::fromStdString(settingsFor(format));
        const QString ours = path(QString("ours-%1.db").arg(format));
        const QString theirs = path(QString("theirs-%1.db").arg(format));

        write(ours, key, format);
        const QByteArray digest = read(ours, key, format);
        EXPECT_TRUE(digest.startsWith(kExpected)) << digest.toStdString();
        // Newer shells also print "ok" for the key itself.
        const QByteArray printed = runShell(
            program, ours, keyStatement(key) + settings + "PRAGMA integrity_check;\n" + kDigest);
        EXPECT_TRUE(printed.endsWith("ok\n" + digest)) << printed.toStdString();

        runShell(program, theirs, keyStatement(key) + settings + kFill);
        EXPECT_EQ(read(theirs, key, format), digest);
    }

    QTemporaryDir dir_;
};

TEST_F(CipherProvider, WritesAndReadsBothFormatsOnSeveralThreadsAndKeys) {
    // Two threads at once, each with keys of its own: a context kept for one
    // thread or key must never serve another.
    std::vector<std::thread> writers;
    for (int format : {3, 4})
        writers.emplace_back([&, format] {
            try {
                write(path(QString("f%1.db").arg(format)), "pass" + QByteArray::number(format),
                      format);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "format " << format << ": " << e.what();
            }
        });
    for (auto& writer : writers) writer.join();
    QByteArray digest3 = read(path("f3.db"), "pass3", 3);
    EXPECT_TRUE(digest3.startsWith(kExpected)) << digest3.toStdString();
    EXPECT_EQ(read(path("f4.db"), "pass4", 4), digest3);

    // One connection copying into more databases than a thread keeps keyed
    // contexts for, each under its own key, then every copy read back alone.
    {
        Database db(path("f3.db"), kCreate);  // ATTACH creates files only with this
        db.key("pass3");
        db.execute(settingsFor(3));
        for (int i = 0; i < 6; ++i) {
            const std::string name = "copy" + std::to_string(i);
            db.execute("ATTACH '" +
                       QFile::encodeName(path(QString::fromStdString(name + ".db"))).toStdString() +
                       "' AS " + name + " KEY 'copy key " + std::to_string(i) + "';");
            db.execute("PRAGMA " + name + ".cipher_compatibility = 3;");
            db.execute("SELECT sqlcipher_export('" + name + "');");
        }
        for (int i = 0; i < 6; ++i) db.execute("DETACH copy" + std::to_string(i) + ";");
    }
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(read(path(QString("copy%1.db").arg(i)), "copy key " + QByteArray::number(i), 3),
                  digest3);

    Database wrong(path("f3.db"), SQLITE_OPEN_READONLY);
    wrong.key("pass4");
    wrong.execute(settingsFor(3));
    EXPECT_THROW(wrong.queryText("SELECT count(*) FROM t;"), std::runtime_error);
}

TEST_F(CipherProvider, InstallingAgainKeepsOneRegistration) {
    platform::engine::installCipherProvider();
    const sqlcipher_provider* first = sqlcipher_get_provider();
    platform::engine::installCipherProvider();
    EXPECT_EQ(sqlcipher_get_provider(), first);
    Database db(":memory:", kCreate);
    db.key("x");
    EXPECT_EQ(db.queryText("PRAGMA cipher_provider;"), platform::engine::kCipherProviderName);
}

// Debian's sqlcipher 3.4.1 tool: the reader of the product's files.
TEST_F(CipherProvider, Format3MatchesTheSqlCipher3Tool) {
    const QString tool = QStandardPaths::findExecutable("sqlcipher");
    if (tool.isEmpty()) GTEST_SKIP() << "no sqlcipher tool (package sqlcipher)";
    crossCheck(tool, 3);
}

// The same library's shell, on its built-in OpenSSL provider.
TEST_F(CipherProvider, BothFormatsMatchTheBuiltInProvider) {
#ifdef BUNDLED_SQLCIPHER_SHELL
    crossCheck(BUNDLED_SQLCIPHER_SHELL, 3);
    crossCheck(BUNDLED_SQLCIPHER_SHELL, 4);
#else
    GTEST_SKIP() << "the bundled shell was not built (fetch_deps.sh needs tclsh for it)";
#endif
}

// Pages the engine encrypts itself are SQLCipher's: every page of a database
// decrypted and encrypted again, each with a fresh IV, decrypts back to the
// same content and the file opens under the key; a page changed afterwards
// fails authentication.
TEST_F(CipherProvider, PagesTheEngineEncryptsReadAsSqlCiphers) {
    using namespace platform::engine;
    for (const int version : {3, 4}) {
        const QString original = path(QString("original-%1.db").arg(version));
        write(original, sample::kPassword, version);
        QFile file(original);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto formats = cipherFormats();
        const CipherFormat& format = *std::find_if(
            formats.begin(), formats.end(), [&](const auto& f) { return f.version == version; });
        PageCipher cipher(format, sample::kPassword, QByteArrayView(bytes).first(kSaltSize));
        const int size = format.pageSize;
        QByteArray again(bytes.size(), '\0');
        std::vector<unsigned char> plain(static_cast<std::size_t>(size)), back(plain.size());
        for (int page = 1; page * size <= bytes.size(); ++page) {
            const auto* in = reinterpret_cast<const unsigned char*>(bytes.constData()) +
                             std::size_t(page - 1) * std::size_t(size);
            auto* out = reinterpret_cast<unsigned char*>(again.data()) +
                        std::size_t(page - 1) * std::size_t(size);
            ASSERT_TRUE(cipher.decrypt(std::uint32_t(page), in, plain.data())) << page;
            cipher.encrypt(std::uint32_t(page), plain.data(), out);
            ASSERT_TRUE(cipher.decrypt(std::uint32_t(page), out, back.data())) << page;
            EXPECT_EQ(std::memcmp(plain.data(), back.data(), std::size_t(size - format.reserve)), 0)
                << "page " << page;
        }
        const QString copy = path(QString("again-%1.db").arg(version));
        QFile written(copy);
        ASSERT_TRUE(written.open(QIODevice::WriteOnly));
        ASSERT_EQ(written.write(again), again.size());
        written.close();
        EXPECT_EQ(read(copy, sample::kPassword, version),
                  read(original, sample::kPassword, version));

        again[size + 100] = char(again[size + 100] ^ 1);
        EXPECT_FALSE(cipher.decrypt(
            2, reinterpret_cast<const unsigned char*>(again.constData()) + size, plain.data()));
    }
}

}  // namespace
