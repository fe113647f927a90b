#pragma once

#include <QStringList>
#include <optional>

#include "platform/Failures.h"
#include "platform/FileSystemService.h"

// A file system whose data root lists the given sub-folders in the given
// order, so tests control what the disk would choose. Holds no files.
class ScriptedFileSystem : public platform::FileSystemService {
  public:
    explicit ScriptedFileSystem(QStringList subFolders, std::optional<int> failure = {})
        : subFolders_(std::move(subFolders)), failure_(failure) {}

    platform::Folder GetFolder(const QString& path) override {
        if (failure_) throw platform::failures::make(*failure_, path);
        return {path, path.section(QLatin1Char('\\'), -1)};
    }
    std::vector<platform::Folder> SubFolders(const platform::Folder& folder) override {
        std::vector<platform::Folder> result;
        for (const QString& name : subFolders_) result.push_back({folder.path + '\\' + name, name});
        return result;
    }
    bool FileExists(const QString&) override { return false; }
    void DeleteFile(const QString& path, bool) override { refuse(path); }
    void CopyFile(const QString& source, const QString&, bool) override { refuse(source); }
    QString listFile(const QString&) override { return {}; }
    void rename(const QString& oldPath, const QString&) override { refuse(oldPath); }
    void writeNewFile(const QString& path, const QByteArray&, const QString&) override {
        refuse(path);
    }
    std::unique_ptr<platform::FolderLock> lockFolder(const QString& path) override {
        refuse(path);
        return nullptr;
    }

  private:
    [[noreturn]] static void refuse(const QString& path) {
        throw platform::failures::make(platform::failures::FileNotFound, path);
    }

    QStringList subFolders_;
    std::optional<int> failure_;
};
