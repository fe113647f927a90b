#pragma once

namespace platform {

// The class name under which the database engine is created. The run knows
// the engine by this name only.
inline constexpr char kDatabaseEngineClass[] = "DAO.DBEngine.36";

}  // namespace platform
