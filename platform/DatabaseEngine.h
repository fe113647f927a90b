#pragma once

#include <memory>

#include "platform/Automation.h"
#include "platform/DriveMap.h"

namespace platform {

// The class name under which the database engine is created.
inline constexpr char kDatabaseEngineClass[] = "DAO.DBEngine.36";

// Registers the database engine (SQLCipher files) under its class name; it
// reaches files through the given drive map.
void registerDatabaseEngine(ClassRegistry& registry, std::shared_ptr<const DriveMap> drives);

}  // namespace platform
