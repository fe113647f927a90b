#include "platform/engine/EngineLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QFile>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

namespace {
void lockOrFail(int fd, const QString& nativePath) {
    const int error = host::tryLock(fd, LOCK_EX);
    if (error == 0) return;
    if (error == EWOULDBLOCK) throw fail(DatabaseInUse, nativePath);
    throw failures::systemFailure(error, nativePath);
}
}  // namespace

EngineLock::EngineLock(const QString& hostDatabasePath, const QString& hostLockFilePath,
                       const QString& nativeDatabasePath, const QString& nativeLockFilePath)
    : lockFilePath_(hostLockFilePath) {
    database_.reset(
        ::open(QFile::encodeName(hostDatabasePath).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!database_.valid()) throw host::pathFailure(errno, nativeDatabasePath);
    lockOrFail(database_.get(), nativeDatabasePath);
    const QByteArray lockName = QFile::encodeName(hostLockFilePath);
    lockFile_.reset(::open(lockName.constData(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
    // A read-only lock file still takes a lock.
    if (!lockFile_.valid() && errno == EACCES) {
        lockFile_.reset(::open(lockName.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    }
    if (!lockFile_.valid()) throw host::pathFailure(errno, nativeLockFilePath);
    // Whoever holds it keeps it: on failure the file stays.
    lockOrFail(lockFile_.get(), nativeLockFilePath);
}

EngineLock::~EngineLock() {
    // Remove the name only while it still names the file locked here.
    const QByteArray lockName = QFile::encodeName(lockFilePath_);
    struct stat held {
    }, named{};
    if (::fstat(lockFile_.get(), &held) == 0 && ::stat(lockName.constData(), &named) == 0 &&
        host::sameFile(held, named)) {
        ::unlink(lockName.constData());
    }
}

}  // namespace platform::engine
