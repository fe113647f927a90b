#include "platform/engine/source/PageDecryption.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>

#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/source/CommittedLog.h"
#include "platform/engine/source/ImageFile.h"

namespace platform::engine {

DecryptedPages decryptInto(const PageOrigin& origin, PageCipher* cipher, int pageSize,
                           std::uint32_t pageCount, const std::vector<bool>& leftOut, int imageFd,
                           const QString& nativeImage) {
    const std::size_t size = std::size_t(pageSize);
    std::vector<unsigned char> in(size * kPagesPerChunk), out(in.size());
    // SQLite never uses the page that holds the lock byte at 1 GiB: it is
    // never written, so it neither authenticates nor matters.
    const std::uint32_t lockBytePage = format::lockBytePage(pageSize);
    // The second thread decrypts with a twin of the cipher: the work is the
    // CPU's, the reads are not.
    std::unique_ptr<PageCipher> second = cipher ? cipher->twin() : nullptr;
    DecryptedPages lower, upper;
    auto decryptPages = [&](PageCipher* pages, std::uint32_t start, std::uint32_t from,
                            std::uint32_t to, DecryptedPages& found) {
        for (std::uint32_t page = from; page <= to; ++page) {
            unsigned char* raw = in.data() + std::size_t(page - start) * size;
            unsigned char* plain = out.data() + std::size_t(page - start) * size;
            const auto frame = origin.log.frames.find(page);
            const bool logged = frame != origin.log.frames.end();
            if (logged)
                readAt(origin.log.fd.get(), raw, size, frame->second, origin.log.nativePath);
            if (page == lockBytePage || (page < leftOut.size() && leftOut[page])) {
                std::memset(plain, 0, size);
                continue;
            }
            bool good = logged || page <= origin.filePages;
            if (good && pages) {
                good = pages->decrypt(page, raw, plain);
            } else if (good) {
                std::memcpy(plain, raw, size);
                if (format::allZero(raw, size)) found.zeros.push_back(page);
            }
            if (!good) {
                std::memset(plain, 0, size);
                found.failed.push_back(page);
            }
        }
    };
    for (std::uint32_t start = 1; start <= pageCount; start += kPagesPerChunk) {
        const std::uint32_t end = std::min<std::uint32_t>(pageCount, start + kPagesPerChunk - 1);
        const std::size_t bytes = std::size_t(end - start + 1) * size;
        readAt(origin.fd, in.data(), bytes, std::int64_t(start - 1) * pageSize, origin.nativePath);
        const std::uint32_t middle = start + (end - start) / 2;
        auto secondHalf = std::async(std::launch::async, [&, start, middle, end] {
            decryptPages(second.get(), start, middle + 1, end, upper);
        });
        decryptPages(cipher, start, start, middle, lower);
        secondHalf.get();
        writeAt(imageFd, out.data(), bytes, std::int64_t(start - 1) * pageSize, nativeImage);
    }
    lower.failed.insert(lower.failed.end(), upper.failed.begin(), upper.failed.end());
    lower.zeros.insert(lower.zeros.end(), upper.zeros.begin(), upper.zeros.end());
    return lower;
}

}  // namespace platform::engine
