#include "platform/LateBoundCall.h"

#include "platform/Failures.h"

namespace platform {

namespace {
Failure wrongKind(std::size_t index) {
    return failures::make(failures::TypeMismatch,
                          QStringLiteral("argument %1").arg(qulonglong(index + 1)));
}
}  // namespace

void MethodTable::add(const QString& name, Method method) {
    methods_.insert(name.toCaseFolded(), std::move(method));
}

Variant MethodTable::invoke(const QString& name, const std::vector<Variant>& arguments) const {
    const auto found = methods_.constFind(name.toCaseFolded());
    if (found == methods_.constEnd()) throw failures::make(failures::MethodNotSupported, name);
    return (*found)(arguments);
}

LateBoundArguments::LateBoundArguments(const std::vector<Variant>& arguments,
                                       std::size_t parameterCount)
    : arguments_(arguments) {
    if (arguments.size() > parameterCount) {
        throw failures::make(failures::WrongArgumentCount);
    }
}

const Variant* LateBoundArguments::at(std::size_t index) const {
    if (index >= arguments_.size() || arguments_[index].isMissing()) return nullptr;
    return &arguments_[index];
}

QString LateBoundArguments::requiredText(std::size_t index) const {
    const Variant* value = at(index);
    if (!value) {
        throw failures::make(failures::ArgumentNotOptional,
                             QStringLiteral("argument %1").arg(qulonglong(index + 1)));
    }
    if (!value->holds<QString>()) throw wrongKind(index);
    return value->get<QString>();
}

std::optional<QString> LateBoundArguments::optionalText(std::size_t index) const {
    const Variant* value = at(index);
    if (!value) return std::nullopt;
    if (!value->holds<QString>()) throw wrongKind(index);
    return value->get<QString>();
}

std::optional<std::int32_t> LateBoundArguments::optionalInteger(std::size_t index) const {
    const Variant* value = at(index);
    if (!value) return std::nullopt;
    if (value->holds<std::int16_t>()) return value->get<std::int16_t>();
    if (value->holds<std::int32_t>()) return value->get<std::int32_t>();
    throw wrongKind(index);
}

}  // namespace platform
