#include "platform/engine/copy/CopyConnection.h"

#include <sqlite3.h>

#include <QFile>

#include "platform/engine/ConnectionGuard.h"
#include "platform/engine/copy/CopyVfs.h"
#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {
// The source is read once, through the image; the copy's cache keeps index
// pages while they fill.
constexpr int kImageCacheKiB = 2 * 1024;
constexpr int kCopyCacheKiB = 32 * 1024;
// The copy's checker reads each page once, in order.
constexpr int kReaderCacheKiB = 2 * 1024;

std::unique_ptr<sqlite::Database> connectCopy(const QString& hostPath, int flags) {
    auto copy = std::make_unique<sqlite::Database>(
        sqlite::fileUri(QFile::encodeName(hostPath), std::string("vfs=") + copyVfsName()), flags);
    guardConnection(copy->handle());
    return copy;
}
}  // namespace

std::unique_ptr<sqlite::Database> openCopyReader(const QString& hostPath,
                                                 const std::optional<QByteArray>& password,
                                                 const SourceImage& image) {
    auto reader = connectCopy(hostPath, SQLITE_OPEN_READONLY);
    // SQLCipher itself reads what the copy's own encryption wrote: a page it
    // cannot authenticate fails the check.
    if (image.cipher()) {
        reader->key(password.value_or(QByteArray()));
        reader->execute("PRAGMA cipher_compatibility = " + std::to_string(image.cipher()->version));
        if (image.pageSize() != image.cipher()->pageSize) {
            reader->execute("PRAGMA cipher_page_size = " + std::to_string(image.pageSize()));
        }
    }
    reader->execute("PRAGMA main.cache_size = -" + std::to_string(kReaderCacheKiB));
    if (const int rc = readInWindows(reader->handle()); rc != SQLITE_OK) {
        throw sqlite::SqliteError(rc, 0, sqlite3_errstr(rc));
    }
    return reader;
}

std::unique_ptr<sqlite::Database> openCopy(const QString& hostPath, const SourceImage& image) {
    auto copy = connectCopy(hostPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (const PageCipher* keys = image.pageCipher()) {
        // The source's salt and key, as SQLCipher's own VACUUM keeps them:
        // the password need not be derived again.
        const auto sized = keys->withPageSize(image.pageSize());
        if (const int rc = sealPagesWith(copy->handle(), *sized); rc != SQLITE_OK) {
            throw sqlite::SqliteError(rc, 0, sqlite3_errstr(rc));
        }
        // The bytes at each page's end that the encryption fills.
        int reserve = keys->format().reserve;
        if (const int rc =
                sqlite3_file_control(copy->handle(), "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
            rc != SQLITE_OK) {
            throw sqlite::SqliteError(rc, 0, sqlite3_errstr(rc));
        }
    }
    copy->execute("PRAGMA main.page_size = " + std::to_string(image.pageSize()));
    // Settings that only a new file takes, read from page 1 as it stands.
    const QByteArray page1 = image.page(1);
    const format::DatabaseHeader header =
        format::parseHeader(reinterpret_cast<const unsigned char*>(page1.constData()));
    static const char* const kEncodings[] = {"UTF-8", "UTF-16le", "UTF-16be"};
    if (header.textEncoding >= 1 && header.textEncoding <= 3) {
        copy->execute(std::string("PRAGMA main.encoding = '") +
                      kEncodings[header.textEncoding - 1] + "'");
    }
    copy->execute(std::string("PRAGMA main.auto_vacuum = ") +
                  (header.autoVacuum ? (header.incrementalVacuum ? "2" : "1") : "0"));
    // A new file that is removed on any failure needs no rollback journal
    // on disk, and one sync at the end rather than one per commit.
    copy->execute("PRAGMA main.journal_mode = MEMORY");
    copy->execute("PRAGMA main.synchronous = OFF");
    // Nobody else opens a new file: its lock is taken once, not per statement.
    copy->execute("PRAGMA main.locking_mode = EXCLUSIVE");
    copy->execute("PRAGMA main.cache_size = -" + std::to_string(kCopyCacheKiB));
    return copy;
}

void attachSource(sqlite::Database& copy, const SourceImage& image) {
    {
        const OwnStatement own;
        sqlite::Statement attach(copy.handle(), "ATTACH ?1 AS source KEY ''");
        attach.bindText(1, QByteArray::fromStdString(image.copyUri()));
        attach.step();
    }
    copy.execute("PRAGMA source.cache_size = -" + std::to_string(kImageCacheKiB));
}

void detachSource(sqlite::Database& copy) {
    const OwnStatement own;
    copy.execute("DETACH source");
}

}  // namespace platform::engine
