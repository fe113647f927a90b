#include "platform/host/FileHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <memory>

#include "platform/host/HostCalls.h"

namespace platform::host {

namespace {

using Dir = std::unique_ptr<DIR, int (*)(DIR*)>;

Dir openDir(const QByteArray& path) {
    return Dir(::opendir(path.constData()), &::closedir);
}

Holder holderOf(pid_t pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    QString program;
    if (comm.open(QIODevice::ReadOnly)) program = QString::fromUtf8(comm.readAll()).trimmed();
    return Holder{pid, program.isEmpty() ? QStringLiteral("a program") : program};
}

bool isOneOf(const struct stat& status, const std::vector<struct stat>& files) {
    for (const struct stat& file : files) {
        if (sameFile(status, file)) return true;
    }
    return false;
}

bool hasOpen(const QByteArray& processDir, const std::vector<struct stat>& files) {
    const Dir fds = openDir(processDir + "/fd");
    // Another user's process, or one that has just ended.
    if (!fds) return false;
    while (const dirent* entry = ::readdir(fds.get())) {
        if (entry->d_name[0] == '.') continue;
        // Only descriptors of files on a path; sockets, pipes and the like
        // are skipped before they are looked at.
        char target[16];
        const ssize_t length =
            ::readlinkat(::dirfd(fds.get()), entry->d_name, target, sizeof target);
        if (length <= 0 || target[0] != '/') continue;
        struct stat status {};
        if (::fstatat(::dirfd(fds.get()), entry->d_name, &status, 0) == 0 && isOneOf(status, files))
            return true;
    }
    return false;
}

}  // namespace

QString Holder::describe() const {
    if (pid <= 0) return QStringLiteral("another program");
    return QStringLiteral("%1 (pid %2)").arg(program).arg(pid);
}

std::optional<Holder> lockHolder(int fd, off_t start, off_t length) {
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = start;
    probe.l_len = length;
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return std::nullopt;
    // A POSIX lock names its process; an open-file-description lock does not
    // (-1), but its holder normally still has the file open.
    if (probe.l_pid > 0) return holderOf(probe.l_pid);
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
        if (auto opener = openElsewhere({status})) return opener;
    }
    return Holder{};
}

std::optional<Holder> openElsewhere(const std::vector<struct stat>& files) {
    if (files.empty()) return std::nullopt;
    const Dir processes = openDir("/proc");
    if (!processes) return std::nullopt;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(processes.get())) {
        bool ok = false;
        const pid_t pid = pid_t(QByteArray(entry->d_name).toLong(&ok));
        if (!ok || pid <= 0 || pid == self) continue;
        if (hasOpen(QByteArray("/proc/") + entry->d_name, files)) return holderOf(pid);
    }
    return std::nullopt;
}

}  // namespace platform::host
