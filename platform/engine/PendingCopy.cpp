#include "platform/engine/PendingCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"

namespace platform::engine {

namespace {
[[noreturn]] void failWithErrno(int error, const QString& path) {
    // A missing folder on the way, not a missing file.
    if (error == ENOENT) throw failures::make(failures::PathNotFound, path);
    throw failures::make(failures::fromErrno(error), path);
}

void syncFolderOf(const QString& path) {
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) failWithErrno(errno, path);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0 && error != EINVAL) failWithErrno(error, path);
}
}  // namespace

PendingCopy::PendingCopy(const QString& hostPath) : path_(hostPath) {
    // Private until finished: the source's permissions are applied at the end.
    fd_ = ::open(QFile::encodeName(hostPath).constData(),
                 O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        if (errno == EEXIST) throw fail(DestinationExists, hostPath);
        failWithErrno(errno, hostPath);
    }
}

PendingCopy::~PendingCopy() {
    if (!finished_) ::unlink(QFile::encodeName(path_).constData());
    ::close(fd_);
}

void PendingCopy::clear() {
    if (::ftruncate(fd_, 0) != 0) failWithErrno(errno, path_);
}

void PendingCopy::finish(const struct stat& source) {
    struct stat own {};
    if (::fstat(fd_, &own) != 0) failWithErrno(errno, path_);
    // Owned as the source is, so the product can still write it once it
    // takes the source's place; a copy that cannot be is refused.
    if ((own.st_uid != source.st_uid || own.st_gid != source.st_gid) &&
        ::fchown(fd_, source.st_uid, source.st_gid) != 0) {
        failWithErrno(errno, path_);
    }
    if (::fchmod(fd_, source.st_mode & 07777) != 0) failWithErrno(errno, path_);
    if (::fsync(fd_) != 0) failWithErrno(errno, path_);
    syncFolderOf(path_);
    finished_ = true;
}

}  // namespace platform::engine
