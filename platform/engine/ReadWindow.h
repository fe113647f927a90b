#pragma once

#include <cstdint>
#include <functional>

namespace platform::engine {

// One aligned window of a file, kept in memory for a VFS whose reads come a
// page at a time and mostly in order: b-trees written in order lie in order,
// and one read of a window costs little more than one of a page.
class ReadWindow {
  public:
    static constexpr int kSize = 64 * 1024;
    // Reads the window at `start` into `buffer` (kSize bytes): a SQLite result
    // code, and in `got` how many bytes the file had there.
    using Fill = std::function<int(char* buffer, std::int64_t start, int& got)>;

    ReadWindow();
    ~ReadWindow();
    ReadWindow(const ReadWindow&) = delete;
    ReadWindow& operator=(const ReadWindow&) = delete;

    // Whether the window serves this read: memory was there, the read does
    // not cross a window's edge, and the window holds that part of the file
    // or the reads go on forward (a tree read in order). A read that jumps
    // elsewhere, as a lookup does, costs less read alone than with a whole
    // window around it. Notes where the read ends.
    bool serves(int amount, std::int64_t offset);
    // Serves a read, filling the window first when it holds another part of
    // the file. Past the file's end the bytes are zeros and the result is
    // SQLITE_IOERR_SHORT_READ, as SQLite expects of a VFS.
    int read(void* out, int amount, std::int64_t offset, const Fill& fill);
    // Forgets what it holds when a write changes any of it.
    void forgetIfOverlaps(std::int64_t offset, std::int64_t amount);
    void forget() { start_ = -1; }

  private:
    char* buffer_;
    std::int64_t start_ = -1;
    int length_ = 0;
    std::int64_t lastEnd_ = 0;
};

}  // namespace platform::engine
