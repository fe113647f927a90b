#pragma once

#include <QString>

#include "platform/host/UniqueFd.h"

namespace platform::engine {

// The engine's exclusive lock on a database: flock(2) on the database file and
// on its lock file (created if missing), both taken without waiting. Refused
// when any other open file holds either: failure 3356, and no file changed.
// On release the lock file is removed while still held (and only if its name
// still denotes the file locked here), so a lock file someone else holds is
// never removed. Failures name the files by their native paths.
class EngineLock {
  public:
    EngineLock(const QString& hostDatabasePath, const QString& hostLockFilePath,
               const QString& nativeDatabasePath, const QString& nativeLockFilePath);
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;

  private:
    UniqueFd database_;
    UniqueFd lockFile_;
    QString lockFilePath_;
};

}  // namespace platform::engine
