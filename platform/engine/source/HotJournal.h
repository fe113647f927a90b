#pragma once

#include <QString>

namespace platform::engine {

// A rollback journal beside the database that SQLite would call hot:
// present, not empty, its header not zeroed.
bool hasHotJournal(const QString& hostDatabase);

}  // namespace platform::engine
