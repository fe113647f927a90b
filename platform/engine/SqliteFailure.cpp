#include "platform/engine/SqliteFailure.h"

#include <sqlite3.h>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"

namespace platform::engine {

Failure failureOf(const sqlite::SqliteError& error, const QString& nativePath) {
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

}  // namespace platform::engine
