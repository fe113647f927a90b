#include "platform/engine/source/ImageVfs.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/engine/ReadWindow.h"
#include "platform/engine/VfsShim.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

namespace {

constexpr char kVfsName[] = "car-image";
constexpr char kPrefix[] = "/image-fd-";

struct ImageFile {
    sqlite3_file base;
    int fd;
    bool readOnly;
    ReadWindow window;
};

int imageClose(sqlite3_file* file) {
    // The descriptor belongs to the image.
    reinterpret_cast<ImageFile*>(file)->window.~ReadWindow();
    return SQLITE_OK;
}

int readAt(int fd, char* out, int amount, sqlite3_int64 offset, int& got) {
    const std::int64_t done = host::readFully(fd, out, std::size_t(amount), offset);
    if (done < 0) return SQLITE_IOERR_READ;
    got = int(done);
    return SQLITE_OK;
}

int imageRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    auto* image = reinterpret_cast<ImageFile*>(file);
    const int fd = image->fd;
    if (image->window.serves(amount, offset)) {
        return image->window.read(buffer, amount, offset,
                                  [fd](char* window, std::int64_t start, int& got) {
                                      return readAt(fd, window, ReadWindow::kSize, start, got);
                                  });
    }
    int got = 0;
    if (const int rc = readAt(fd, static_cast<char*>(buffer), amount, offset, got); rc != SQLITE_OK)
        return rc;
    if (got < amount) {
        std::memset(static_cast<char*>(buffer) + got, 0, std::size_t(amount - got));
        return SQLITE_IOERR_SHORT_READ;
    }
    return SQLITE_OK;
}

int imageWrite(sqlite3_file*, const void*, int, sqlite3_int64) {
    return SQLITE_READONLY;
}
int imageTruncate(sqlite3_file*, sqlite3_int64) {
    return SQLITE_READONLY;
}
int imageSync(sqlite3_file*, int) {
    return SQLITE_OK;
}
int imageFileSize(sqlite3_file* file, sqlite3_int64* size) {
    struct stat info {};
    if (::fstat(reinterpret_cast<ImageFile*>(file)->fd, &info) != 0) return SQLITE_IOERR_FSTAT;
    *size = info.st_size;
    return SQLITE_OK;
}
int imageLock(sqlite3_file*, int) {
    return SQLITE_OK;
}
int imageCheckReservedLock(sqlite3_file*, int* reserved) {
    *reserved = 0;
    return SQLITE_OK;
}
int imageFileControl(sqlite3_file*, int, void*) {
    return SQLITE_NOTFOUND;
}
int imageSectorSize(sqlite3_file*) {
    return 4096;
}
int imageDeviceCharacteristics(sqlite3_file* file) {
    return reinterpret_cast<ImageFile*>(file)->readOnly ? SQLITE_IOCAP_IMMUTABLE : 0;
}

constexpr sqlite3_io_methods kMethods = fileMethods({
    .close = imageClose,
    .read = imageRead,
    .write = imageWrite,
    .truncate = imageTruncate,
    .sync = imageSync,
    .fileSize = imageFileSize,
    .lock = imageLock,
    .unlock = imageLock,
    .checkReservedLock = imageCheckReservedLock,
    .fileControl = imageFileControl,
    .sectorSize = imageSectorSize,
    .deviceCharacteristics = imageDeviceCharacteristics,
});

int imageOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    file->pMethods = nullptr;  // what SQLite expects of a failed open
    if (!name || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0 ||
        !(flags & SQLITE_OPEN_MAIN_DB)) {
        return SQLITE_CANTOPEN;
    }
    auto* image = reinterpret_cast<ImageFile*>(file);
    image->fd = std::atoi(name + sizeof kPrefix - 1);
    image->readOnly = (flags & SQLITE_OPEN_READONLY) != 0;
    new (&image->window) ReadWindow();
    image->base.pMethods = &kMethods;
    if (outFlags) *outFlags = image->readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    return SQLITE_OK;
}

int imageDelete(sqlite3_vfs*, const char*, int) {
    return SQLITE_IOERR_DELETE;
}
int imageAccess(sqlite3_vfs*, const char*, int, int* result) {
    *result = 0;  // no journal, no log: nothing beside the image
    return SQLITE_OK;
}
int imageFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    sqlite3_snprintf(size, out, "%s", name);
    return SQLITE_OK;
}
}  // namespace

std::string imageUri(int fd, ImageUse use) {
    static sqlite3_vfs vfs{};
    const char* name = registerVfs(vfs, {kVfsName, int(sizeof(ImageFile)), imageOpen, imageDelete,
                                         imageAccess, imageFullPathname});
    return std::string("file:") + kPrefix + std::to_string(fd) + "?vfs=" + name +
           (use == ImageUse::Read ? "&mode=ro&immutable=1" : "&mode=rw");
}

}  // namespace platform::engine
