#include "platform/engine/copy/CopyVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/engine/ReadWindow.h"
#include "platform/engine/VfsShim.h"

namespace platform::engine {

namespace {

constexpr char kVfsName[] = "car-copy";
// Large enough that a page costs a fraction of a system call; the system VFS
// writes less than 128 KiB at a time.
constexpr int kWriteBuffer = 64 * 1024;
// The file control that turns windowed reads on (SQLite leaves opcodes above
// 100 to VFSes).
constexpr int kReadInWindows = 0x43415201;

struct CopyFile {
    sqlite3_file base;
    sqlite3_file* real;  // the system VFS's file, right after this struct
    // Writes not yet made: `pendingLength` bytes meant for `pendingStart`.
    char* pending;
    sqlite3_int64 pendingStart;
    int pendingLength;
    // Reads go by windows only once the copy is written: while it is being
    // written its reads are scattered.
    bool windowed;
    ReadWindow* window;
};

CopyFile* own(sqlite3_file* file) {
    return reinterpret_cast<CopyFile*>(file);
}

bool overlaps(sqlite3_int64 a, sqlite3_int64 aLength, sqlite3_int64 b, sqlite3_int64 bLength) {
    return a < b + bLength && b < a + aLength;
}

int flush(CopyFile* file) {
    if (file->pendingLength == 0) return SQLITE_OK;
    const int length = file->pendingLength;
    file->pendingLength = 0;
    return file->real->pMethods->xWrite(file->real, file->pending, length, file->pendingStart);
}

int copyClose(sqlite3_file* file) {
    CopyFile* f = own(file);
    const int flushed = flush(f);
    const int closed = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    std::free(f->pending);
    delete f->window;
    return flushed != SQLITE_OK ? flushed : closed;
}

int copyRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    CopyFile* f = own(file);
    if (f->pendingLength && overlaps(offset, amount, f->pendingStart, f->pendingLength)) {
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    }
    if (!f->windowed || !f->window->serves(amount, offset)) {
        return f->real->pMethods->xRead(f->real, buffer, amount, offset);
    }
    return f->window->read(buffer, amount, offset, [f](char* window, std::int64_t start, int& got) {
        // Whatever the window covers must be in the file first.
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
        sqlite3_int64 size = 0;
        if (const int rc = f->real->pMethods->xFileSize(f->real, &size); rc != SQLITE_OK) return rc;
        got = int(std::clamp<sqlite3_int64>(size - start, 0, ReadWindow::kSize));
        return got ? f->real->pMethods->xRead(f->real, window, got, start) : SQLITE_OK;
    });
}

int copyWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    CopyFile* f = own(file);
    if (f->window) f->window->forgetIfOverlaps(offset, amount);
    if (!f->pending) return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    if (f->pendingLength && offset == f->pendingStart + f->pendingLength &&
        f->pendingLength + amount <= kWriteBuffer) {
        std::memcpy(f->pending + f->pendingLength, buffer, std::size_t(amount));
        f->pendingLength += amount;
        return SQLITE_OK;
    }
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    if (amount > kWriteBuffer) return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    std::memcpy(f->pending, buffer, std::size_t(amount));
    f->pendingStart = offset;
    f->pendingLength = amount;
    return SQLITE_OK;
}

int copyTruncate(sqlite3_file* file, sqlite3_int64 size) {
    CopyFile* f = own(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    if (f->window) f->window->forget();
    return f->real->pMethods->xTruncate(f->real, size);
}

int copySync(sqlite3_file* file, int flags) {
    CopyFile* f = own(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xSync(f->real, flags);
}

int copyFileSize(sqlite3_file* file, sqlite3_int64* size) {
    CopyFile* f = own(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xFileSize(f->real, size);
}

int copyLock(sqlite3_file* file, int level) {
    return own(file)->real->pMethods->xLock(own(file)->real, level);
}

int copyUnlock(sqlite3_file* file, int level) {
    // Whatever another connection may read once the lock goes is in the file.
    CopyFile* f = own(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xUnlock(f->real, level);
}

int copyCheckReservedLock(sqlite3_file* file, int* reserved) {
    return own(file)->real->pMethods->xCheckReservedLock(own(file)->real, reserved);
}

int copyFileControl(sqlite3_file* file, int op, void* argument) {
    CopyFile* f = own(file);
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    if (op == kReadInWindows) {
        f->windowed = f->window != nullptr;
        return SQLITE_OK;
    }
    return f->real->pMethods->xFileControl(f->real, op, argument);
}

int copySectorSize(sqlite3_file* file) {
    return own(file)->real->pMethods->xSectorSize(own(file)->real);
}

int copyDeviceCharacteristics(sqlite3_file* file) {
    return own(file)->real->pMethods->xDeviceCharacteristics(own(file)->real);
}

constexpr sqlite3_io_methods kMethods = fileMethods({
    .close = copyClose,
    .read = copyRead,
    .write = copyWrite,
    .truncate = copyTruncate,
    .sync = copySync,
    .fileSize = copyFileSize,
    .lock = copyLock,
    .unlock = copyUnlock,
    .checkReservedLock = copyCheckReservedLock,
    .fileControl = copyFileControl,
    .sectorSize = copySectorSize,
    .deviceCharacteristics = copyDeviceCharacteristics,
});

int copyOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    CopyFile* f = own(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->pending = nullptr;
    f->pendingStart = 0;
    f->pendingLength = 0;
    f->windowed = false;
    f->window = nullptr;
    // Only the database itself is gathered and windowed; any other file goes
    // straight through.
    if (flags & SQLITE_OPEN_MAIN_DB) {
        f->pending = static_cast<char*>(std::malloc(kWriteBuffer));
        f->window = new (std::nothrow) ReadWindow();
        if (!f->pending || !f->window) {
            std::free(f->pending);
            delete f->window;
            return SQLITE_NOMEM;
        }
    }
    const int rc = systemVfs()->xOpen(systemVfs(), name, f->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        if (f->real->pMethods) f->real->pMethods->xClose(f->real);
        std::free(f->pending);
        delete f->window;
        return rc;
    }
    f->base.pMethods = &kMethods;
    return SQLITE_OK;
}

int copyDelete(sqlite3_vfs*, const char* name, int syncFolder) {
    return systemVfs()->xDelete(systemVfs(), name, syncFolder);
}
int copyAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
    return systemVfs()->xAccess(systemVfs(), name, flags, result);
}
int copyFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return systemVfs()->xFullPathname(systemVfs(), name, size, out);
}
}  // namespace

const char* copyVfsName() {
    static sqlite3_vfs vfs{};
    return registerVfs(vfs, {kVfsName, int(sizeof(CopyFile)) + systemVfs()->szOsFile, copyOpen,
                             copyDelete, copyAccess, copyFullPathname});
}

int readInWindows(sqlite3* database) {
    return sqlite3_file_control(database, "main", kReadInWindows, nullptr);
}

}  // namespace platform::engine
