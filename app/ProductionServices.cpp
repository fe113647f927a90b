#include "app/ProductionServices.h"

#include "platform/engine/DatabaseEngine.h"
#include "platform/host/HostFileSystem.h"

repair::RunServices productionServices(std::shared_ptr<const platform::DriveMap> drives) {
    auto classes = std::make_shared<platform::ClassRegistry>();
    platform::registerDatabaseEngine(*classes, drives);
    return {[drives] { return platform::makeHostFileSystem(drives); }, std::move(classes),
            [] { return QDateTime::currentDateTime(); }};
}
