#pragma once

#include <QHash>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/Variant.h"

namespace platform {

// The methods of an automation object by name, matched without regard to
// letter case. Calling a name it lacks fails with 438.
class MethodTable {
  public:
    using Method = std::function<Variant(const std::vector<Variant>&)>;

    void add(const QString& name, Method method);
    Variant invoke(const QString& name, const std::vector<Variant>& arguments) const;

  private:
    QHash<QString, Method> methods_;
};

// The positional arguments of one late-bound call. More arguments than the
// method takes fail with 450; a required one missing with 449; one of the
// wrong kind with 13. Both integer kinds serve where an integer is wanted.
class LateBoundArguments {
  public:
    LateBoundArguments(const std::vector<Variant>& arguments, std::size_t parameterCount);

    QString requiredText(std::size_t index) const;
    std::optional<QString> optionalText(std::size_t index) const;
    std::optional<std::int32_t> optionalInteger(std::size_t index) const;

  private:
    const Variant* at(std::size_t index) const;

    const std::vector<Variant>& arguments_;
};

}  // namespace platform
