#pragma once

#include <QHash>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Variant.h"

namespace platform {

// An object whose methods are called by name at run time (late binding).
class AutomationObject {
  public:
    virtual ~AutomationObject() = default;
    // Calls a method by name. An unknown method fails with 438, a required
    // argument missing with 449, an argument of the wrong kind with 13.
    virtual Variant invoke(const QString& method, const std::vector<Variant>& arguments) = 0;
};

// Creates automation objects by class name, as the platform's object
// creation does. Names match without regard to letter case.
class ClassRegistry {
  public:
    using Factory = std::function<std::unique_ptr<AutomationObject>()>;

    void registerClass(const QString& className, Factory factory);
    // Fails with 429 when no class of that name is registered.
    std::unique_ptr<AutomationObject> createObject(const QString& className) const;

  private:
    QHash<QString, Factory> factories_;
};

}  // namespace platform
