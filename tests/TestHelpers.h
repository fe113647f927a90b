#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <cstdint>
#include <functional>

#include "platform/Failure.h"

// The failure number a call raises, 0 if it succeeds.
inline std::int32_t failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const platform::Failure& failure) {
        return failure.number();
    }
    return 0;
}

// A flock held through an open file description of its own, as another
// program (the product, another engine user) holding the file would. Creates
// the file if it is missing, as the product does with its lock file.
class HeldFileLock {
  public:
    explicit HeldFileLock(const QString& hostPath, int operation = LOCK_SH)
        : fd_(::open(QFile::encodeName(hostPath).constData(), O_RDONLY | O_CREAT | O_CLOEXEC,
                     0644)) {
        locked_ = fd_ >= 0 && ::flock(fd_, operation | LOCK_NB) == 0;
    }
    HeldFileLock(const HeldFileLock&) = delete;
    HeldFileLock& operator=(const HeldFileLock&) = delete;
    ~HeldFileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool locked() const { return locked_; }

  private:
    int fd_;
    bool locked_ = false;
};
