#pragma once

#include <QString>
#include <optional>

#include "platform/host/OwnHolds.h"
#include "platform/host/UniqueFd.h"

namespace platform::engine {

// The engine's exclusive lock on a database, taken without waiting:
// - flock(2) on the database file and on its lock file (created if missing);
// - SQLite's own exclusive lock, as open-file-description write locks on the
//   database's lock bytes, so that SQLite programs (the product) started
//   meanwhile are told the database is locked. Unlike POSIX locks these
//   survive the engine's own connections opening and closing the file.
// Refused with failure 3356, naming the holder where it can be seen, when
// another program holds the database in any way this system shows: either
// lock, a lock on its -shm file, or the database, its -wal, -shm or -journal
// open; no file is changed then. The lock is registered as this process's own
// hold, so that the file service can still replace the database under it.
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

    // Lets the system drop the database's cached pages once the engine has
    // read them: else they are freed when the replaced file is closed, with
    // the run waiting.
    void forgetCachedPages() const;

  private:
    UniqueFd database_;
    UniqueFd lockFile_;
    QString lockFilePath_;
    // Declared after the descriptors: unregistered before they close.
    std::optional<host::OwnHold> databaseHold_;
    std::optional<host::OwnHold> lockFileHold_;
};

}  // namespace platform::engine
