#pragma once

#include <sys/stat.h>

#include <QByteArray>
#include <QString>

#include "platform/host/UniqueFd.h"

namespace platform {

// A file this process has opened and locked exclusively with flock(2), which
// no other program holds in any way this system shows: no flock, no lock on
// any of its bytes, no other process with it open. Keeping it while deleting,
// renaming or replacing the file stops anyone from taking a flock in between.
struct HeldFile {
    enum class State { Locked, Missing, NotAFile, InUse, Failed };

    State state = State::Failed;
    int error = 0;   // the errno when Failed
    QString holder;  // when InUse: "sqlcipher (pid 4242)", or "another program"
    UniqueFd fd;
    struct stat status {};
};

// Opens and locks the regular file that `name` in the open folder `folderFd`
// names (symbolic links followed). Nothing but regular files is opened, so
// devices and pipes are never touched. A file this process holds on purpose
// is checked through its holding descriptor: its own hold does not count.
HeldFile lockFile(int folderFd, const QByteArray& name);

// True while `name` in the folder still names the file `status` describes.
bool stillNamedBy(int folderFd, const QByteArray& name, const struct stat& status);

}  // namespace platform
