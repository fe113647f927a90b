#pragma once

#include <string>

namespace platform::engine {

// A read-only SQLite URI for a database held in an open file descriptor (a
// file with no name): SQLite reads it through a small VFS of the engine's
// own, since a path under /proc would be resolved to a name that is gone.
std::string imageUri(int fd);

}  // namespace platform::engine
