#include "platform/engine/EngineErrors.h"

#include "platform/Failures.h"
#include "platform/LateBoundCall.h"

namespace platform::engine {

namespace {

// One problem of the last operation: Number and Description, and the
// properties that say more about it.
class EngineError : public AutomationObject {
  public:
    explicit EngineError(EngineProblem problem)
        : failure_(std::move(problem.failure)), details_(std::move(problem.details)) {
        for (auto detail = details_.cbegin(); detail != details_.cend(); ++detail) {
            const Variant value = detail.value();
            properties_.add(detail.key(), [value](const std::vector<Variant>& arguments) {
                LateBoundArguments(arguments, 0);
                return value;
            });
        }
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
    QHash<QString, Variant> details_;
    MethodTable properties_;
};

// The problems of the engine's last operation, as Data Access Objects keep
// them: Count, and Item(index) from 0.
class EngineErrors : public AutomationObject {
  public:
    explicit EngineErrors(std::vector<EngineProblem> errors) : errors_(std::move(errors)) {
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
    std::vector<EngineProblem> errors_;
    MethodTable methods_;
};

}  // namespace

std::shared_ptr<AutomationObject> makeEngineErrors(std::vector<EngineProblem> errors) {
    return std::make_shared<EngineErrors>(std::move(errors));
}

}  // namespace platform::engine
