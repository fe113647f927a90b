#pragma once

#include <sys/stat.h>

#include "platform/host/UniqueFd.h"

// The files this process holds on purpose, such as a database the engine
// keeps locked until its copy has replaced it. The file service must not take
// such a hold for another program's: it checks the file through the holding
// descriptor, which neither conflicts with its own locks nor sees them.
namespace platform::host {

// Registers a descriptor as this process's hold on its file for the object's
// lifetime; the descriptor must stay open until then.
class OwnHold {
  public:
    explicit OwnHold(int fd);
    ~OwnHold();
    OwnHold(const OwnHold&) = delete;
    OwnHold& operator=(const OwnHold&) = delete;

  private:
    int fd_;
};

// A duplicate of the descriptor through which this process holds the file
// `status` describes (sharing its open file description, so its locks), or an
// invalid descriptor when this process holds no such file.
UniqueFd duplicateOwnHold(const struct stat& status);

}  // namespace platform::host
