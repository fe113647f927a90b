#include "platform/host/OwnHolds.h"

#include <fcntl.h>

#include <mutex>
#include <vector>

#include "platform/host/HostCalls.h"

namespace platform::host {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<int> fds;
};

// The engine takes its holds off the window's thread, the file service
// checks them on another: one registry for the process, behind a mutex.
Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

OwnHold::OwnHold(int fd) : fd_(fd) {
    Registry& holds = registry();
    const std::lock_guard guard(holds.mutex);
    holds.fds.push_back(fd_);
}

OwnHold::~OwnHold() {
    Registry& holds = registry();
    const std::lock_guard guard(holds.mutex);
    std::erase(holds.fds, fd_);
}

UniqueFd duplicateOwnHold(const struct stat& status) {
    Registry& holds = registry();
    const std::lock_guard guard(holds.mutex);
    for (const int fd : holds.fds) {
        struct stat held {};
        if (::fstat(fd, &held) == 0 && sameFile(held, status))
            return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    }
    return UniqueFd();
}

}  // namespace platform::host
