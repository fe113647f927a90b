#include "platform/engine/copy/CopyVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/engine/ReadWindow.h"
#include "platform/engine/VfsShim.h"
#include "platform/engine/copy/PageSealer.h"
#include "platform/engine/crypto/PageCipher.h"

namespace platform::engine {

namespace {

constexpr char kVfsName[] = "car-copy";
// Large enough that a page costs a fraction of a system call; the system VFS
// writes less than 128 KiB at a time.
constexpr int kWriteBuffer = 64 * 1024;
// Runs of an encrypted copy are longer, so that handing one to the other
// thread costs a fraction of encrypting it.
constexpr int kSealedRun = 4 * kWriteBuffer;
// The file controls that turn windowed reads and encryption on (SQLite leaves
// opcodes above 100 to VFSes).
constexpr int kReadInWindows = 0x43415201;
constexpr int kSealPages = 0x43415202;

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
    // For an encrypted copy: pages go to the file through it and come back
    // decrypted; `page` holds one page for reads of part of one.
    PageSealer* sealer;
    char* page;
};

CopyFile* own(sqlite3_file* file) {
    return reinterpret_cast<CopyFile*>(file);
}

bool overlaps(sqlite3_int64 a, sqlite3_int64 aLength, sqlite3_int64 b, sqlite3_int64 bLength) {
    return a < b + bLength && b < a + aLength;
}

int gatherLimit(const CopyFile* file) {
    return file->sealer ? kSealedRun : kWriteBuffer;
}

int writeRun(CopyFile* file, const PageSealer::Sealed& run) {
    if (!run.ok) return SQLITE_IOERR_WRITE;
    for (int at = 0; at < run.length; at += kWriteBuffer) {
        const int piece = std::min(kWriteBuffer, run.length - at);
        if (const int rc =
                file->real->pMethods->xWrite(file->real, run.data + at, piece, run.offset + at);
            rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

// Writes the run the sealer was given last, once it is encrypted.
int writeSealed(CopyFile* file) {
    if (!file->sealer || !file->sealer->busy()) return SQLITE_OK;
    return writeRun(file, file->sealer->take());
}

// Passes on what is gathered: to the file, or to the sealer once its last run
// is written. While the other thread is still busy, this one encrypts a run
// that does not overlap the last itself: the two cores share the work, and
// overlapping runs still reach the file in the order they were written.
int flush(CopyFile* file) {
    if (file->pendingLength == 0) return SQLITE_OK;
    const int length = file->pendingLength;
    file->pendingLength = 0;
    PageSealer* sealer = file->sealer;
    if (!sealer) {
        return file->real->pMethods->xWrite(file->real, file->pending, length, file->pendingStart);
    }
    if (sealer->busy() && !sealer->ready() && !sealer->overlapsRun(file->pendingStart, length)) {
        return writeRun(file, sealer->sealHere(file->pending, length, file->pendingStart));
    }
    if (const int rc = writeSealed(file); rc != SQLITE_OK) return rc;
    file->pending = sealer->seal(file->pending, length, file->pendingStart);
    return SQLITE_OK;
}

// Every byte written so far is in the file.
int drain(CopyFile* file) {
    if (const int rc = flush(file); rc != SQLITE_OK) return rc;
    return writeSealed(file);
}

void release(CopyFile* file) {
    delete file->sealer;
    file->sealer = nullptr;
    std::free(file->page);
    file->page = nullptr;
    std::free(file->pending);
    file->pending = nullptr;
    delete file->window;
    file->window = nullptr;
}

int copyClose(sqlite3_file* file) {
    CopyFile* f = own(file);
    const int drained = drain(f);
    const int closed = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
    release(f);
    return drained != SQLITE_OK ? drained : closed;
}

// Reads whole pages of an encrypted copy from `start` and decrypts them in
// place. Pages past the file's end come out as zeros, with the short read
// SQLite expects; a page that fails authentication is damage.
int readSealed(CopyFile* f, char* pages, int length, sqlite3_int64 start, int& got) {
    sqlite3_int64 size = 0;
    if (const int rc = f->real->pMethods->xFileSize(f->real, &size); rc != SQLITE_OK) return rc;
    const int pageSize = f->sealer->pageSize();
    got = int(std::clamp<sqlite3_int64>(size - start, 0, length)) / pageSize * pageSize;
    if (got > 0) {
        if (const int rc = f->real->pMethods->xRead(f->real, pages, got, start); rc != SQLITE_OK)
            return rc;
    }
    std::memset(pages + got, 0, std::size_t(length - got));
    if (!f->sealer->open(pages, got, start)) return SQLITE_CORRUPT;
    return got < length ? SQLITE_IOERR_SHORT_READ : SQLITE_OK;
}

// A read of an encrypted copy that need not start or end on a page's edge,
// as SQLite's reads of the header do.
int readPartsOfPages(CopyFile* f, char* out, int amount, sqlite3_int64 offset) {
    const int pageSize = f->sealer->pageSize();
    if (offset % pageSize == 0 && amount % pageSize == 0) {
        int got = 0;
        return readSealed(f, out, amount, offset, got);
    }
    int result = SQLITE_OK;
    for (sqlite3_int64 at = offset; at < offset + amount;) {
        const sqlite3_int64 pageStart = at / pageSize * pageSize;
        const int from = int(at - pageStart);
        const int take = int(std::min<sqlite3_int64>(pageSize - from, offset + amount - at));
        int got = 0;
        const int rc = readSealed(f, f->page, pageSize, pageStart, got);
        if (rc == SQLITE_IOERR_SHORT_READ) {
            result = rc;
        } else if (rc != SQLITE_OK) {
            return rc;
        }
        std::memcpy(out + (at - offset), f->page + from, std::size_t(take));
        at += take;
    }
    return result;
}

int copyRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    CopyFile* f = own(file);
    if ((f->pendingLength && overlaps(offset, amount, f->pendingStart, f->pendingLength)) ||
        (f->sealer && f->sealer->overlapsRun(offset, amount))) {
        if (const int rc = drain(f); rc != SQLITE_OK) return rc;
    }
    if (!f->windowed || !f->window->serves(amount, offset)) {
        if (f->sealer) return readPartsOfPages(f, static_cast<char*>(buffer), amount, offset);
        return f->real->pMethods->xRead(f->real, buffer, amount, offset);
    }
    return f->window->read(buffer, amount, offset, [f](char* window, std::int64_t start, int& got) {
        // Whatever the window covers must be in the file first.
        if (const int rc = drain(f); rc != SQLITE_OK) return rc;
        if (f->sealer) {
            const int rc = readSealed(f, window, ReadWindow::kSize, start, got);
            return rc == SQLITE_IOERR_SHORT_READ ? SQLITE_OK : rc;
        }
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
    if (f->sealer && (offset % f->sealer->pageSize() != 0 || amount % f->sealer->pageSize() != 0 ||
                      amount > kSealedRun)) {
        // SQLite writes a database a whole page at a time; a page can only
        // be encrypted whole.
        return SQLITE_IOERR_WRITE;
    }
    if (f->sealer && !f->sealer->noteWritten(offset, amount)) return SQLITE_NOMEM;
    if (f->pendingLength && offset == f->pendingStart + f->pendingLength &&
        f->pendingLength + amount <= gatherLimit(f)) {
        std::memcpy(f->pending + f->pendingLength, buffer, std::size_t(amount));
        f->pendingLength += amount;
        return SQLITE_OK;
    }
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    // A write longer than a run goes straight to the file; an encrypted
    // copy's never is, so that every page of it is encrypted.
    if (amount > gatherLimit(f)) return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
    std::memcpy(f->pending, buffer, std::size_t(amount));
    f->pendingStart = offset;
    f->pendingLength = amount;
    return SQLITE_OK;
}

int copyTruncate(sqlite3_file* file, sqlite3_int64 size) {
    CopyFile* f = own(file);
    if (const int rc = drain(f); rc != SQLITE_OK) return rc;
    if (f->window) f->window->forget();
    if (f->sealer) f->sealer->noteTruncated(size);
    return f->real->pMethods->xTruncate(f->real, size);
}

int copySync(sqlite3_file* file, int flags) {
    CopyFile* f = own(file);
    if (const int rc = drain(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xSync(f->real, flags);
}

int copyFileSize(sqlite3_file* file, sqlite3_int64* size) {
    CopyFile* f = own(file);
    if (const int rc = drain(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xFileSize(f->real, size);
}

int copyLock(sqlite3_file* file, int level) {
    return own(file)->real->pMethods->xLock(own(file)->real, level);
}

int copyUnlock(sqlite3_file* file, int level) {
    // Whatever another connection may read once the lock goes is in the file.
    CopyFile* f = own(file);
    if (const int rc = drain(f); rc != SQLITE_OK) return rc;
    return f->real->pMethods->xUnlock(f->real, level);
}

int copyCheckReservedLock(sqlite3_file* file, int* reserved) {
    return own(file)->real->pMethods->xCheckReservedLock(own(file)->real, reserved);
}

int sealPages(CopyFile* f, const PageCipher* cipher) {
    // Only the main database, before anything of it is read or written.
    if (!f->pending || f->sealer || f->pendingLength || !cipher) return SQLITE_MISUSE;
    try {
        f->page = static_cast<char*>(std::malloc(std::size_t(cipher->pageSize())));
        if (!f->page) return SQLITE_NOMEM;
        f->sealer = new PageSealer(*cipher, kSealedRun);
    } catch (...) {
        return SQLITE_NOMEM;
    }
    return SQLITE_OK;
}

int copyFileControl(sqlite3_file* file, int op, void* argument) {
    CopyFile* f = own(file);
    // SQLite hints at the size as a file grows; the system VFS does nothing
    // with it here, so it need not wait for the pages being encrypted.
    if (op == SQLITE_FCNTL_SIZE_HINT) return f->real->pMethods->xFileControl(f->real, op, argument);
    if (op == kSealPages) return sealPages(f, static_cast<const PageCipher*>(argument));
    if (const int rc = drain(f); rc != SQLITE_OK) return rc;
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
    f->sealer = nullptr;
    f->page = nullptr;
    // Only the database itself is gathered and windowed; any other file goes
    // straight through.
    if (flags & SQLITE_OPEN_MAIN_DB) {
        f->pending = static_cast<char*>(std::malloc(kSealedRun));
        f->window = new (std::nothrow) ReadWindow();
        if (!f->pending || !f->window) {
            release(f);
            return SQLITE_NOMEM;
        }
    }
    const int rc = systemVfs()->xOpen(systemVfs(), name, f->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        if (f->real->pMethods) f->real->pMethods->xClose(f->real);
        release(f);
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

int sealPagesWith(sqlite3* database, const PageCipher& cipher) {
    return sqlite3_file_control(database, "main", kSealPages, const_cast<PageCipher*>(&cipher));
}

}  // namespace platform::engine
