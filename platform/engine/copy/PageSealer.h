#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::engine {

class PageCipher;

// Encrypts the copy's pages as SQLCipher writes them, a run of whole pages at
// a time on a thread of its own, so that SQLite goes on building the copy's
// b-trees on one core while the pages it wrote last are encrypted on the
// other; and decrypts pages read back, on the caller's thread. One run is
// sealed at a time: take() it before the next seal().
class PageSealer {
  public:
    // Runs are at most `runBytes` long; the cipher's keys serve both threads.
    PageSealer(const PageCipher& cipher, int runBytes);
    ~PageSealer();
    PageSealer(const PageSealer&) = delete;
    PageSealer& operator=(const PageSealer&) = delete;

    int pageSize() const { return pageSize_; }

    // Hands over `length` bytes of whole plain pages meant for `offset` (a
    // buffer of `runBytes` from malloc) and returns another such buffer to
    // gather the next run in.
    char* seal(char* plain, int length, std::int64_t offset);

    struct Sealed {
        const char* data;
        int length;
        std::int64_t offset;
        bool ok;  // false when the crypto library failed
    };
    // Whether a run was handed over and not taken yet, and whether it is
    // encrypted by now.
    bool busy() const { return busy_; }
    bool ready();
    bool overlapsRun(std::int64_t offset, std::int64_t amount) const;
    // Waits for the run handed over last; valid until the next seal().
    Sealed take();

    // Encrypts a run on the caller's thread, for when the other thread is
    // still busy with the last one; valid until the next call.
    Sealed sealHere(const char* plain, int length, std::int64_t offset);

    // Notes that SQLite wrote these whole pages, or that the file was cut
    // to `size`: a page it never wrote (a free page it had no need to) is a
    // hole in the file. False when there is no memory for the note.
    bool noteWritten(std::int64_t offset, int length);
    void noteTruncated(std::int64_t size);

    // Decrypts whole pages that start at `offset` in place: false when one
    // fails authentication. A hole reads as the zeros it is.
    bool open(char* pages, int length, std::int64_t offset);

  private:
    void work();
    void freeBuffers();
    bool encrypt(PageCipher& cipher, const char* plain, int length, std::int64_t offset, char* out);

    const int pageSize_;
    std::vector<bool> written_;
    std::unique_ptr<PageCipher> reader_, writer_, here_;
    char* plain_ = nullptr;
    char* sealed_ = nullptr;
    char* sealedHere_ = nullptr;
    char* scratch_ = nullptr;
    int length_ = 0;
    std::int64_t offset_ = 0;
    bool busy_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;  // a run waits for the worker
    bool stop_ = false;
    bool ok_ = true;
    std::thread worker_;
};

}  // namespace platform::engine
