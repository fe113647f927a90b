#include "platform/engine/CompactDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <exception>
#include <future>

#include "platform/Failures.h"
#include "platform/engine/ConnectionGuard.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/EngineLock.h"
#include "platform/engine/SqliteFailure.h"
#include "platform/engine/copy/CopyCheck.h"
#include "platform/engine/copy/CopyConnection.h"
#include "platform/engine/copy/CopyVfs.h"
#include "platform/engine/copy/PendingCopy.h"
#include "platform/engine/copy/Salvage.h"
#include "platform/engine/copy/SchemaEntries.h"
#include "platform/engine/copy/WholeCopy.h"
#include "platform/engine/crypto/CipherProvider.h"
#include "platform/engine/crypto/CryptoAlgorithms.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {

using sqlite::Database;
using sqlite::SqliteError;

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

struct SourceCheck {
    bool whole = false;
    // What a whole copy must hold.
    TableDigests digests;
};

// What SQLite's integrity check proves of the image (its quick check, then
// every index against its table's rows) and the digest of every table's
// rows, on a connection of its own so that it can run on another thread
// while the copy is written.
SourceCheck checkImage(const SourceImage& image) {
    Database check(image.uri(), SQLITE_OPEN_READONLY);
    guardConnection(check.handle());
    SourceCheck result;
    try {
        check.execute("PRAGMA cache_size = -" + std::to_string(kCheckCacheKiB));
        if (check.queryText("PRAGMA quick_check(1)") != "ok") return result;
        addRowDigest(check.handle());
        auto digests = agreedTableDigests(check, "main");
        if (!digests) return result;
        result.digests = std::move(*digests);
        result.whole = true;
    } catch (const SqliteError& error) {
        // A schema SQLite cannot load is damage like any other.
        if (error.primaryCode() == SQLITE_CORRUPT || error.primaryCode() == SQLITE_ERROR) {
            return result;
        }
        throw;
    }
    return result;
}

// A copy's lock is taken once while it is written; the checker's second
// connection reads beside it.
void letReadersIn(Database& copy) {
    copy.execute("PRAGMA main.locking_mode = NORMAL");
    copy.queryInt64("SELECT count(*) FROM main.sqlite_master");
}

std::map<QByteArray, std::int64_t> rowsPerTable(Database& copy) {
    std::map<QByteArray, std::int64_t> rows;
    for (const SchemaEntry& entry : schemaOf(copy, "main")) {
        if (entry.type != "table" || isVirtualTable(entry)) continue;
        rows[entry.name] =
            copy.queryInt64("SELECT count(*) FROM main." + sqlite::identifier(entry.name));
    }
    return rows;
}

using Clock = std::chrono::steady_clock;

