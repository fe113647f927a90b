#include "platform/host/HostNewFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Failures.h"
#include "platform/host/HostCalls.h"
#include "platform/host/HostEntry.h"

namespace platform {

void writeNewHostFile(const DriveMap& drives, const QString& path, const QByteArray& bytes,
                      const QString& likeFile) {
    const HostEntry model = openHostEntry(drives, likeFile);
    struct stat like {};
    if (::fstatat(model.folder.get(), model.name.constData(), &like, 0) != 0)
        throw host::pathFailure(errno, likeFile);
    const HostEntry entry = openHostEntry(drives, path);
    const int folder = entry.folder.get();
    UniqueFd fd(::openat(folder, entry.name.constData(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        if (errno == EEXIST) throw failures::make(failures::FileAlreadyExists, path);
        throw host::pathFailure(errno, path);
    }
    struct stat own {};
    const bool written =
        host::writeFully(fd.get(), bytes.constData(), std::size_t(bytes.size()), 0) >= 0 &&
        ::fstat(fd.get(), &own) == 0 &&
        ((own.st_uid == like.st_uid && own.st_gid == like.st_gid) ||
         ::fchown(fd.get(), like.st_uid, like.st_gid) == 0) &&
        ::fchmod(fd.get(), host::keptPermissionBits(like.st_mode)) == 0 && ::fsync(fd.get()) == 0;
    if (!written) {
        const int error = errno;
        ::unlinkat(folder, entry.name.constData(), 0);
        throw failures::systemFailure(error, path);
    }
    host::syncFolder(folder, path);
}

}  // namespace platform
