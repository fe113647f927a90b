#include "platform/engine/SourceImage.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <set>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/ImageVfs.h"
#include "platform/host/HostCalls.h"

namespace platform::engine {

namespace {

constexpr char kPlainHeader[] = "SQLite format 3";  // with its NUL: 16 bytes
constexpr int kMinPageSize = 512;
constexpr int kMaxPageSize = 65536;
// Pages read and decrypted per step: large reads, bounded memory.
constexpr int kPagesPerChunk = 1024;
// Pages after page 1 tried before a key that opens nothing is called wrong.
constexpr std::uint32_t kPagesProbed = 8;

std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

int pageSizeField(const unsigned char* header) {
    const int value = header[16] << 8 | header[17];
    return value == 1 ? kMaxPageSize : value;
}

bool validPageSize(int size) {
    return size >= kMinPageSize && size <= kMaxPageSize && (size & (size - 1)) == 0;
}

// The fixed bytes of a sound SQLite header (payload fractions).
bool saneHeader(const unsigned char* page) {
    return page[21] == 64 && page[22] == 32 && page[23] == 32;
}

bool allZero(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i]) return false;
    }
    return true;
}

void readAt(int fd, unsigned char* buffer, std::size_t size, std::int64_t offset,
            const QString& nativePath) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, buffer + done, size - done, off_t(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw failures::systemFailure(errno, nativePath);
        if (got == 0) {
            std::memset(buffer + done, 0, size - done);
            return;
        }
        done += std::size_t(got);
    }
}

void writeAt(int fd, const unsigned char* buffer, std::size_t size, std::int64_t offset,
             const QString& nativePath) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(fd, buffer + done, size - done, off_t(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) throw failures::systemFailure(errno, nativePath);
        done += std::size_t(put);
    }
}

// The committed frames of a write-ahead log: for each page, where its latest
// committed version starts, and the database's size in pages after the last
// commit (0: no committed frame). Frames past the first that fails its
// checksum or salt, and frames after the last commit, are not part of the
// database, as SQLite itself reads a log.
struct CommittedLog {
    std::map<std::uint32_t, std::int64_t> frames;
    std::uint32_t pageCount = 0;
};

CommittedLog readLog(int fd, std::int64_t size, int pageSize, const QString& nativePath) {
    CommittedLog log;
    constexpr int kHeader = 32;
    constexpr int kFrameHeader = 24;
    if (size < kHeader) return log;
    unsigned char header[kHeader];
    readAt(fd, header, kHeader, 0, nativePath);
    const std::uint32_t magic = bigEndian32(header);
    if ((magic & ~1u) != 0x377f0682u || int(bigEndian32(header + 8)) != pageSize) return log;
    const bool bigEndianSums = magic & 1;
    auto word = [&](const unsigned char* p) {
        return bigEndianSums ? bigEndian32(p)
                             : std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                                   std::uint32_t(p[1]) << 8 | p[0];
    };
    std::uint32_t s0 = 0, s1 = 0;
    auto sum = [&](const unsigned char* p, std::size_t bytes) {
        for (std::size_t i = 0; i + 8 <= bytes; i += 8) {
            s0 += word(p + i) + s1;
            s1 += word(p + i + 4) + s0;
        }
    };
    sum(header, 24);
    if (s0 != bigEndian32(header + 24) || s1 != bigEndian32(header + 28)) return log;

    std::map<std::uint32_t, std::int64_t> pending;
    std::vector<unsigned char> frame(std::size_t(kFrameHeader + pageSize));
    for (std::int64_t at = kHeader; at + kFrameHeader + pageSize <= size;
         at += kFrameHeader + pageSize) {
        readAt(fd, frame.data(), frame.size(), at, nativePath);
        if (std::memcmp(frame.data() + 8, header + 16, 8) != 0) break;
        sum(frame.data(), 8);
        sum(frame.data() + kFrameHeader, std::size_t(pageSize));
        if (s0 != bigEndian32(frame.data() + 16) || s1 != bigEndian32(frame.data() + 20)) break;
        const std::uint32_t page = bigEndian32(frame.data());
        if (page == 0) break;
        pending[page] = at + kFrameHeader;
        if (const std::uint32_t commit = bigEndian32(frame.data() + 4)) {
            for (const auto& [number, offset] : pending) log.frames[number] = offset;
            pending.clear();
            log.pageCount = commit;
        }
    }
    return log;
}

