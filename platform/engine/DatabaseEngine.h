#pragma once

#include <memory>

#include "platform/Automation.h"
#include "platform/DatabaseEngineClass.h"
#include "platform/DriveMap.h"

namespace platform {

// Registers the database engine (SQLCipher files) under its class name; it
// reaches files through the given drive map.
void registerDatabaseEngine(ClassRegistry& registry, std::shared_ptr<const DriveMap> drives);

}  // namespace platform
