#include "platform/engine/copy/PageSealer.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/engine/crypto/PageCipher.h"

namespace platform::engine {

namespace {

char* allocate(int bytes) {
    char* buffer = static_cast<char*>(std::malloc(std::size_t(bytes)));
    if (!buffer) throw std::bad_alloc();
    return buffer;
}

std::uint32_t pageAt(std::int64_t offset, int pageSize) {
    return std::uint32_t(offset / pageSize) + 1;
}

}  // namespace

PageSealer::PageSealer(const PageCipher& cipher, int runBytes)
    : pageSize_(cipher.pageSize()),
      reader_(cipher.twin()),
      writer_(cipher.twin()),
      here_(cipher.twin()) {
    // A sealer that cannot be made leaves nothing allocated behind.
    try {
        plain_ = allocate(runBytes);
        sealed_ = allocate(runBytes);
        sealedHere_ = allocate(runBytes);
        scratch_ = allocate(pageSize_);
        worker_ = std::thread([this] { work(); });
    } catch (...) {
        freeBuffers();
        throw;
    }
}

PageSealer::~PageSealer() {
    {
        const std::lock_guard guard(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
    freeBuffers();
}

void PageSealer::freeBuffers() {
    std::free(plain_);
    std::free(sealed_);
    std::free(sealedHere_);
    std::free(scratch_);
}

char* PageSealer::seal(char* plain, int length, std::int64_t offset) {
    char* spare = plain_;
    {
        const std::lock_guard guard(mutex_);
        plain_ = plain;
        length_ = length;
        offset_ = offset;
        pending_ = true;
        busy_ = true;
    }
    changed_.notify_all();
    return spare;
}

bool PageSealer::overlapsRun(std::int64_t offset, std::int64_t amount) const {
    return busy_ && offset < offset_ + length_ && offset_ < offset + amount;
}

bool PageSealer::ready() {
    const std::lock_guard guard(mutex_);
    return !pending_;
}

PageSealer::Sealed PageSealer::sealHere(const char* plain, int length, std::int64_t offset) {
    return {sealedHere_, length, offset, encrypt(*here_, plain, length, offset, sealedHere_)};
}

bool PageSealer::encrypt(PageCipher& cipher, const char* plain, int length, std::int64_t offset,
                         char* out) {
    try {
        // One draw of random bytes for the run's IVs costs less than one a page.
        const std::size_t reserve = std::size_t(cipher.format().reserve);
        std::vector<unsigned char> random(reserve * std::size_t(length / pageSize_));
        if (RAND_bytes(random.data(), int(random.size())) != 1) return false;
        for (int at = 0; at < length; at += pageSize_) {
            cipher.encrypt(pageAt(offset + at, pageSize_),
                           reinterpret_cast<const unsigned char*>(plain + at),
                           reinterpret_cast<unsigned char*>(out + at),
                           random.data() + std::size_t(at / pageSize_) * reserve);
        }
    } catch (...) {
        return false;
    }
    return true;
}

PageSealer::Sealed PageSealer::take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    busy_ = false;
    return {sealed_, length_, offset_, ok_};
}

void PageSealer::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || stop_; });
        if (stop_) return;
        // The run's fields do not change until it has been taken.
        lock.unlock();
        const bool ok = encrypt(*writer_, plain_, length_, offset_, sealed_);
        lock.lock();
        ok_ = ok;
        pending_ = false;
        changed_.notify_all();
    }
}

bool PageSealer::noteWritten(std::int64_t offset, int length) {
    const auto end = std::size_t((offset + length) / pageSize_);
    try {
        if (written_.size() < end) written_.resize(end);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::fill(written_.begin() + std::ptrdiff_t(offset / pageSize_),
              written_.begin() + std::ptrdiff_t(end), true);
    return true;
}

void PageSealer::noteTruncated(std::int64_t size) {
    const auto kept = std::size_t(size / pageSize_);
    if (written_.size() > kept) written_.resize(kept);
}

bool PageSealer::open(char* pages, int length, std::int64_t offset) {
    auto* scratch = reinterpret_cast<unsigned char*>(scratch_);
    for (int at = 0; at < length; at += pageSize_) {
        char* page = pages + at;
        const auto index = std::size_t((offset + at) / pageSize_);
        const bool hole = (index >= written_.size() || !written_[index]) &&
                          std::all_of(page, page + pageSize_, [](char byte) { return byte == 0; });
        if (hole) continue;
        auto* bytes = reinterpret_cast<unsigned char*>(page);
        if (!reader_->decrypt(pageAt(offset + at, pageSize_), bytes, scratch)) return false;
        std::memcpy(bytes, scratch, std::size_t(pageSize_));
    }
    return true;
}

}  // namespace platform::engine
