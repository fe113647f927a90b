#include "platform/engine/DatabaseEngine.h"

#include "platform/LateBoundCall.h"
#include "platform/engine/CompactDatabase.h"
#include "platform/engine/ConnectString.h"
#include "platform/engine/EngineFailures.h"

namespace platform {

namespace {

// The lock file's native path: the database's with its extension replaced.
QString nativeLockFile(const QString& nativeDatabase) {
    const qsizetype nameStart = std::max(nativeDatabase.lastIndexOf(QLatin1Char('\\')),
                                         nativeDatabase.lastIndexOf(QLatin1Char('/'))) +
                                1;
    const qsizetype dot = nativeDatabase.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > nameStart ? nativeDatabase.left(dot) : nativeDatabase;
    return base + QStringLiteral(".ldb");
}

// The folder part of a path, either separator.
QString folderOf(const QString& path) {
    const qsizetype end =
        std::max(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/')));
    return end > 0 ? path.left(end) : path;
}

class DatabaseEngineObject : public AutomationObject {
  public:
    explicit DatabaseEngineObject(std::shared_ptr<const DriveMap> drives)
        : drives_(std::move(drives)) {
        methods_.add(QStringLiteral("CompactDatabase"),
                     [this](const std::vector<Variant>& arguments) {
                         compactDatabase(arguments);
                         return Variant::missing();
                     });
    }

    Variant invoke(const QString& method, const std::vector<Variant>& arguments) override {
        return methods_.invoke(method, arguments);
    }

  private:
    // CompactDatabase(SrcName, DstName, [DstLocale], [Options], [password])
    void compactDatabase(const std::vector<Variant>& arguments) {
        const LateBoundArguments read(arguments, 5);
        const QString source = read.requiredText(0);
        const QString destination = read.requiredText(1);
        const auto locale = read.optionalText(2);
        const auto options = read.optionalInteger(3);
        const auto connect = read.optionalText(4);

        // 128: the current file format, the only one there is.
        if (options && *options != 128) {
            throw engine::fail(engine::InvalidArgument, QStringLiteral("Options %1").arg(*options));
        }
        if (locale && !engine::isGeneralLocale(*locale)) {
            throw engine::fail(engine::InvalidArgument, QStringLiteral("DstLocale ") + *locale);
        }
        engine::CompactRequest request;
        request.source = drives_->toHostPath(source);
        request.destination = drives_->toHostPath(destination);
        request.lockFile = drives_->toHostPath(nativeLockFile(source));
        if (connect) request.password = engine::passwordOf(*connect);
        try {
            engine::compactDatabase(request);
        } catch (const Failure& failure) {
            // The user knows the files by their drive-letter names only.
            QString description = failure.description();
            description.replace(request.source, source)
                .replace(request.destination, destination)
                .replace(request.lockFile, nativeLockFile(source))
                .replace(folderOf(request.destination), folderOf(destination));
            throw Failure(failure.number(), description);
        }
    }

    std::shared_ptr<const DriveMap> drives_;
    MethodTable methods_;
};

}  // namespace

void registerDatabaseEngine(ClassRegistry& registry, std::shared_ptr<const DriveMap> drives) {
    registry.registerClass(QString::fromLatin1(kDatabaseEngineClass),
                           [drives] { return std::make_unique<DatabaseEngineObject>(drives); });
}

}  // namespace platform
