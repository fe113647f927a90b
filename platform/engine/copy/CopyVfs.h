#pragma once

struct sqlite3;

namespace platform::engine {

class PageCipher;

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

// Makes the connection's new main database an encrypted one without SQLite
// knowing: the VFS encrypts every page as SQLCipher writes it, with the
// cipher's keys, on a thread of its own, and decrypts what is read back. The
// connection itself is a plain one whose pages keep the cipher's reserve.
// Call it before the first statement. Returns SQLite's code.
int sealPagesWith(sqlite3* database, const PageCipher& cipher);

}  // namespace platform::engine
