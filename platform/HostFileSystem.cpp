#include "platform/HostFileSystem.h"

#include "platform/Failures.h"

namespace platform {

namespace {

// Placeholder until the host service lands: every operation fails loudly
// rather than pretending to have touched the disk.
class UnfinishedFileSystem final : public FileSystemService {
  public:
    Folder GetFolder(const QString& path) override { throw unfinished(path); }
    std::vector<Folder> SubFolders(const Folder& folder) override { throw unfinished(folder.path); }
    bool FileExists(const QString& path) override { throw unfinished(path); }
    void DeleteFile(const QString& path, bool) override { throw unfinished(path); }
    void CopyFile(const QString& source, const QString&, bool) override {
        throw unfinished(source);
    }
    QString ListFile(const QString& path) override { throw unfinished(path); }
    void Rename(const QString& oldPath, const QString&) override { throw unfinished(oldPath); }
    std::unique_ptr<FolderLock> LockFolder(const QString& path) override { throw unfinished(path); }

  private:
    static Failure unfinished(const QString& path) {
        return failures::make(failures::PathFileAccessError, path);
    }
};

}  // namespace

std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap>) {
    return std::make_unique<UnfinishedFileSystem>();
}

}  // namespace platform
