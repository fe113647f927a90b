#include "platform/host/HostEntry.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdio>

#include "platform/Failures.h"
#include "platform/host/HostCalls.h"

namespace platform {

HostEntry openHostEntry(const DriveMap& drives, const QString& nativePath) {
    HostEntry entry;
    entry.nativePath = nativePath;
    const bool isRoot = DriveMap::components(nativePath).isEmpty();
    entry.hostPath = QFile::encodeName(drives.toHostPath(nativePath));
    QByteArray folderPath = entry.hostPath;
    if (isRoot) {
        entry.name = ".";
    } else {
        const qsizetype slash = entry.hostPath.lastIndexOf('/');
        entry.name = entry.hostPath.mid(slash + 1);
        folderPath = slash == 0 ? QByteArray("/") : entry.hostPath.left(slash);
    }
    const int fd = ::open(folderPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw host::pathFailure(errno, nativePath);
    entry.folder.reset(fd);
    return entry;
}

int renameNoReplace(int fromFolder, const QByteArray& fromName, int toFolder,
                    const QByteArray& toName) {
    if (::renameat2(fromFolder, fromName.constData(), toFolder, toName.constData(),
                    RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the no-replace flag: a hard link fails on a taken
    // name just the same, then the old name goes.
    if (::linkat(fromFolder, fromName.constData(), toFolder, toName.constData(), 0) != 0)
        return errno;
    if (::unlinkat(fromFolder, fromName.constData(), 0) != 0) {
        const int error = errno;
        ::unlinkat(toFolder, toName.constData(), 0);
        return error;
    }
    return 0;
}

}  // namespace platform
