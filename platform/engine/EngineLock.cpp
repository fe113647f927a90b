#include "platform/engine/EngineLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QFile>
#include <cerrno>
#include <vector>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/host/FileHolders.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

namespace {

// SQLite's lock bytes: PENDING, RESERVED and the SHARED range, on the page at
// 1 GiB that SQLite never uses for data.
constexpr off_t kLockBytes = 0x40000000;
constexpr off_t kLockByteCount = 2 + 510;

Failure inUse(const QString& nativePath, const std::optional<host::Holder>& holder) {
    return fail(DatabaseInUse, nativePath + QStringLiteral(" is in use by ") +
                                   holder.value_or(host::Holder{}).describe());
}

void lockOrFail(int fd, const QString& nativePath) {
    const int error = host::tryLock(fd, LOCK_EX);
    if (error == 0) return;
    if (error != EWOULDBLOCK) throw failures::systemFailure(error, nativePath);
    struct stat status {};
    if (::fstat(fd, &status) != 0) throw fail(DatabaseInUse, nativePath);
    throw inUse(nativePath, host::openElsewhere({status}));
}

// SQLite's exclusive lock, through the database's own open file description.
// A database opened read-only takes read locks: they still keep every other
// program from writing to it.
void lockBytesOrFail(int fd, bool writable, const QString& nativePath) {
    struct flock lock {};
    lock.l_type = writable ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kLockBytes;
    lock.l_len = kLockByteCount;
    int result;
    do {
        result = ::fcntl(fd, F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return;
    if (errno == EAGAIN || errno == EACCES)
        throw inUse(nativePath, host::lockHolder(fd, kLockBytes, kLockByteCount));
    throw failures::systemFailure(errno, nativePath);
}

// The files beside a database that SQLite programs keep open while they use it.
std::vector<struct stat> databaseFiles(int databaseFd, const QString& hostDatabasePath) {
    std::vector<struct stat> files(1);
    ::fstat(databaseFd, &files.front());
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        struct stat status {};
        if (::stat(QFile::encodeName(hostDatabasePath + QLatin1String(suffix)).constData(),
                   &status) == 0)
            files.push_back(status);
    }
    return files;
}

// A program in WAL mode holds the -shm file's locks rather than the
// database's, for as long as it has the database open.
void refuseSharedMemoryInUse(const QString& hostDatabasePath, const QString& nativePath) {
    const UniqueFd shm(
        ::open(QFile::encodeName(hostDatabasePath + QStringLiteral("-shm")).constData(),
               O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!shm.valid()) return;
    if (const auto holder = host::lockHolder(shm.get())) throw inUse(nativePath, holder);
}

}  // namespace

EngineLock::EngineLock(const QString& hostDatabasePath, const QString& hostLockFilePath,
                       const QString& nativeDatabasePath, const QString& nativeLockFilePath)
    : lockFilePath_(hostLockFilePath) {
    const QByteArray databaseName = QFile::encodeName(hostDatabasePath);
    // Write locks need a descriptor open for writing; nothing is written.
    bool writable = true;
    database_.reset(::open(databaseName.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!database_.valid() && (errno == EACCES || errno == EROFS)) {
        writable = false;
        database_.reset(::open(databaseName.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    }
    if (!database_.valid()) throw host::pathFailure(errno, nativeDatabasePath);
    lockOrFail(database_.get(), nativeDatabasePath);
    lockBytesOrFail(database_.get(), writable, nativeDatabasePath);
    refuseSharedMemoryInUse(hostDatabasePath, nativeDatabasePath);
    if (const auto holder = host::openElsewhere(databaseFiles(database_.get(), hostDatabasePath)))
        throw inUse(nativeDatabasePath, holder);

    // Only now is the lock file created: a refused database leaves nothing behind.
    const QByteArray lockName = QFile::encodeName(hostLockFilePath);
    lockFile_.reset(::open(lockName.constData(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666));
    // A read-only lock file still takes a lock.
    if (!lockFile_.valid() && errno == EACCES) {
        lockFile_.reset(::open(lockName.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    }
    if (!lockFile_.valid()) throw host::pathFailure(errno, nativeLockFilePath);
    // Whoever holds it keeps it: on failure the file stays.
    lockOrFail(lockFile_.get(), nativeLockFilePath);
    databaseHold_.emplace(database_.get());
    lockFileHold_.emplace(lockFile_.get());
}

void EngineLock::forgetCachedPages() const {
    ::posix_fadvise(database_.get(), 0, 0, POSIX_FADV_DONTNEED);
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
