#include "platform/engine/ReadWindow.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace platform::engine {

// Without memory for a window every read goes to the file, as it can.
ReadWindow::ReadWindow() : buffer_(static_cast<char*>(std::malloc(kSize))) {}

ReadWindow::~ReadWindow() {
    std::free(buffer_);
}

bool ReadWindow::serves(int amount, std::int64_t offset) {
    const bool onward = offset >= lastEnd_ && offset - lastEnd_ < kSize;
    lastEnd_ = offset + amount;
    return buffer_ && offset % kSize + amount <= kSize &&
           (onward || (start_ >= 0 && offset - offset % kSize == start_));
}

int ReadWindow::read(void* out, int amount, std::int64_t offset, const Fill& fill) {
    const std::int64_t start = offset / kSize * kSize;
    if (start_ != start) {
        start_ = -1;
        int got = 0;
        if (const int rc = fill(buffer_, start, got); rc != SQLITE_OK) return rc;
        start_ = start;
        length_ = got;
    }
    const int have = int(std::clamp<std::int64_t>(length_ - (offset - start), 0, amount));
    std::memcpy(out, buffer_ + (offset - start), std::size_t(have));
    if (have < amount) {
        std::memset(static_cast<char*>(out) + have, 0, std::size_t(amount - have));
        return SQLITE_IOERR_SHORT_READ;
    }
    return SQLITE_OK;
}

void ReadWindow::forgetIfOverlaps(std::int64_t offset, std::int64_t amount) {
    if (start_ >= 0 && offset < start_ + kSize && start_ < offset + amount) start_ = -1;
}

}  // namespace platform::engine
