#include "platform/host/HostFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/host/FileAttributes.h"
#include "platform/host/FileLocks.h"
#include "platform/host/HostCalls.h"
#include "platform/host/HostEntry.h"
#include "platform/host/HostFileCopy.h"
#include "platform/host/HostNewFile.h"

namespace platform {

namespace {

// The holder is named where it can be seen: the user has to know what to close.
Failure inUse(const QString& path, const QString& holder) {
    return failures::make(failures::PermissionDenied,
                          path + QLatin1String(" is in use by ") + holder);
}

// Opens and locks the file that a delete or rename is about to change.
HeldFile lockForChange(const HostEntry& entry) {
    HeldFile held = lockFile(entry.folder.get(), entry.name);
    switch (held.state) {
        case HeldFile::State::Locked:
            return held;
        case HeldFile::State::Missing:
        case HeldFile::State::NotAFile:
            throw failures::make(failures::FileNotFound, entry.nativePath);
        case HeldFile::State::InUse:
            throw inUse(entry.nativePath, held.holder);
        case HeldFile::State::Failed:
            throw failures::systemFailure(held.error, entry.nativePath);
    }
    return held;
}

QString nameOf(const QByteArray& hostPath) {
    return QFile::decodeName(hostPath.mid(hostPath.lastIndexOf('/') + 1));
}

class HostFolderLock final : public FolderLock {
  public:
    explicit HostFolderLock(UniqueFd fd) : fd_(std::move(fd)) {}

  private:
    UniqueFd fd_;
};

class HostFileSystem final : public FileSystemService {
  public:
    HostFileSystem(std::shared_ptr<const DriveMap> drives, HostFileSystemOptions options)
        : drives_(std::move(drives)), options_(std::move(options)) {}

    // A missing folder is named by its host path too: the user who sees
    // "C:\DATA" not found has to know where on this machine C: was looked for.
    Folder GetFolder(const QString& path) override {
        const QString hostPath = drives_->toHostPath(path);
        const QByteArray host = QFile::encodeName(hostPath);
        const QString where = path + QStringLiteral(" (") + hostPath + QLatin1Char(')');
        struct stat status {};
        if (::stat(host.constData(), &status) != 0) throw host::pathFailure(errno, where);
        if (!S_ISDIR(status.st_mode)) throw failures::make(failures::PathNotFound, where);
        const bool isRoot = DriveMap::components(path).isEmpty();
        return Folder{path, isRoot ? QString() : nameOf(host)};
    }

    // A symbolic link counts as a sub-folder when it resolves to a folder, as
    // the original platform lists a junction among the sub-folders.
    std::vector<Folder> SubFolders(const Folder& folder) override {
        const QByteArray host = QFile::encodeName(drives_->toHostPath(folder.path));
        DIR* dir = ::opendir(host.constData());
        if (!dir) throw host::pathFailure(errno, folder.path);
        const QString prefix =
            folder.path.endsWith(QLatin1Char('\\')) || folder.path.endsWith(QLatin1Char('/'))
                ? folder.path
                : folder.path + QLatin1Char('\\');
        std::vector<Folder> folders;
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..") continue;
            bool isFolder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
                struct stat status {};
                isFolder = ::fstatat(::dirfd(dir), entry->d_name, &status, 0) == 0 &&
                           S_ISDIR(status.st_mode);
            }
            if (isFolder) {
                const QString decoded = QFile::decodeName(name);
                folders.push_back(Folder{prefix + decoded, decoded});
            }
            errno = 0;
        }
        const int error = errno;
        ::closedir(dir);
        if (error != 0) throw failures::systemFailure(error, folder.path);
        return folders;
    }

    bool FileExists(const QString& path) override {
        const auto found = findFile(path);
        return found.has_value();
    }

    QString listFile(const QString& path) override {
        const auto found = findFile(path);
        if (!found) return {};
        const FileAttributes attributes = attributesOf(found->hostPath, found->status.st_mode);
        if (attributes.hidden || attributes.system) return {};
        return nameOf(found->hostPath);
    }

