#pragma once

#include <sys/stat.h>

#include <QString>

namespace platform::engine {

// The destination file of a compaction, created empty and exclusively (a
// name already taken fails with 3204) and removed again unless finished.
class PendingCopy {
  public:
    explicit PendingCopy(const QString& hostPath);
    ~PendingCopy();
    PendingCopy(const PendingCopy&) = delete;
    PendingCopy& operator=(const PendingCopy&) = delete;

    // Empties the file for a fresh start.
    void clear();
    // Gives the copy the source's owner, group and permission bits, syncs it
    // and its folder to disk, and keeps it.
    void finish(const struct stat& source);

  private:
    QString path_;
    int fd_ = -1;
    bool finished_ = false;
};

}  // namespace platform::engine
