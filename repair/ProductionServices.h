#pragma once

#include <memory>

#include "platform/DriveMap.h"
#include "repair/RunServices.h"

namespace repair {

// The real services: the host file system and the database engine, both
// reaching the disk through the given drive map.
RunServices productionServices(std::shared_ptr<const platform::DriveMap> drives);

}  // namespace repair
