#pragma once

struct sqlite3;

namespace platform::engine {

// The name of a VFS for the compacted copy: the system's own, with writes
// that follow one another gathered into larger ones and, once
// readInWindows() says so, reads served a window at a time, so that a copy of
// small pages costs fewer system calls. Every byte reaches the file before it
// is read back, synced, truncated, measured or closed; a failed write is
// reported by the call that makes it.
const char* copyVfsName();

// Writes out what is still gathered (SQLite syncs nothing at a commit here,
// and an error on close would go unseen) and, from now on, reads the
// connection's main database through that VFS a window at a time: for
// reading the finished copy, whose pages lie in order. Returns SQLite's code
// of a failed write.
int readInWindows(sqlite3* database);

}  // namespace platform::engine
