#include "platform/engine/source/SourceFormat.h"

#include <algorithm>
#include <vector>

#include "platform/engine/EngineFailures.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/source/ImageFile.h"

namespace platform::engine {

namespace {

// Pages after page 1 tried before a key that opens nothing is called wrong.
constexpr std::uint32_t kPagesProbed = 8;
// Every SQLCipher format writes whole pages of at least this size.
constexpr std::int64_t kCipherPage = 1024;

// Every page size SQLite allows, the format's own first.
std::vector<int> pageSizesFrom(int formatPageSize) {
    std::vector<int> sizes{formatPageSize};
    for (int size = format::kMinPageSize; size <= format::kMaxPageSize; size *= 2) {
        if (size != formatPageSize) sizes.push_back(size);
    }
    return sizes;
}

}  // namespace

SourceFormat identifySource(int fd, std::int64_t size, QByteArrayView password,
                            const QString& nativeSource) {
    using namespace format;
    SourceFormat found;
    unsigned char first[kMinPageSize];
    readAt(fd, first, sizeof first, 0, nativeSource);
    if (hasMagic(first)) {
        found.pageSize = pageSizeField(first);
        if (!validPageSize(found.pageSize) || size < found.pageSize || !saneHeader(first)) {
            throw fail(DatabaseCorrupt, nativeSource);
        }
        return found;
    }
    // Encrypted, or no database: which format, if any, the key opens.
    const QByteArrayView salt(reinterpret_cast<const char*>(first), kSaltSize);
    std::vector<unsigned char> in, out;
    bool pageOneOnly = false;
    for (const CipherFormat& candidateFormat : cipherFormats()) {
        if (password.isEmpty()) break;
        if (size < candidateFormat.pageSize) continue;
        const PageCipher keyed(candidateFormat, password, salt);
        // The key is the cost; a file need not use its format's page size, so
        // every size the format allows is tried before the key is called wrong.
        for (const int pageSize : pageSizesFrom(candidateFormat.pageSize)) {
            if (size < pageSize) continue;
            auto sized = keyed.withPageSize(pageSize);
            in.resize(std::size_t(pageSize));
            out.resize(in.size());
            readAt(fd, in.data(), in.size(), 0, nativeSource);
            if (sized->decrypt(1, in.data(), out.data()) && saneHeader(out.data()) &&
                pageSizeField(out.data()) == pageSize && out[20] >= candidateFormat.reserve) {
                found.pageSize = pageSize;
                found.cipher = std::move(sized);
                return found;
            }
        }
        // Page 1 fails, yet later pages open under this key at one of those
        // sizes: the key is right and page 1 is damaged.
        if (!candidateFormat.hmac) continue;
        for (const int pageSize : pageSizesFrom(candidateFormat.pageSize)) {
            auto sized = keyed.withPageSize(pageSize);
            in.resize(std::size_t(pageSize));
            out.resize(in.size());
            const std::uint32_t pages = std::uint32_t(size / pageSize);
            for (std::uint32_t page = 2; page <= std::min(pages, kPagesProbed + 1); ++page) {
                readAt(fd, in.data(), in.size(), std::int64_t(page - 1) * pageSize, nativeSource);
                if (sized->decrypt(page, in.data(), out.data())) pageOneOnly = true;
            }
        }
    }
    // Encrypted pages cannot be told from random bytes: a file of whole pages
    // that the key does not open is taken for a wrong password.
    const bool wholePages = size >= kCipherPage && size % kCipherPage == 0;
    if (pageOneOnly || !wholePages) throw fail(DatabaseCorrupt, nativeSource);
    throw fail(NotValidPassword, nativeSource);
}

}  // namespace platform::engine
