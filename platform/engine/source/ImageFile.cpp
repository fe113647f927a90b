#include "platform/engine/source/ImageFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "platform/Failures.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

UniqueFd privateFile(const QString& hostFolder, const QString& nativeFolder) {
    const QByteArray folder = QFile::encodeName(hostFolder);
    UniqueFd fd(::open(folder.constData(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (fd.valid()) return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw host::pathFailure(errno, nativeFolder);
    }
    QByteArray name = folder + "/.compact-XXXXXX";
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) throw host::pathFailure(errno, nativeFolder);
    ::unlink(name.constData());
    return fd;
}

void readAt(int fd, unsigned char* buffer, std::size_t size, std::int64_t offset,
            const QString& nativePath) {
    const std::int64_t got = host::readFully(fd, buffer, size, offset);
    if (got < 0) throw failures::systemFailure(errno, nativePath);
    std::memset(buffer + got, 0, size - std::size_t(got));
}

void writeAt(int fd, const unsigned char* buffer, std::size_t size, std::int64_t offset,
             const QString& nativePath) {
    if (host::writeFully(fd, buffer, size, offset) < 0) {
        throw failures::systemFailure(errno, nativePath);
    }
}

}  // namespace platform::engine
