#include "platform/host/HostCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/host/UniqueFd.h"

namespace platform::host {

Failure pathFailure(int error, const QString& nativePath) {
    if (error == ENOENT || error == ENOTDIR)
        return failures::make(failures::PathNotFound, nativePath);
    return failures::systemFailure(error, nativePath);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int tryLock(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

void syncFolder(int folderFd, const QString& nativePath) {
    if (::fsync(folderFd) != 0 && errno != EINVAL) throw failures::systemFailure(errno, nativePath);
}

void syncFolderOf(const QString& hostFilePath, const QString& nativePath) {
    const QByteArray folder = QFile::encodeName(QFileInfo(hostFilePath).absolutePath());
    const UniqueFd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) throw pathFailure(errno, nativePath);
    syncFolder(fd.get(), nativePath);
}

std::int64_t readFully(int fd, void* buffer, std::size_t size, std::int64_t offset) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd, out + done, size - done, off_t(offset + std::int64_t(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += std::size_t(got);
    }
    return std::int64_t(done);
}

std::int64_t writeFully(int fd, const void* buffer, std::size_t size, std::int64_t offset) {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put =
            ::pwrite(fd, in + done, size - done, off_t(offset + std::int64_t(done)));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return -1;
        done += std::size_t(put);
    }
    return std::int64_t(done);
}

}  // namespace platform::host
