#pragma once

#include <QString>

#include "platform/Failure.h"
#include "platform/sqlite/Database.h"

namespace platform::engine {

// A failure of SQLite as the platform reports it, naming `nativePath`.
Failure failureOf(const sqlite::SqliteError& error, const QString& nativePath);

}  // namespace platform::engine
