#pragma once

#include <sqlite3.h>

namespace platform::engine {

// The system's own VFS, which the engine's VFSes lean on.
sqlite3_vfs* systemVfs();

// What makes one of the engine's VFSes its own: its name, the size of its
// file objects and how it opens, deletes, finds and names files.
struct VfsParts {
    const char* name;
    int fileSize;
    int (*open)(sqlite3_vfs*, sqlite3_filename, sqlite3_file*, int, int*);
    int (*remove)(sqlite3_vfs*, const char*, int);
    int (*access)(sqlite3_vfs*, const char*, int, int*);
    int (*fullPathname)(sqlite3_vfs*, const char*, int, char*);
};

// Registers a VFS made of those parts once; its clock, randomness, sleep and
// last error are the system VFS's. Returns the VFS's name.
const char* registerVfs(sqlite3_vfs& storage, const VfsParts& parts);

// Version 1 file methods: no shared memory and no mapping, so every byte of
// the file passes through `read` and `write`.
struct FileParts {
    int (*close)(sqlite3_file*);
    int (*read)(sqlite3_file*, void*, int, sqlite3_int64);
    int (*write)(sqlite3_file*, const void*, int, sqlite3_int64);
    int (*truncate)(sqlite3_file*, sqlite3_int64);
    int (*sync)(sqlite3_file*, int);
    int (*fileSize)(sqlite3_file*, sqlite3_int64*);
    int (*lock)(sqlite3_file*, int);
    int (*unlock)(sqlite3_file*, int);
    int (*checkReservedLock)(sqlite3_file*, int*);
    int (*fileControl)(sqlite3_file*, int, void*);
    int (*sectorSize)(sqlite3_file*);
    int (*deviceCharacteristics)(sqlite3_file*);
};

constexpr sqlite3_io_methods fileMethods(const FileParts& parts) {
    return {1,
            parts.close,
            parts.read,
            parts.write,
            parts.truncate,
            parts.sync,
            parts.fileSize,
            parts.lock,
            parts.unlock,
            parts.checkReservedLock,
            parts.fileControl,
            parts.sectorSize,
            parts.deviceCharacteristics,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr,
            nullptr};
}

}  // namespace platform::engine
