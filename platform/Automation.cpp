#include "platform/Automation.h"

#include "platform/Failures.h"

namespace platform {

void ClassRegistry::registerClass(const QString& className, Factory factory) {
    factories_.insert(className.toCaseFolded(), std::move(factory));
}

std::unique_ptr<AutomationObject> ClassRegistry::createObject(const QString& className) const {
    const auto found = factories_.constFind(className.toCaseFolded());
    if (found == factories_.constEnd()) {
        throw failures::make(failures::CannotCreateObject, className);
    }
    return (*found)();
}

}  // namespace platform
