#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <QString>
#include <optional>
#include <vector>

// Who else holds a file, in the ways this system shows: a POSIX or
// open-file-description lock on its bytes, or an open descriptor seen in
// /proc/<pid>/fd. Processes of other users, and holders on other machines
// of a network share, are out of sight.
namespace platform::host {

struct Holder {
    pid_t pid = 0;  // 0 when the holder cannot be seen
    QString program;

    // "sqlcipher (pid 4242)", or "another program" for a holder out of sight.
    QString describe() const;
};

// A lock on bytes [start, start + length) (length 0: to the end of any file)
// of the file open as `fd` that another open file description holds. Locks
// taken through `fd`'s own open file description are not seen, so a check
// through the descriptor of this process's own hold passes. flock(2) locks
// are not seen here.
std::optional<Holder> lockHolder(int fd, off_t start = 0, off_t length = 0);

// A process other than this one that has any of the files open.
std::optional<Holder> openElsewhere(const std::vector<struct stat>& files);

}  // namespace platform::host