// A journal SQLite would call hot: present, not empty, its header not zeroed.
bool hasHotJournal(const QString& hostSource) {
    QFile journal(hostSource + QStringLiteral("-journal"));
    if (!journal.open(QIODevice::ReadOnly)) return false;
    const QByteArray first = journal.read(1);
    return !first.isEmpty() && first.at(0) != 0;
}

// A file of its own that no name leads to: removed by the system when the
// last descriptor closes, crash or not.
UniqueFd privateFile(const QString& hostFolder, const QString& nativeFolder) {
    const QByteArray folder = QFile::encodeName(hostFolder);
    UniqueFd fd(::open(folder.constData(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (fd.valid()) return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw host::pathFailure(errno, nativeFolder);
    }
    QByteArray name = folder + "/.compact-XXXXXX";
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) throw host::pathFailure(errno, nativeFolder);
    ::unlink(name.constData());
    return fd;
}

}  // namespace

SourceImage::SourceImage(const SourceFiles& files, const std::optional<QByteArray>& password)
    : files_(files) {
    const UniqueFd source(
        ::open(QFile::encodeName(files.hostSource).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!source.valid()) throw failures::systemFailure(errno, files.nativeSource);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) throw failures::systemFailure(errno, files.nativeSource);
    // A rollback journal left by an interrupted transaction: only a writer may
    // roll it back, and a copy made without it would be wrong.
    if (hasHotJournal(files.hostSource)) {
        throw fail(DatabaseInUse,
                   files.nativeSource + QStringLiteral(": an unfinished transaction"));
    }
    if (info.st_size < kMinPageSize) throw fail(DatabaseCorrupt, files.nativeSource);
    decryptAll(source.get(), info.st_size, password.value_or(QByteArray()));
}

std::string SourceImage::uri() const {
    return imageUri(image_.get());
}

QByteArray SourceImage::page(std::uint32_t number) const {
    QByteArray bytes(pageSize_, Qt::Uninitialized);
    readAt(image_.get(), reinterpret_cast<unsigned char*>(bytes.data()), std::size_t(pageSize_),
           std::int64_t(number - 1) * pageSize_, files_.nativeImageFolder);
    return bytes;
}

std::uint32_t SourceImage::nextOverflowPage(std::uint32_t number) const {
    unsigned char next[4];
    readAt(image_.get(), next, sizeof next, std::int64_t(number - 1) * pageSize_,
           files_.nativeImageFolder);
    return bigEndian32(next);
}

void SourceImage::writePage(std::uint32_t number, const QByteArray& bytes) {
    writeAt(image_.get(), reinterpret_cast<const unsigned char*>(bytes.constData()),
            std::size_t(pageSize_), std::int64_t(number - 1) * pageSize_, files_.nativeImageFolder);
}

