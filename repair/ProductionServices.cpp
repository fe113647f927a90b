#include "repair/ProductionServices.h"

#include "platform/DatabaseEngine.h"
#include "platform/HostFileSystem.h"

namespace repair {

RunServices productionServices(std::shared_ptr<const platform::DriveMap> drives) {
    auto classes = std::make_shared<platform::ClassRegistry>();
    platform::registerDatabaseEngine(*classes, drives);
    return {[drives] { return platform::makeHostFileSystem(drives); }, std::move(classes)};
}

}  // namespace repair
