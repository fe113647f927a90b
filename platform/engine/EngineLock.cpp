#include "platform/engine/EngineLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"

namespace platform::engine {

namespace {
int openOrFail(const QString& path, int flags, mode_t mode) {
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, mode);
    if (fd < 0) throw failures::make(failures::fromErrno(errno), path);
    return fd;
}

void lockOrFail(int fd, const QString& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
    const int error = errno;
    if (error == EWOULDBLOCK) throw fail(DatabaseInUse, path);
    throw failures::make(failures::fromErrno(error), path);
}
}  // namespace

EngineLock::EngineLock(const QString& hostDatabasePath, const QString& hostLockFilePath)
    : lockFilePath_(hostLockFilePath) {
    databaseFd_ = openOrFail(hostDatabasePath, O_RDONLY | O_NOCTTY, 0);
    try {
        lockOrFail(databaseFd_, hostDatabasePath);
        const QByteArray lockName = QFile::encodeName(hostLockFilePath);
        lockFileFd_ = ::open(lockName.constData(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        // A read-only lock file still takes a lock.
        if (lockFileFd_ < 0 && errno == EACCES) {
            lockFileFd_ = ::open(lockName.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        }
        if (lockFileFd_ < 0) throw failures::make(failures::fromErrno(errno), hostLockFilePath);
        try {
            lockOrFail(lockFileFd_, hostLockFilePath);
        } catch (...) {
            // Whoever holds it keeps it: the file stays.
            ::close(lockFileFd_);
            throw;
        }
    } catch (...) {
        ::close(databaseFd_);
        throw;
    }
}

EngineLock::~EngineLock() {
    // Remove the name only while it still names the file locked here.
    const QByteArray lockName = QFile::encodeName(lockFilePath_);
    struct stat held {
    }, named{};
    if (::fstat(lockFileFd_, &held) == 0 && ::stat(lockName.constData(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        ::unlink(lockName.constData());
    }
    ::close(lockFileFd_);
    ::close(databaseFd_);
}

}  // namespace platform::engine
