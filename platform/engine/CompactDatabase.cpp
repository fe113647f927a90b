#include "platform/engine/CompactDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <exception>
#include <future>

#include "platform/Failures.h"
#include "platform/engine/CipherProvider.h"
#include "platform/engine/CopyVfs.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/EngineLock.h"
#include "platform/engine/ImageCopy.h"
#include "platform/engine/PendingCopy.h"
#include "platform/engine/SourceImage.h"
#include "platform/engine/SqlCipherDatabase.h"

namespace platform::engine {

namespace {

using sqlcipher::Database;
using sqlcipher::SqliteError;

// The source is read once, through the image; the copy's cache keeps index
// pages while they fill.
constexpr int kImageCacheKiB = 2 * 1024;
constexpr int kCopyCacheKiB = 32 * 1024;
// The image's check, beside the copy: the b-trees it walks fit.
constexpr int kCheckCacheKiB = 2 * 1024;

struct stat statSource(const CompactRequest& request) {
    struct stat info {};
    if (::stat(QFile::encodeName(request.source).constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) throw fail(SourceNotFound, request.nativeSource);
        throw failures::systemFailure(error, request.nativeSource);
    }
    if (!S_ISREG(info.st_mode)) throw fail(SourceNotFound, request.nativeSource);
    return info;
}

void refuseTakenDestination(const CompactRequest& request) {
    struct stat info {};
    if (::lstat(QFile::encodeName(request.destination).constData(), &info) == 0) {
        throw fail(DestinationExists, request.nativeDestination);
    }
}

// A failure of SQLite as the platform reports it.
Failure failureOf(const SqliteError& error, const QString& nativePath) {
    const QString detail =
        nativePath + QStringLiteral(" (") + QString::fromUtf8(error.what()) + ')';
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
        case SQLITE_NOMEM:
            return failures::make(failures::OutOfMemory, detail);
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

// The copy, opened to be written in the source's format and settings.
std::unique_ptr<Database> openCopy(const CompactRequest& request, const SourceImage& image) {
    auto copy =
        std::make_unique<Database>(sqlcipher::fileUri(QFile::encodeName(request.destination),
                                                      std::string("vfs=") + copyVfsName()),
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (image.cipher()) {
        copy->key(*request.password);
        copy->execute("PRAGMA cipher_compatibility = " + std::to_string(image.cipher()->version));
    }
    {
        sqlcipher::Statement attach(copy->handle(), "ATTACH ?1 AS source KEY ''");
        attach.bindText(1, QByteArray::fromStdString(image.uri()));
        attach.step();
    }
    copy->execute("PRAGMA source.cache_size = -" + std::to_string(kImageCacheKiB));
    if (!image.cipher()) {
        copy->execute("PRAGMA main.page_size = " + std::to_string(image.pageSize()));
    }
    // Settings that only a new file takes, read from page 1 as it stands.
    const QByteArray page1 = image.page(1);
    static const char* const kEncodings[] = {"UTF-8", "UTF-16le", "UTF-16be"};
    const int encoding = static_cast<unsigned char>(page1.at(59));
    if (encoding >= 1 && encoding <= 3) {
        copy->execute(std::string("PRAGMA main.encoding = '") + kEncodings[encoding - 1] + "'");
    }
    const bool autoVacuum = page1.at(52) || page1.at(53) || page1.at(54) || page1.at(55);
    const bool incremental = page1.at(64) || page1.at(65) || page1.at(66) || page1.at(67);
    copy->execute(std::string("PRAGMA main.auto_vacuum = ") +
                  (autoVacuum ? (incremental ? "2" : "1") : "0"));
    // A new file that is removed on any failure needs no rollback journal
    // on disk, and one sync at the end rather than one per commit.
    copy->execute("PRAGMA main.journal_mode = MEMORY");
    copy->execute("PRAGMA main.synchronous = OFF");
    // Nobody else opens a new file: its lock is taken once, not per statement.
    copy->execute("PRAGMA main.locking_mode = EXCLUSIVE");
    copy->execute("PRAGMA main.cache_size = -" + std::to_string(kCopyCacheKiB));
    return copy;
}

// SQLite's integrity check of the image, on a connection of its own so that
// it can run on another thread while the copy is written.
bool imageWhole(const SourceImage& image) {
    Database check(image.uri(), SQLITE_OPEN_READONLY);
    check.execute("PRAGMA cache_size = -" + std::to_string(kCheckCacheKiB));
    return check.queryText("PRAGMA integrity_check(1)") == "ok";
}

using Clock = std::chrono::steady_clock;

}  // namespace

CompactResult compactDatabase(const CompactRequest& request) {
    // Every page of the copy is encrypted and checked through it.
    installCipherProvider();
    const struct stat sourceInfo = statSource(request);
    refuseTakenDestination(request);
    EngineLock lock(request.source, request.lockFile, request.nativeSource, request.nativeLockFile);
    const QString nativeFolder = request.nativeDestination.left(
        std::max(request.nativeDestination.lastIndexOf(QLatin1Char('\\')), qsizetype(0)));
    PendingCopy pending(request.destination, request.nativeDestination);
    CompactResult result;
    CompactResult::Steps& took = result.steps;
    try {
        auto started = Clock::now();
        SourceImage image({request.source, request.nativeSource,
                           QFileInfo(request.destination).absolutePath(), nativeFolder},
                          request.password);
        took.image = Clock::now() - started;
        auto copy = openCopy(request, image);
        // Trusted only when every page read and SQLite finds the whole sound.
        // The check runs on the second core while the copy is written; a copy
        // made before it said so counts for nothing until it does.
        bool whole = false;
        if (image.complete()) {
            std::future<bool> checked = std::async(std::launch::async, [&image, &took] {
                const auto checkStarted = Clock::now();
                const bool sound = imageWhole(image);
                took.sourceCheck = Clock::now() - checkStarted;
                return sound;
            });
            started = Clock::now();
            std::exception_ptr copyFailure;
            try {
                copyWhole(*copy);
            } catch (const SqliteError&) {
                // A source that fails its check may well fail to copy: the
                // check decides which failure counts.
                copyFailure = std::current_exception();
            }
            took.copy = Clock::now() - started;
            started = Clock::now();
            whole = checked.get();
            took.sourceCheckWait = Clock::now() - started;
            if (whole && copyFailure) std::rethrow_exception(copyFailure);
            if (!whole) {
                // Whatever was copied goes: the repair starts on an empty file.
                copy.reset();
                pending.discardContent();
                copy = openCopy(request, image);
            }
        }
        if (!whole) {
            started = Clock::now();
            result.repaired = true;
            result.badPages = std::int64_t(image.badPages().size());
            result.rowsDropped = recoverInto(image, *copy);
            took.copy += Clock::now() - started;
        }
        // The image is done with: its cache goes before the copy is checked.
        copy->execute("DETACH source");
        if (const int rc = readInWindows(copy->handle()); rc != SQLITE_OK) {
            throw SqliteError(rc, 0, sqlite3_errstr(rc));
        }
        pending.startWriteback();
        started = Clock::now();
        if (copy->queryText("PRAGMA main.integrity_check(1)") != "ok") {
            throw fail(DatabaseCorrupt, request.nativeSource);
        }
        took.copyCheck = Clock::now() - started;
        // A copy that holds no table at all saved nothing: the source was no
        // database, or none the key opens.
        if (result.repaired && copy->queryInt64("SELECT count(*) FROM main.sqlite_master") == 0) {
            throw fail(DatabaseCorrupt, request.nativeSource);
        }
    } catch (const SqliteError& error) {
        throw failureOf(error, request.nativeDestination);
    }
    const auto syncStarted = Clock::now();
    pending.finish(sourceInfo);
    took.sync = Clock::now() - syncStarted;
    return result;
}

}  // namespace platform::engine
