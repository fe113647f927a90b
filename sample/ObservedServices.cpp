#include "sample/ObservedServices.h"

#include <memory>
#include <mutex>

#include "platform/DatabaseEngineClass.h"

namespace sample {

namespace {

using platform::Folder;

class ObservedFileSystem : public platform::FileSystemService {
  public:
    ObservedFileSystem(std::unique_ptr<platform::FileSystemService> inner, Observer observer)
        : inner_(std::move(inner)), observe_(std::move(observer)) {}

    Folder GetFolder(const QString& path) override {
        observe_(QStringLiteral("GetFolder"), path);
        return inner_->GetFolder(path);
    }
    std::vector<Folder> SubFolders(const Folder& folder) override {
        observe_(QStringLiteral("SubFolders"), folder.path);
        return inner_->SubFolders(folder);
    }
    bool FileExists(const QString& path) override {
        observe_(QStringLiteral("FileExists"), path);
        return inner_->FileExists(path);
    }
    void DeleteFile(const QString& path, bool force) override {
        observe_(QStringLiteral("DeleteFile"), path);
        inner_->DeleteFile(path, force);
    }
    void CopyFile(const QString& source, const QString& destination, bool overWrite) override {
        observe_(QStringLiteral("CopyFile"), source);
        inner_->CopyFile(source, destination, overWrite);
    }
    QString listFile(const QString& path) override {
        observe_(QStringLiteral("listFile"), path);
        return inner_->listFile(path);
    }
    void rename(const QString& oldPath, const QString& newPath) override {
        observe_(QStringLiteral("rename"), oldPath);
        inner_->rename(oldPath, newPath);
    }
    void writeNewFile(const QString& path, const QByteArray& bytes,
                      const QString& likeFile) override {
        observe_(QStringLiteral("writeNewFile"), path);
        inner_->writeNewFile(path, bytes, likeFile);
    }
    std::unique_ptr<platform::FolderLock> lockFolder(const QString& path) override {
        observe_(QStringLiteral("lockFolder"), path);
        return inner_->lockFolder(path);
    }

  private:
    std::unique_ptr<platform::FileSystemService> inner_;
    Observer observe_;
};

class ObservedObject : public platform::AutomationObject {
  public:
    ObservedObject(std::unique_ptr<platform::AutomationObject> inner, Observer observer)
        : inner_(std::move(inner)), observe_(std::move(observer)) {}

    platform::Variant invoke(const QString& method,
                             const std::vector<platform::Variant>& arguments) override {
        const bool firstIsText = !arguments.empty() && arguments[0].holds<QString>();
        observe_(method, firstIsText ? arguments[0].get<QString>() : QString());
        return inner_->invoke(method, arguments);
    }

  private:
    std::unique_ptr<platform::AutomationObject> inner_;
    Observer observe_;
};

}  // namespace

repair::RunServices observeServices(repair::RunServices inner, Observer unserialised) {
    // The run backs up on one thread while the engine works on another: the
    // observer sees one operation at a time.
    Observer observer = [unserialised = std::move(unserialised),
                         mutex = std::make_shared<std::mutex>()](const QString& operation,
                                                                 const QString& argument) {
        const std::lock_guard guard(*mutex);
        unserialised(operation, argument);
    };
    auto classes = std::make_shared<platform::ClassRegistry>();
    const QString engineClass = QString::fromLatin1(platform::kDatabaseEngineClass);
    classes->registerClass(engineClass, [inner = inner.classes, observer, engineClass] {
        observer(QStringLiteral("CreateObject"), engineClass);
        return std::unique_ptr<platform::AutomationObject>(
            std::make_unique<ObservedObject>(inner->createObject(engineClass), observer));
    });
    auto makeFileSystem = [make = std::move(inner.makeFileSystem), observer] {
        return std::unique_ptr<platform::FileSystemService>(
            std::make_unique<ObservedFileSystem>(make(), observer));
    };
    return {std::move(makeFileSystem), std::move(classes), std::move(inner.now)};
}

}  // namespace sample
