#include "platform/engine/VfsShim.h"

#include <mutex>

namespace platform::engine {

namespace {

int systemRandomness(sqlite3_vfs*, int size, char* out) {
    return systemVfs()->xRandomness(systemVfs(), size, out);
}
int systemSleep(sqlite3_vfs*, int microseconds) {
    return systemVfs()->xSleep(systemVfs(), microseconds);
}
int systemCurrentTime(sqlite3_vfs*, double* now) {
    return systemVfs()->xCurrentTime(systemVfs(), now);
}
int systemLastError(sqlite3_vfs*, int size, char* out) {
    return systemVfs()->xGetLastError(systemVfs(), size, out);
}

}  // namespace

sqlite3_vfs* systemVfs() {
    static sqlite3_vfs* const vfs = sqlite3_vfs_find(nullptr);
    return vfs;
}

const char* registerVfs(sqlite3_vfs& storage, const VfsParts& parts) {
    // Each VFS has storage of its own, so once per storage.
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    if (storage.xOpen) return storage.zName;
    storage.iVersion = 1;
    storage.zName = parts.name;
    storage.szOsFile = parts.fileSize;
    storage.mxPathname = systemVfs()->mxPathname;
    storage.xOpen = parts.open;
    storage.xDelete = parts.remove;
    storage.xAccess = parts.access;
    storage.xFullPathname = parts.fullPathname;
    storage.xRandomness = systemRandomness;
    storage.xSleep = systemSleep;
    storage.xCurrentTime = systemCurrentTime;
    storage.xGetLastError = systemLastError;
    sqlite3_vfs_register(&storage, 0);
    return storage.zName;
}

}  // namespace platform::engine
