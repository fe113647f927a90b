#pragma once

#include <sys/stat.h>

#include <QString>
#include <cstddef>
#include <cstdint>

#include "platform/Failure.h"

// The small POSIX steps that the host file system and the engine both take,
// written once so that they answer alike.
namespace platform::host {

// The failure for a system call's errno on a path where the path's folder may
// be missing: ENOENT or ENOTDIR mean a folder on the way is missing (76);
// anything else maps through the failure table.
Failure pathFailure(int error, const QString& nativePath);

// True when both describe the same file (device and inode).
bool sameFile(const struct stat& a, const struct stat& b);

// flock(2) without waiting, retried when a signal interrupts it: returns 0,
// EWOULDBLOCK when another open file holds a conflicting lock, or the errno.
int tryLock(int fd, int operation);

// pread(2) and pwrite(2) until `size` bytes are done, retried when a signal
// interrupts them: the bytes done (fewer only when a read reaches the end of
// the file), or -1 with errno set.
std::int64_t readFully(int fd, void* buffer, std::size_t size, std::int64_t offset);
std::int64_t writeFully(int fd, const void* buffer, std::size_t size, std::int64_t offset);

// Makes a folder's entries durable; fails with the path it is about. Some file
// systems cannot sync a folder at all (EINVAL); nothing is lost there.
void syncFolder(int folderFd, const QString& nativePath);

// Opens the folder a host file lies in, for syncing it after a change.
void syncFolderOf(const QString& hostFilePath, const QString& nativePath);

// The permission bits a copy takes from its source: read, write and execute
// for owner, group and others, never set-id or sticky bits.
inline mode_t keptPermissionBits(mode_t mode) {
    return mode & 0777;
}

}  // namespace platform::host