CompactResult compact(const CompactRequest& request) {
    // Every page of the copy is encrypted and checked through it.
    installCipherProvider();
    const GuardedThread guarded;
    const struct stat sourceInfo = statSource(request);
    refuseTakenDestination(request);
    auto lock = std::make_shared<const EngineLock>(request.source, request.lockFile,
                                                   request.nativeSource, request.nativeLockFile);
    const QString nativeFolder = request.nativeDestination.left(
        std::max(request.nativeDestination.lastIndexOf(QLatin1Char('\\')), qsizetype(0)));
    PendingCopy pending(request.destination, request.nativeDestination);
    CompactResult result;
    CompactResult::Steps& took = result.steps;
    try {
        auto started = Clock::now();
        const SourceFiles files{request.source, request.nativeSource,
                                QFileInfo(request.destination).absolutePath(), nativeFolder};
        // A copy needs no free page; should a repair follow, it reads them.
        std::optional<SourceImage> readImage;
        readImage.emplace(files, request.password, FreePages::LeaveOut);
        SourceImage* image = &*readImage;
        took.image = Clock::now() - started;
        auto copy = openCopy(request.destination, *image);
        std::optional<LossAccount> account;
        // Whole only when every page read and SQLite's check passes.
        // The check runs on the second core while the copy is written; a copy
        // made before it said so counts for nothing until it does.
        SourceCheck source;
        if (image->whole()) {
            std::future<SourceCheck> checked =
                std::async(std::launch::async, [image, &took, &lock] {
                    const auto checkStarted = Clock::now();
                    SourceCheck passed = checkImage(*image);
                    // The copy reads the image alone; a repair would read the source again.
                    if (passed.whole) lock->forgetCachedPages();
                    took.sourceCheck = Clock::now() - checkStarted;
                    return passed;
                });
            started = Clock::now();
            std::exception_ptr copyFailure;
            try {
                attachSource(*copy, *image);
                copyWhole(*copy);
                detachSource(*copy);
            } catch (const SqliteError&) {
                // A source that fails its check may well fail to copy: the
                // check decides which failure counts.
                copyFailure = std::current_exception();
            }
            took.copy = Clock::now() - started;
            started = Clock::now();
            source = checked.get();
            took.sourceCheckWait = Clock::now() - started;
            if (source.whole && copyFailure) std::rethrow_exception(copyFailure);
            if (!source.whole) {
                // Whatever was copied goes: the repair starts on an empty file.
                copy.reset();
                pending.discardContent();
                copy = openCopy(request.destination, *image);
            }
        }
        if (!source.whole) {
            started = Clock::now();
            if (image->leftOutFreePages()) {
                copy.reset();
                readImage.emplace(files, request.password, FreePages::Read);
                pending.discardContent();
                copy = openCopy(request.destination, *image);
            }
            result.repaired = true;
            result.badPages = std::int64_t(image->badPages().size());
            // Read before the salvage changes the image.
            account.emplace(*image);
            const SalvageCounts salvaged = salvageInto(*image, *copy);
            result.rows.droppedNotWhole = salvaged.cellsDropped;
            result.rows.rowsDroppedNotWhole = salvaged.rowsDropped;
            result.rows.orphansPlaced = salvaged.orphansPlaced;
            result.rows.orphansLeftOut = salvaged.orphansLeftOut;
            took.copy += Clock::now() - started;
        }
        if (const int rc = readInWindows(copy->handle()); rc != SQLITE_OK) {
            throw SqliteError(rc, 0, sqlite3_errstr(rc));
        }
        pending.startWriteback();
        if (source.whole) letReadersIn(*copy);
        started = Clock::now();
        // A whole source's copy is checked against the source's rows; a
        // repair's holds what could be saved, which SQLite checks whole.
        const bool sound =
            source.whole
                ? copyHoldsSource(
                      *copy,
                      [&] { return openCopyReader(request.destination, request.password, *image); },
                      source.digests)
                : copy->queryText("PRAGMA main.integrity_check(1)") == "ok";
        if (!sound) throw fail(DatabaseCorrupt, request.nativeSource);
        took.copyCheck = Clock::now() - started;
        if (result.repaired) {
            result.rows.keptPerTable = rowsPerTable(*copy);
            result.loss = account->settle(*copy);
            // A copy that holds no table at all saved nothing: the source was
            // no database, or none the key opens.
            if (copy->queryInt64("SELECT count(*) FROM main.sqlite_master") == 0) {
                throw fail(DatabaseCorrupt, request.nativeSource);
            }
        }
    } catch (const SqliteError& error) {
        throw failureOf(error, request.nativeDestination);
    }
    const auto syncStarted = Clock::now();
    pending.finish(sourceInfo);
    took.sync = Clock::now() - syncStarted;
    result.hold = std::move(lock);
    return result;
}

}  // namespace

CompactResult compactDatabase(const CompactRequest& request) {
    // The copy's key is kept for its checker's connection, no longer.
    struct ForgetKey {
        ~ForgetKey() { forgetDerivedKey(); }
    } forget;
    try {
        return compact(request);
    } catch (const CryptoFailure& failure) {
        throw fail(EngineFault, QString::fromUtf8(failure.what()));
    }
}

}  // namespace platform::engine
