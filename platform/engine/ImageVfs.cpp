#include "platform/engine/ImageVfs.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/engine/VfsShim.h"

namespace platform::engine {

namespace {

constexpr char kVfsName[] = "car-image";
constexpr char kPrefix[] = "/image-fd-";

// Pages are read a window at a time: b-trees written in order lie in order,
// and one read of a window costs little more than one of a page.
constexpr int kWindow = 64 * 1024;

struct ImageFile {
    sqlite3_file base;
    int fd;
    char* window;  // kWindow bytes, or null
    sqlite3_int64 windowStart;
    int windowLength;
};

int imageClose(sqlite3_file* file) {
    // The descriptor belongs to the image.
    std::free(reinterpret_cast<ImageFile*>(file)->window);
    return SQLITE_OK;
}

int readWhole(int fd, char* out, int amount, sqlite3_int64 offset, int& done) {
    done = 0;
    while (done < amount) {
        const ssize_t got =
            ::pread(fd, out + done, std::size_t(amount - done), off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return SQLITE_IOERR_READ;
        if (got == 0) break;
        done += int(got);
    }
    return SQLITE_OK;
}

int imageRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    auto* image = reinterpret_cast<ImageFile*>(file);
    const int fd = image->fd;
    auto* out = static_cast<char*>(buffer);
    if (image->window && amount <= kWindow) {
        const sqlite3_int64 start = offset / kWindow * kWindow;
        if (offset + amount <= start + kWindow) {
            if (image->windowStart != start) {
                image->windowStart = -1;
                int got = 0;
                if (readWhole(fd, image->window, kWindow, start, got) != SQLITE_OK) {
                    return SQLITE_IOERR_READ;
                }
                image->windowStart = start;
                image->windowLength = got;
            }
            const int have = int(std::max<sqlite3_int64>(
                0, std::min<sqlite3_int64>(amount, image->windowLength - (offset - start))));
            std::memcpy(out, image->window + (offset - start), std::size_t(have));
            if (have < amount) {
                std::memset(out + have, 0, std::size_t(amount - have));
                return SQLITE_IOERR_SHORT_READ;
            }
            return SQLITE_OK;
        }
    }
    int done = 0;
    while (done < amount) {
        const ssize_t got =
            ::pread(fd, out + done, std::size_t(amount - done), off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return SQLITE_IOERR_READ;
        if (got == 0) {
            std::memset(out + done, 0, std::size_t(amount - done));
            return SQLITE_IOERR_SHORT_READ;
        }
        done += int(got);
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
int imageDeviceCharacteristics(sqlite3_file*) {
    return SQLITE_IOCAP_IMMUTABLE;
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
    // Without a window every read goes to the file, as it can.
    image->window = static_cast<char*>(std::malloc(kWindow));
    image->windowStart = -1;
    image->windowLength = 0;
    image->base.pMethods = &kMethods;
    if (outFlags) *outFlags = SQLITE_OPEN_READONLY;
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

std::string imageUri(int fd) {
    static sqlite3_vfs vfs{};
    const char* name = registerVfs(vfs, {kVfsName, int(sizeof(ImageFile)), imageOpen, imageDelete,
                                         imageAccess, imageFullPathname});
    return std::string("file:") + kPrefix + std::to_string(fd) + "?vfs=" + name +
           "&mode=ro&immutable=1";
}

}  // namespace platform::engine
