#pragma once

#include <memory>

#include "platform/DriveMap.h"
#include "repair/RunServices.h"

// The real services: the host file system and the database engine, both
// reaching the disk through the given drive map.
repair::RunServices productionServices(std::shared_ptr<const platform::DriveMap> drives);

// The same on the drives of the Wine prefix, as Windows programs on Linux see
// their C: drive.
inline repair::RunServices productionServices() {
    return productionServices(platform::DriveMap::fromWinePrefix());
}