void SourceImage::decryptAll(int sourceFd, std::int64_t sourceSize, QByteArrayView password) {
    unsigned char first[kMinPageSize];
    readAt(sourceFd, first, sizeof first, 0, files_.nativeSource);
    std::unique_ptr<PageCipher> cipher;
    std::vector<unsigned char> in, out;
    if (std::memcmp(first, kPlainHeader, sizeof kPlainHeader) == 0) {
        pageSize_ = pageSizeField(first);
        if (!validPageSize(pageSize_) || sourceSize < pageSize_ || !saneHeader(first)) {
            throw fail(DatabaseCorrupt, files_.nativeSource);
        }
    } else {
        // Encrypted, or no database: which format, if any, the key opens.
        std::size_t count = 0;
        const CipherFormat* formats = cipherFormats(count);
        const QByteArrayView salt(reinterpret_cast<const char*>(first), kSaltSize);
        std::vector<std::unique_ptr<PageCipher>> tried;
        bool pageOneOnly = false;
        for (std::size_t f = 0; f < count && !password.isEmpty(); ++f) {
            const CipherFormat& format = formats[f];
            if (sourceSize < format.pageSize) continue;
            auto candidate = std::make_unique<PageCipher>(format, password, salt);
            in.resize(std::size_t(format.pageSize));
            out.resize(in.size());
            readAt(sourceFd, in.data(), in.size(), 0, files_.nativeSource);
            if (candidate->decrypt(1, in.data(), out.data()) && saneHeader(out.data()) &&
                pageSizeField(out.data()) == format.pageSize && out[20] >= format.reserve) {
                cipher = std::move(candidate);
                break;
            }
            // Page 1 fails, yet later pages open under this key: the key is
            // right and page 1 is damaged.
            const std::uint32_t pages = std::uint32_t(sourceSize / format.pageSize);
            for (std::uint32_t page = 2; page <= std::min(pages, kPagesProbed + 1); ++page) {
                readAt(sourceFd, in.data(), in.size(), std::int64_t(page - 1) * format.pageSize,
                       files_.nativeSource);
                if (format.hmac && candidate->decrypt(page, in.data(), out.data())) {
                    pageOneOnly = true;
                }
            }
            tried.push_back(std::move(candidate));
        }
        if (!cipher) {
            // Encrypted pages cannot be told from random bytes: a file of whole
            // pages that the key does not open is taken for a wrong password.
            constexpr std::int64_t kCipherPage = 1024;
            const bool wholePages = sourceSize >= kCipherPage && sourceSize % kCipherPage == 0;
            if (pageOneOnly || !wholePages) throw fail(DatabaseCorrupt, files_.nativeSource);
            throw fail(NotValidPassword, files_.nativeSource);
        }
        cipher_ = &cipher->format();
        pageSize_ = cipher_->pageSize;
    }

    in.resize(std::size_t(pageSize_) * kPagesPerChunk);
    out.resize(in.size());
    // Page 1 as it reads, for the database's size.
    readAt(sourceFd, in.data(), std::size_t(pageSize_), 0, files_.nativeSource);
    std::memcpy(out.data(), in.data(), std::size_t(pageSize_));
    if (cipher) cipher->decrypt(1, in.data(), out.data());
    const std::uint32_t filePages = std::uint32_t(sourceSize / pageSize_);
    // The size in the header counts only while it is current (as SQLite reads it).
    const std::uint32_t headerPages = bigEndian32(out.data() + 28);
    const bool headerCurrent =
        headerPages != 0 && std::memcmp(out.data() + 24, out.data() + 92, 4) == 0;
    pageCount_ = headerCurrent ? headerPages : filePages;

    int logFd = -1;
    UniqueFd log(::open(QFile::encodeName(files_.hostSource + QStringLiteral("-wal")).constData(),
                        O_RDONLY | O_NOCTTY | O_CLOEXEC));
    CommittedLog committed;
    if (log.valid()) {
        struct stat logInfo {};
        if (::fstat(log.get(), &logInfo) != 0) {
            throw failures::systemFailure(errno, files_.nativeSource + QStringLiteral("-wal"));
        }
        committed = readLog(log.get(), logInfo.st_size, pageSize_,
                            files_.nativeSource + QStringLiteral("-wal"));
        if (committed.pageCount) pageCount_ = committed.pageCount;
        logFd = log.get();
    }
    // A size beyond any sane file is damage, not a reason to write gigabytes.
    const std::uint32_t limit = filePages + std::uint32_t(committed.frames.size());
    if (pageCount_ > limit) {
        truncated_ = true;
        pageCount_ = limit;
    }

    // SQLite never uses the page that holds the lock byte at 1 GiB: it is
    // never written, so it neither authenticates nor matters.
    const std::uint32_t lockBytePage = std::uint32_t(0x40000000 / pageSize_) + 1;
    image_ = privateFile(files_.hostImageFolder, files_.nativeImageFolder);
    // Each chunk is decrypted in two halves, the second on another thread
    // with a twin of the cipher: the work is the CPU's, the reads are not.
    std::unique_ptr<PageCipher> second = cipher ? cipher->twin() : nullptr;
    struct Found {
        std::vector<std::uint32_t> bad, zero;
    };
    Found lower, upper;
    auto decryptPages = [&](PageCipher* pages, std::uint32_t start, std::uint32_t from,
                            std::uint32_t to, Found& found) {
        for (std::uint32_t page = from; page <= to; ++page) {
            unsigned char* raw = in.data() + std::size_t(page - start) * std::size_t(pageSize_);
            unsigned char* plain = out.data() + std::size_t(page - start) * std::size_t(pageSize_);
            const auto frame = committed.frames.find(page);
            if (frame != committed.frames.end()) {
                readAt(logFd, raw, std::size_t(pageSize_), frame->second,
                       files_.nativeSource + QStringLiteral("-wal"));
            }
            const bool missing = frame == committed.frames.end() && page > filePages;
            if (page == lockBytePage) {
                std::memset(plain, 0, std::size_t(pageSize_));
                continue;
            }
            bool good = !missing;
            if (good && pages) {
                good = pages->decrypt(page, raw, plain);
            } else if (good) {
                std::memcpy(plain, raw, std::size_t(pageSize_));
                if (allZero(raw, std::size_t(pageSize_))) found.zero.push_back(page);
            }
            if (!good) {
                std::memset(plain, 0, std::size_t(pageSize_));
                found.bad.push_back(page);
            }
        }
    };
    for (std::uint32_t start = 1; start <= pageCount_; start += kPagesPerChunk) {
        const std::uint32_t end = std::min<std::uint32_t>(pageCount_, start + kPagesPerChunk - 1);
        readAt(sourceFd, in.data(), std::size_t(end - start + 1) * std::size_t(pageSize_),
               std::int64_t(start - 1) * pageSize_, files_.nativeSource);
        const std::uint32_t middle = start + (end - start) / 2;
        auto secondHalf = std::async(std::launch::async, [&, start, middle, end] {
            decryptPages(second.get(), start, middle + 1, end, upper);
        });
        decryptPages(cipher.get(), start, start, middle, lower);
        secondHalf.get();
        writeAt(image_.get(), out.data(), std::size_t(end - start + 1) * std::size_t(pageSize_),
                std::int64_t(start - 1) * pageSize_, files_.nativeImageFolder);
    }
    badPages_.insert(badPages_.end(), lower.bad.begin(), lower.bad.end());
    badPages_.insert(badPages_.end(), upper.bad.begin(), upper.bad.end());
    std::vector<std::uint32_t> zeroPages = std::move(lower.zero);
    zeroPages.insert(zeroPages.end(), upper.zero.begin(), upper.zero.end());
    // The image says what it holds: its size in pages, current.
    if (pageCount_ > 0) {
        QByteArray one = page(1);
        auto* header = reinterpret_cast<unsigned char*>(one.data());
        for (int i = 0; i < 4; ++i) header[28 + i] = (unsigned char)(pageCount_ >> (24 - 8 * i));
        std::memcpy(header + 92, header + 24, 4);
        // Read as a rollback-journal database: the log is already applied.
        header[18] = header[19] = 1;
        writePage(1, one);
    }
    markZeroPagesInUse(zeroPages);
    std::sort(badPages_.begin(), badPages_.end());
}

// A page of zeros is no page the database can use, unless it is free.
void SourceImage::markZeroPagesInUse(const std::vector<std::uint32_t>& zeroPages) {
    if (zeroPages.empty()) return;
    std::set<std::uint32_t> freePages;
    const QByteArray one = page(1);
    std::uint32_t trunk = bigEndian32(reinterpret_cast<const unsigned char*>(one.constData()) + 32);
    const int usable = pageSize_ - static_cast<unsigned char>(one.at(20));
    // Each trunk is visited once: a looping list ends.
    while (trunk >= 2 && trunk <= pageCount_ && freePages.insert(trunk).second) {
        const QByteArray bytes = page(trunk);
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
        const std::uint32_t leaves = std::min<std::uint32_t>(bigEndian32(p + 4), (usable - 8) / 4);
        for (std::uint32_t i = 0; i < leaves; ++i) freePages.insert(bigEndian32(p + 8 + 4 * i));
        trunk = bigEndian32(p);
    }
    for (const std::uint32_t zero : zeroPages) {
        if (!freePages.count(zero)) badPages_.push_back(zero);
    }
}

}  // namespace platform::engine
