#include "platform/engine/DatabaseEngine.h"

#include "platform/Failures.h"
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

// One problem of the last operation: Number and Description.
class EngineError : public AutomationObject {
  public:
    explicit EngineError(Failure failure) : failure_(std::move(failure)) {
        properties_.add(QStringLiteral("Number"), [this](const std::vector<Variant>& arguments) {
            LateBoundArguments(arguments, 0);
            return Variant::int32(failure_.number());
        });
        properties_.add(QStringLiteral("Description"),
                        [this](const std::vector<Variant>& arguments) {
                            LateBoundArguments(arguments, 0);
                            return Variant::text(failure_.description());
                        });
    }
    Variant invoke(const QString& name, const std::vector<Variant>& arguments) override {
        return properties_.invoke(name, arguments);
    }

  private:
    Failure failure_;
    MethodTable properties_;
};

// The problems of the engine's last operation, as Data Access Objects keep
// them: Count, and Item(index) from 0.
class EngineErrors : public AutomationObject {
  public:
    explicit EngineErrors(std::vector<Failure> errors) : errors_(std::move(errors)) {
        methods_.add(QStringLiteral("Count"), [this](const std::vector<Variant>& arguments) {
            LateBoundArguments(arguments, 0);
            return Variant::int32(std::int32_t(errors_.size()));
        });
        methods_.add(QStringLiteral("Item"), [this](const std::vector<Variant>& arguments) {
            const auto index = LateBoundArguments(arguments, 1).optionalInteger(0);
            if (!index) throw failures::make(failures::ArgumentNotOptional, QStringLiteral("Item"));
            if (*index < 0 || std::size_t(*index) >= errors_.size()) {
                throw failures::make(failures::InvalidProcedureCall, QStringLiteral("Item"));
            }
            return Variant::object(std::make_shared<EngineError>(errors_[std::size_t(*index)]));
        });
    }
    Variant invoke(const QString& name, const std::vector<Variant>& arguments) override {
        return methods_.invoke(name, arguments);
    }

  private:
    std::vector<Failure> errors_;
    MethodTable methods_;
};

class DatabaseEngineObject : public AutomationObject {
  public:
    explicit DatabaseEngineObject(std::shared_ptr<const DriveMap> drives)
        : drives_(std::move(drives)) {
        methods_.add(QStringLiteral("CompactDatabase"),
                     [this](const std::vector<Variant>& arguments) {
                         compactDatabase(arguments);
                         return Variant::missing();
                     });
        methods_.add(QStringLiteral("Errors"), [this](const std::vector<Variant>& arguments) {
            LateBoundArguments(arguments, 0);
            return Variant::object(std::make_shared<EngineErrors>(errors_));
        });
    }

    Variant invoke(const QString& method, const std::vector<Variant>& arguments) override {
        return methods_.invoke(method, arguments);
    }

  private:
    // CompactDatabase(SrcName, DstName, [DstLocale], [Options], [password])
    void compactDatabase(const std::vector<Variant>& arguments) {
        errors_.clear();
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
        request.nativeSource = source;
        request.nativeDestination = destination;
        request.nativeLockFile = nativeLockFile(source);
        request.source = drives_->toHostPath(source);
        request.destination = drives_->toHostPath(destination);
        request.lockFile = drives_->toHostPath(request.nativeLockFile);
        if (connect) request.password = engine::passwordOf(*connect);
        const engine::CompactResult result = engine::compactDatabase(request);
        if (result.repaired) {
            errors_.push_back(Failure(
                engine::DatabaseCorrupt,
                QStringLiteral("The database was damaged and has been repaired; what lay on "
                               "%1 unreadable pages could not be recovered (%2 rows known "
                               "lost): %3")
                    .arg(result.badPages)
                    .arg(result.rowsDropped)
                    .arg(source)));
        }
    }

    std::shared_ptr<const DriveMap> drives_;
    MethodTable methods_;
    std::vector<Failure> errors_;
};

}  // namespace

void registerDatabaseEngine(ClassRegistry& registry, std::shared_ptr<const DriveMap> drives) {
    registry.registerClass(QString::fromLatin1(kDatabaseEngineClass),
                           [drives] { return std::make_unique<DatabaseEngineObject>(drives); });
}

}  // namespace platform
