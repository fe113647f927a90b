#include "platform/host/HostFileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/host/FileAttributes.h"
#include "platform/host/FileLocks.h"
#include "platform/host/HostCalls.h"
#include "platform/host/HostEntry.h"

namespace platform {

namespace {

// The new file while it is being written; removed unless committed.
class TemporaryFile {
  public:
    TemporaryFile(int folderFd, const QString& destination) : folder_(folderFd) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = QByteArray(".~copy-") +
                    QByteArray::number(QRandomGenerator::global()->generate64(), 16) + ".tmp";
            const int fd =
                ::openat(folder_, name_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd >= 0) {
                fd_.reset(fd);
                return;
            }
            if (errno != EEXIST) throw failures::systemFailure(errno, destination);
        }
        throw failures::systemFailure(EEXIST, destination);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        fd_.reset();
        if (!committed_) ::unlinkat(folder_, name_.constData(), 0);
    }

    int fd() const { return fd_.get(); }
    const QByteArray& name() const { return name_; }
    int close() { return fd_.close(); }
    void committed() { committed_ = true; }

  private:
    int folder_;
    QByteArray name_;
    UniqueFd fd_;
    bool committed_ = false;
};

struct OpenSource {
    UniqueFd fd;
    struct stat status {};
};

OpenSource openSource(const DriveMap& drives, const QString& source) {
    const HostEntry entry = openHostEntry(drives, source);
    OpenSource opened;
    // Only regular files are opened: opening a device can have effects of its own.
    if (::fstatat(entry.folder.get(), entry.name.constData(), &opened.status, 0) != 0) {
        if (errno == ENOENT) throw failures::make(failures::FileNotFound, source);
        throw failures::systemFailure(errno, source);
    }
    if (!S_ISREG(opened.status.st_mode)) throw failures::make(failures::FileNotFound, source);
    const int fd = ::openat(entry.folder.get(), entry.name.constData(),
                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) throw failures::make(failures::FileNotFound, source);
        throw failures::systemFailure(errno, source);
    }
    opened.fd.reset(fd);
    if (::fstat(fd, &opened.status) != 0) throw failures::systemFailure(errno, source);
    if (!S_ISREG(opened.status.st_mode)) throw failures::make(failures::FileNotFound, source);
    return opened;
}

Failure permissionDenied(const QString& path, const char* reason) {
    return failures::make(failures::PermissionDenied, path + QLatin1String(reason));
}

// What stands at the destination's name before the copy.
struct Destination {
    enum class Kind { Absent, Link, File } kind = Kind::Absent;
    HeldFile held;  // the file's lock, when a file stands there
};

// Checks that the destination may be replaced and, when it is a file, locks it
// so that no one starts using it before the new file takes its name.
Destination claimDestination(const HostEntry& to, bool overWriteFiles) {
    const QString& path = to.nativePath;
    const int folder = to.folder.get();
    Destination found;
    struct stat target {};
    if (::fstatat(folder, to.name.constData(), &target, 0) != 0) {
        if (errno != ENOENT) throw failures::systemFailure(errno, path);
        // A dangling link is an entry too: it is replaced like a file.
        struct stat link {};
        if (::fstatat(folder, to.name.constData(), &link, AT_SYMLINK_NOFOLLOW) != 0) return found;
        if (!overWriteFiles) throw failures::make(failures::FileAlreadyExists, path);
        found.kind = Destination::Kind::Link;
        return found;
    }
    if (S_ISDIR(target.st_mode)) throw permissionDenied(path, " is a folder");
    if (!overWriteFiles) throw failures::make(failures::FileAlreadyExists, path);
    if (!S_ISREG(target.st_mode)) throw permissionDenied(path, " is not a file");
    if (attributesOf(to.hostPath, target.st_mode).readOnly)
        throw permissionDenied(path, " is read-only");
    found.held = lockFile(folder, to.name);
    switch (found.held.state) {
        case HeldFile::State::Locked:
            found.kind = Destination::Kind::File;
            break;
        case HeldFile::State::Missing:
            break;  // gone meanwhile: nothing to protect
        case HeldFile::State::InUse:
            throw failures::make(failures::PermissionDenied,
                                 path + QLatin1String(" is in use by ") + found.held.holder);
        case HeldFile::State::NotAFile:
            throw permissionDenied(path, " is not a file");
        case HeldFile::State::Failed:
            throw failures::systemFailure(found.held.error, path);
    }
    return found;
}

// Gives the finished copy the destination's name.
void moveIntoPlace(const TemporaryFile& copy, const HostEntry& to, const Destination& found) {
    const QString& path = to.nativePath;
    const int folder = to.folder.get();
    if (found.kind == Destination::Kind::Absent) {
        // Whoever created the name meanwhile keeps it.
        if (const int error = renameNoReplace(folder, copy.name(), folder, to.name)) {
            if (error == EEXIST) throw failures::make(failures::FileAlreadyExists, path);
            throw failures::systemFailure(error, path);
        }
        return;
    }
    if (found.kind == Destination::Kind::File && !stillNamedBy(folder, to.name, found.held.status))
        throw permissionDenied(path, " was changed by another program during the copy");
    if (::renameat(folder, copy.name().constData(), folder, to.name.constData()) != 0)
        throw failures::systemFailure(errno, path);
}

}  // namespace

void copyHostFile(const DriveMap& drives, const QString& source, const QString& destination,
                  bool overWriteFiles, const std::optional<WriteFault>& fault) {
    const OpenSource from = openSource(drives, source);
    const HostEntry to = openHostEntry(drives, destination);
    const Destination found = claimDestination(to, overWriteFiles);
    const int folder = to.folder.get();

    TemporaryFile copy(folder, destination);
    if (const int error = copyContents(from.fd.get(), copy.fd(), fault))
        throw failures::systemFailure(error, destination);
    if (::fchmod(copy.fd(), host::keptPermissionBits(from.status.st_mode)) != 0 ||
        ::fsync(copy.fd()) != 0)
        throw failures::systemFailure(errno, destination);
    // A copy is kept for a later day (a backup, most of all): its pages need
    // not stay cached, and freeing them now costs nothing when it is deleted.
    ::posix_fadvise(copy.fd(), 0, 0, POSIX_FADV_DONTNEED);
    if (copy.close() != 0) throw failures::systemFailure(errno, destination);
    moveIntoPlace(copy, to, found);
    copy.committed();
    host::syncFolder(folder, destination);
}

}  // namespace platform
