#pragma once

#include <sys/stat.h>

#include <QString>

#include "platform/host/UniqueFd.h"

namespace platform::engine {

// The destination file of a compaction, created empty and exclusively (a
// name already taken fails with 3204) and removed again unless finished.
class PendingCopy {
  public:
    PendingCopy(const QString& hostPath, const QString& nativePath);
    ~PendingCopy();
    PendingCopy(const PendingCopy&) = delete;
    PendingCopy& operator=(const PendingCopy&) = delete;

    // Empties the file again, for a copy made afresh; no connection may have
    // it open.
    void discardContent();
    // Starts writing what the file holds to disk, without waiting: the sync
    // in finish() then has less left to wait for.
    void startWriteback();

    // Gives the copy the source's owner, group and permission bits, syncs it
    // and its folder to disk, and keeps it.
    void finish(const struct stat& source);

  private:
    QString path_;
    QString nativePath_;
    UniqueFd fd_;
    bool finished_ = false;
};

}  // namespace platform::engine
