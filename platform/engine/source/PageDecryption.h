#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace platform::engine {

class PageCipher;
struct CommittedLog;

// Pages read and decrypted per step: large reads, bounded memory.
inline constexpr std::uint32_t kPagesPerChunk = 1024;

// Where the pages of a source come from: its file, and the log's committed
// frames in place of the file's versions.
struct PageOrigin {
    int fd;
    QString nativePath;
    std::uint32_t filePages;
    const CommittedLog& log;
};

struct DecryptedPages {
    std::vector<std::uint32_t> failed;  // missing or failing authentication
    std::vector<std::uint32_t> zeros;   // all zeros (plaintext only)
};

// Reads pages 1 to `pageCount`, decrypts and authenticates each (a null
// cipher copies plaintext), and writes them to the image, failed pages as
// zeros; pages marked in `leftOut` are written as zeros unread. The work is
// split over two threads, a chunk at a time, so memory stays flat.
DecryptedPages decryptInto(const PageOrigin& origin, PageCipher* cipher, int pageSize,
                           std::uint32_t pageCount, const std::vector<bool>& leftOut, int imageFd,
                           const QString& nativeImage);

}  // namespace platform::engine
