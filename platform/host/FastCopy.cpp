#include "platform/host/FastCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace platform {

namespace {

constexpr size_t kRangeChunk = size_t{64} << 20;
constexpr size_t kBufferSize = size_t{1} << 20;

// How much of a write the test fault still lets through.
class WriteBudget {
  public:
    explicit WriteBudget(const std::optional<WriteFault>& fault) : fault_(fault) {}

    // The bytes of `want` that may be written now; 0 when the fault strikes.
    size_t allow(size_t want) const {
        if (!fault_) return want;
        const std::int64_t left = std::max<std::int64_t>(fault_->afterBytes - written_, 0);
        return static_cast<size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(want)));
    }
    int error() const { return fault_->error; }
    void spent(size_t bytes) { written_ += static_cast<std::int64_t>(bytes); }

  private:
    std::optional<WriteFault> fault_;
    std::int64_t written_ = 0;
};

bool meansUnsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == EBADF || error == ENOTTY || error == ETXTBSY;
}

// Copies with copy_file_range from `offset` on. Returns 0 when the kernel has
// copied what it will (the caller finishes with read/write), else the errno.
int copyRange(int in, int out, off_t& offset, WriteBudget& budget) {
    // Each chunk goes to the disk while the next is copied, and once it is
    // there its pages are let go: the final sync finds little left, and the
    // copy fills no cache.
    off_t previous = -1;
    size_t previousLength = 0;
    const auto settle = [&] {
        if (previous < 0) return;
        ::sync_file_range(
            out, previous, off_t(previousLength),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(out, previous, off_t(previousLength), POSIX_FADV_DONTNEED);
    };
    for (;;) {
        const size_t want = budget.allow(kRangeChunk);
        if (want == 0) return budget.error();
        loff_t inOffset = offset;
        loff_t outOffset = offset;
        const ssize_t copied = ::copy_file_range(in, &inOffset, out, &outOffset, want, 0);
        if (copied < 0) {
            if (errno == EINTR) continue;
            return meansUnsupported(errno) ? 0 : errno;
        }
        // Zero means end of file, or a file system that copies nothing this
        // way; read/write settles which.
        if (copied == 0) {
            settle();
            return 0;
        }
        ::sync_file_range(out, offset, copied, SYNC_FILE_RANGE_WRITE);
        settle();
        previous = offset;
        previousLength = size_t(copied);
        offset += copied;
        budget.spent(static_cast<size_t>(copied));
    }
}

int writeAll(int out, const char* data, size_t size, off_t offset, WriteBudget& budget) {
    while (size > 0) {
        const size_t want = budget.allow(size);
        if (want == 0) return budget.error();
        const ssize_t written = ::pwrite(out, data, want, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
        offset += written;
        budget.spent(static_cast<size_t>(written));
    }
    return 0;
}

int readWrite(int in, int out, off_t offset, WriteBudget& budget) {
    const auto buffer = std::make_unique<char[]>(kBufferSize);
    for (;;) {
        const ssize_t got = ::pread(in, buffer.get(), kBufferSize, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        if (const int error = writeAll(out, buffer.get(), static_cast<size_t>(got), offset, budget))
            return error;
        offset += got;
    }
}

}  // namespace

int copyContents(int sourceFd, int destinationFd, const std::optional<WriteFault>& fault,
                 CopyMethod first) {
    // A clone writes no data, so a simulated full disk could never strike in it.
    if (first == CopyMethod::Clone && !fault) {
        if (::ioctl(destinationFd, FICLONE, sourceFd) == 0) return 0;
    }
    ::posix_fadvise(sourceFd, 0, 0, POSIX_FADV_SEQUENTIAL);
    WriteBudget budget(fault);
    off_t offset = 0;
    if (first != CopyMethod::ReadWrite) {
        if (const int error = copyRange(sourceFd, destinationFd, offset, budget)) return error;
    }
    return readWrite(sourceFd, destinationFd, offset, budget);
}

}  // namespace platform