    void DeleteFile(const QString& path, bool force) override {
        const HostEntry entry = openHostEntry(*drives_, path);
        const HeldFile held = lockForChange(entry);
        if (!force && attributesOf(entry.hostPath, held.status.st_mode).readOnly)
            throw failures::make(failures::PermissionDenied, path + QLatin1String(" is read-only"));
        if (::unlinkat(entry.folder.get(), entry.name.constData(), 0) != 0)
            throw failures::systemFailure(errno, path);
        host::syncFolder(entry.folder.get(), path);
    }

    void CopyFile(const QString& source, const QString& destination, bool overWriteFiles) override {
        copyHostFile(*drives_, source, destination, overWriteFiles, options_.copyWriteFault);
    }

    void rename(const QString& oldPath, const QString& newPath) override {
        const HostEntry from = openHostEntry(*drives_, oldPath);
        const HostEntry to = openHostEntry(*drives_, newPath);
        const HeldFile held = lockForChange(from);
        QByteArray newName = to.name;
        if (isSameEntry(from, to)) {
            // Only the letter case changes: the new name is the one written.
            newName = QFile::encodeName(DriveMap::components(newPath).constLast());
            if (newName == from.name) return;
        }
        if (const int error =
                renameNoReplace(from.folder.get(), from.name, to.folder.get(), newName)) {
            if (error == EEXIST) throw failures::make(failures::FileAlreadyExists, newPath);
            throw failures::systemFailure(error, newPath);
        }
        host::syncFolder(to.folder.get(), newPath);
        if (!isSameFolder(from, to)) host::syncFolder(from.folder.get(), oldPath);
    }

    void writeNewFile(const QString& path, const QByteArray& bytes,
                      const QString& likeFile) override {
        writeNewHostFile(*drives_, path, bytes, likeFile);
    }

    std::unique_ptr<FolderLock> lockFolder(const QString& path) override {
        const QByteArray host = QFile::encodeName(drives_->toHostPath(path));
        UniqueFd fd(::open(host.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid()) throw host::pathFailure(errno, path);
        if (const int error = host::tryLock(fd.get(), LOCK_EX)) {
            if (error == EWOULDBLOCK) throw inUse(path, QStringLiteral("another repair run"));
            throw failures::systemFailure(error, path);
        }
        return std::make_unique<HostFolderLock>(std::move(fd));
    }

  private:
    struct FoundFile {
        QByteArray hostPath;
        struct stat status;
    };

    // The regular file a path names, if any. A path into a missing folder or
    // onto an unknown drive finds nothing; other trouble is a failure.
    std::optional<FoundFile> findFile(const QString& path) const {
        FoundFile found{};
        try {
            found.hostPath = QFile::encodeName(drives_->toHostPath(path));
        } catch (const Failure& failure) {
            if (failure.number() == failures::PathNotFound) return std::nullopt;
            throw;
        }
        if (DriveMap::components(path).isEmpty()) return std::nullopt;
        if (::stat(found.hostPath.constData(), &found.status) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG)
                return std::nullopt;
            throw failures::systemFailure(errno, path);
        }
        if (!S_ISREG(found.status.st_mode)) return std::nullopt;
        return found;
    }

    static bool isSameFolder(const HostEntry& a, const HostEntry& b) {
        struct stat first {
        }, second{};
        return ::fstat(a.folder.get(), &first) == 0 && ::fstat(b.folder.get(), &second) == 0 &&
               host::sameFile(first, second);
    }

    static bool isSameEntry(const HostEntry& a, const HostEntry& b) {
        return a.name == b.name && isSameFolder(a, b);
    }

    std::shared_ptr<const DriveMap> drives_;
    HostFileSystemOptions options_;
};

}  // namespace

std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap> drives) {
    return makeHostFileSystem(std::move(drives), HostFileSystemOptions{});
}

std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap> drives,
                                                      const HostFileSystemOptions& options) {
    return std::make_unique<HostFileSystem>(std::move(drives), options);
}

}  // namespace platform
