#include "platform/host/FileLocks.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/host/FileHolders.h"
#include "platform/host/HostCalls.h"
#include "platform/host/OwnHolds.h"

namespace platform {

namespace {

HeldFile failed(HeldFile::State state, int error = 0) {
    HeldFile held;
    held.state = state;
    held.error = error;
    return held;
}

HeldFile inUse(const std::optional<host::Holder>& holder) {
    HeldFile held = failed(HeldFile::State::InUse);
    held.holder = holder.value_or(host::Holder{}).describe();
    return held;
}

HeldFile lockOnce(int folderFd, const QByteArray& name) {
    struct stat status {};
    if (::fstatat(folderFd, name.constData(), &status, 0) != 0) {
        if (errno == ENOENT) return failed(HeldFile::State::Missing);
        return failed(HeldFile::State::Failed, errno);
    }
    if (!S_ISREG(status.st_mode)) return failed(HeldFile::State::NotAFile);

    HeldFile held;
    held.fd = host::duplicateOwnHold(status);
    if (!held.fd.valid()) {
        constexpr int kFlags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
        int fd = ::openat(folderFd, name.constData(), O_RDONLY | kFlags);
        // A file we may write but not read can still be locked through a write open.
        if (fd < 0 && errno == EACCES) fd = ::openat(folderFd, name.constData(), O_WRONLY | kFlags);
        if (fd < 0) {
            if (errno == ENOENT) return failed(HeldFile::State::Missing);
            return failed(HeldFile::State::Failed, errno);
        }
        held.fd.reset(fd);
    }
    if (::fstat(held.fd.get(), &held.status) != 0) return failed(HeldFile::State::Failed, errno);
    if (!S_ISREG(held.status.st_mode)) return failed(HeldFile::State::NotAFile);

    if (const int error = host::tryLock(held.fd.get(), LOCK_EX)) {
        if (error == EWOULDBLOCK) return inUse(host::openElsewhere({held.status}));
        return failed(HeldFile::State::Failed, error);
    }
    if (const auto holder = host::lockHolder(held.fd.get())) return inUse(holder);
    if (const auto holder = host::openElsewhere({held.status})) return inUse(holder);
    held.state = HeldFile::State::Locked;
    return held;
}

}  // namespace

HeldFile lockFile(int folderFd, const QByteArray& name) {
    // The name may be switched to another file between open and lock; only a
    // lock on the file the name still denotes counts.
    for (int attempt = 0; attempt < 3; ++attempt) {
        HeldFile held = lockOnce(folderFd, name);
        if (held.state != HeldFile::State::Locked || stillNamedBy(folderFd, name, held.status))
            return held;
    }
    return failed(HeldFile::State::InUse);
}

bool stillNamedBy(int folderFd, const QByteArray& name, const struct stat& status) {
    struct stat now {};
    return ::fstatat(folderFd, name.constData(), &now, 0) == 0 && host::sameFile(now, status);
}

}  // namespace platform
