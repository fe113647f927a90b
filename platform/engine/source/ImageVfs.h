#pragma once

#include <string>

namespace platform::engine {

// Which way SQLite is to take the image. Either way nothing is ever written
// to it (the VFS refuses every write).
enum class ImageUse {
    // Read-only and immutable: for reading alone.
    Read,
    // Opened as a database that could be written: SQLite then loads its
    // tables' CHECK constraints (it leaves them out of a read-only schema),
    // and only with them does it move rows and index entries to a copy as
    // they are stored.
    CopyFrom,
};

// An SQLite URI for a database held in an open file descriptor (a file with
// no name): SQLite reads it through a small VFS of the engine's own, since a
// path under /proc would be resolved to a name that is gone.
std::string imageUri(int fd, ImageUse use = ImageUse::Read);

}  // namespace platform::engine
