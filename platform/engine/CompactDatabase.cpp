#include "platform/engine/CompactDatabase.h"

#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <cerrno>
#include <memory>

#include "platform/Failures.h"
#include "platform/engine/CompactedCopy.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/EngineLock.h"
#include "platform/engine/PendingCopy.h"
#include "platform/engine/SalvageCopy.h"
#include "platform/engine/SqlCipherDatabase.h"

namespace platform::engine {

namespace {

using sqlcipher::Database;
using sqlcipher::SqliteError;

// Reading the source needs little cache: it is read once, in order.
constexpr int kSourceCacheKiB = 2 * 1024;
constexpr char kPlainHeader[] = "SQLite format 3";

struct stat statSource(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) throw fail(SourceNotFound, path);
        throw failures::make(failures::fromErrno(error), path);
    }
    if (!S_ISREG(info.st_mode)) throw fail(SourceNotFound, path);
    return info;
}

void refuseTakenDestination(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0) {
        throw fail(DestinationExists, path);
    }
}

bool hasPlainHeader(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return file.read(sizeof kPlainHeader) == QByteArray(kPlainHeader, sizeof kPlainHeader);
}

// A failure of SQLite as the platform reports it.
Failure failureOf(const SqliteError& error, const QString& path) {
    const QString detail = path + QStringLiteral(" (") + QString::fromUtf8(error.what()) + ')';
    switch (error.primaryCode()) {
        case SQLITE_FULL:
            return failures::make(failures::DiskFull, detail);
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return failures::make(failures::PermissionDenied, detail);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return fail(DatabaseInUse, detail);
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return fail(DatabaseCorrupt, detail);
        case SQLITE_NOMEM:
            return Failure(7, QStringLiteral("Out of memory"));
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            if (error.systemErrno() != 0) {
                return failures::make(failures::fromErrno(error.systemErrno()), detail);
            }
            return failures::make(failures::PathFileAccessError, detail);
        default:
            return fail(DatabaseCorrupt, detail);
    }
}

// Failures writing the copy end the compaction; anything else met while
// exporting is taken for damage in the source and left to the repair.
bool isCopyFailure(const SqliteError& error) {
    switch (error.primaryCode()) {
        case SQLITE_FULL:
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return true;
        case SQLITE_IOERR:
            return error.code() != SQLITE_IOERR_READ && error.code() != SQLITE_IOERR_SHORT_READ;
        default:
            return false;
    }
}

class SourceConnection {
  public:
    SourceConnection(const QString& path, const std::optional<QByteArray>& password, qint64 size) {
        // A file SQLite would take for a new, empty database is none at all.
        if (size == 0) throw fail(DatabaseCorrupt, path);
        // A file that is not encrypted is opened, and copied, as it is.
        plain_ = hasPlainHeader(path);
        if (!plain_) password_ = password;
        try {
            open(path);
        } catch (const SqliteError& error) {
            throw refusal(error, path, size);
        }
    }

    Database& database() { return *database_; }
    const std::optional<QByteArray>& password() const { return password_; }
    // Another connection to the source, keyed and checked alike.
    std::unique_ptr<Database> openAnother() const {
        auto another = std::make_unique<Database>(uri_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (password_) another->key(*password_);
        another->queryInt64("SELECT count(*) FROM main.sqlite_master");
        another->execute("PRAGMA main.cache_size = -" + std::to_string(kSourceCacheKiB));
        return another;
    }

  private:
    void open(const QString& path) {
        uri_ = sqlcipher::fileUri(QFile::encodeName(path), "mode=ro");
        // Read-only by its URI alone: the connection's own flags are those
        // the attached copy is opened with.
        database_ = std::make_unique<Database>(uri_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (password_) database_->key(*password_);
        // Reading the schema proves the key: with a wrong one page 1 fails.
        database_->queryInt64("SELECT count(*) FROM main.sqlite_master");
        database_->execute("PRAGMA main.cache_size = -" + std::to_string(kSourceCacheKiB));
    }

    // Why the source cannot be opened. Encrypted pages cannot be told from
    // random bytes, so an encrypted-looking file (whole pages of SQLCipher's
    // default size, no plain header) that the key does not open is taken for
    // a wrong password; anything else is no database.
    Failure refusal(const SqliteError& error, const QString& path, qint64 size) const {
        // A journal left by an interrupted transaction: only a writer may
        // roll it back, and a copy made without it would be wrong, and
        // damaged by it once in the source's place.
        if (error.primaryCode() == SQLITE_READONLY) {
            return fail(DatabaseInUse, path + QStringLiteral(": an unfinished transaction"));
        }
        if (error.primaryCode() != SQLITE_NOTADB) return failureOf(error, path);
        constexpr qint64 kCipherPageSize = 1024;
        const bool wholePages = size >= kCipherPageSize && size % kCipherPageSize == 0;
        if (!plain_ && wholePages) return fail(NotValidPassword, path);
        return fail(DatabaseCorrupt, path);
    }

    std::string uri_;
    std::unique_ptr<Database> database_;
    std::optional<QByteArray> password_;
    bool plain_ = false;
};

// Tries the plain export; false when the source turned out damaged.
bool exportIntact(CompactedCopy& copy) {
    try {
        copy.exportAll();
        return copy.isConsistent();
    } catch (const SqliteError& error) {
        if (isCopyFailure(error)) throw;
        return false;
    }
}

}  // namespace

void compactDatabase(const CompactRequest& request) {
    const struct stat sourceInfo = statSource(request.source);
    refuseTakenDestination(request.destination);
    EngineLock lock(request.source, request.lockFile);
    try {
        SourceConnection source(request.source, request.password, sourceInfo.st_size);
        PendingCopy pending(request.destination);
        const QByteArray destination = QFile::encodeName(request.destination);
        bool consistent = false;
        {
            CompactedCopy copy(source.database(), destination, source.password());
            consistent = exportIntact(copy);
        }
        if (!consistent) {
            pending.clear();
            CompactedCopy copy(source.database(), destination, source.password());
            salvageInto(*source.openAnother(), source.database());
            copy.copyHeaderValues();
            if (!copy.isConsistent()) throw fail(DatabaseCorrupt, request.source);
        }
        pending.finish(sourceInfo);
    } catch (const SqliteError& error) {
        throw failureOf(error, request.destination);
    }
}

}  // namespace platform::engine
