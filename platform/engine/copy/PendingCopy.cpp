#include "platform/engine/copy/PendingCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

PendingCopy::PendingCopy(const QString& hostPath, const QString& nativePath)
    : path_(hostPath), nativePath_(nativePath) {
    // Private until finished: the source's permissions are applied at the end.
    fd_.reset(::open(QFile::encodeName(hostPath).constData(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd_.valid()) {
        if (errno == EEXIST) throw fail(DestinationExists, nativePath);
        throw host::pathFailure(errno, nativePath);
    }
}

PendingCopy::~PendingCopy() {
    if (!finished_) ::unlink(QFile::encodeName(path_).constData());
}

void PendingCopy::discardContent() {
    if (::ftruncate(fd_.get(), 0) != 0) throw failures::systemFailure(errno, nativePath_);
}

void PendingCopy::startWriteback() {
    // Only a hint: finish() syncs whatever this did or did not start.
    ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void PendingCopy::finish(const struct stat& source) {
    struct stat own {};
    if (::fstat(fd_.get(), &own) != 0) throw failures::systemFailure(errno, nativePath_);
    // Owned as the source is, so the product can still write it once it
    // takes the source's place; a copy that cannot be is refused.
    if ((own.st_uid != source.st_uid || own.st_gid != source.st_gid) &&
        ::fchown(fd_.get(), source.st_uid, source.st_gid) != 0) {
        throw failures::systemFailure(errno, nativePath_);
    }
    if (::fchmod(fd_.get(), host::keptPermissionBits(source.st_mode)) != 0 ||
        ::fsync(fd_.get()) != 0) {
        throw failures::systemFailure(errno, nativePath_);
    }
    host::syncFolderOf(path_, nativePath_);
    finished_ = true;
}

}  // namespace platform::engine
