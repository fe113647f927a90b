#include "platform/engine/source/SourceImage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>
#include <algorithm>
#include <cerrno>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/format/Freelist.h"
#include "platform/engine/source/CommittedLog.h"
#include "platform/engine/source/HotJournal.h"
#include "platform/engine/source/ImageFile.h"
#include "platform/engine/source/ImageVfs.h"
#include "platform/engine/source/PageDecryption.h"
#include "platform/engine/source/SchemaVetting.h"
#include "platform/engine/source/SourceFormat.h"

namespace platform::engine {

namespace {

// The leaf pages of the source's free list, marked, when the list reads
// whole: decrypting them would be wasted on a copy. Nothing when it does not.
std::vector<bool> freeLeaves(int fd, PageCipher* cipher, int pageSize,
                             const format::DatabaseHeader& header, std::uint32_t pageCount,
                             std::uint32_t filePages, const QString& nativeSource) {
    const std::size_t size = std::size_t(pageSize);
    const format::Freelist list = format::walkFreelist(
        header, pageCount, [&](std::uint32_t number) -> std::optional<std::vector<unsigned char>> {
            if (number > filePages) return std::nullopt;
            std::vector<unsigned char> raw(size), plain(size);
            readAt(fd, raw.data(), size, std::int64_t(number - 1) * std::int64_t(size),
                   nativeSource);
            if (!cipher) return raw;
            if (!cipher->decrypt(number, raw.data(), plain.data())) return std::nullopt;
            return plain;
        });
    std::vector<bool> leaves;
    if (!list.whole) return leaves;
    leaves.assign(std::size_t(pageCount) + 1, false);
    for (const std::uint32_t page : list.pages) {
        if (page >= 2 && page <= pageCount && !list.trunks.count(page)) leaves[page] = true;
    }
    return leaves;
}

}  // namespace

SourceImage::SourceImage(const SourceFiles& files, const std::optional<QByteArray>& password,
                         FreePages freePages)
    : files_(files) {
    const UniqueFd source(
        ::open(QFile::encodeName(files.hostSource).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!source.valid()) throw failures::systemFailure(errno, files.nativeSource);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) throw failures::systemFailure(errno, files.nativeSource);
    const std::int64_t size = info.st_size;
    if (size < format::kMinPageSize) throw fail(DatabaseCorrupt, files.nativeSource);
    const SourceFormat found =
        identifySource(source.get(), size, password.value_or(QByteArray()), files.nativeSource);
    if (found.cipher) keys_ = found.cipher->twin();
    pageSize_ = found.pageSize;

    // Page 1 as it reads, for the database's size.
    std::vector<unsigned char> first(static_cast<std::size_t>(pageSize_));
    readAt(source.get(), first.data(), first.size(), 0, files.nativeSource);
    std::vector<unsigned char> plain = first;
    if (found.cipher) found.cipher->decrypt(1, first.data(), plain.data());
    const std::uint32_t filePages = std::uint32_t(size / pageSize_);
    const format::DatabaseHeader header = format::parseHeader(plain.data());
    pageCount_ = header.pageCountCurrent ? header.pageCount : filePages;

    // A transaction the writer did not finish: its journal puts the pages it
    // changed back and the file back to its size, as SQLite would at its next
    // open; only then do the log's committed frames count.
    const HotJournal journal = readHotJournal(files.hostSource, files.nativeSource, pageSize_);
    if (journal.rollback.rollsBack) pageCount_ = journal.rollback.originalPages;
    const CommittedLog log = readCommittedLog(files.hostSource, files.nativeSource, pageSize_);
    if (log.pageCount) pageCount_ = log.pageCount;
    // A size beyond any sane file is damage, not a reason to write gigabytes.
    const std::uint32_t limit =
        filePages + std::uint32_t(log.frames.size()) + std::uint32_t(journal.rollback.pages.size());
    if (pageCount_ > limit) {
        truncated_ = true;
        pageCount_ = limit;
    }

    std::vector<bool> leftOut;
    if (freePages == FreePages::LeaveOut && log.frames.empty() && !journal.rollback.rollsBack) {
        leftOut = freeLeaves(source.get(), found.cipher.get(), pageSize_, header, pageCount_,
                             filePages, files.nativeSource);
        leftOutFreePages_ = !leftOut.empty();
    }

    image_ = privateFile(files_.hostImageFolder, files_.nativeImageFolder);
    DecryptedPages decrypted =
        decryptInto({source.get(), files.nativeSource, filePages, log}, found.cipher.get(),
                    pageSize_, pageCount_, leftOut, image_.get(), files_.nativeImageFolder);
    rollBackInto(journal, found.cipher.get(), pageCount_, log.frames, image_.get(),
                 files_.nativeImageFolder, decrypted);
    badPages_ = std::move(decrypted.failed);
    std::sort(badPages_.begin(), badPages_.end());
    // The image says what it holds: its size in pages, current.
    if (pageCount_ > 0) {
        QByteArray one = page(1);
        format::setRollbackImage(reinterpret_cast<unsigned char*>(one.data()), pageCount_);
        writePage(1, one);
    }
    markZeroPagesInUse(decrypted.zeros);
    std::sort(badPages_.begin(), badPages_.end());
    // Before anything reads the schema: only the text SQLite would use stays.
    vetted_ = vetSchema(*this);
}

std::string SourceImage::uri() const {
    return imageUri(image_.get());
}

std::string SourceImage::copyUri() const {
    return imageUri(image_.get(), ImageUse::CopyFrom);
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
    return format::bigEndian32(next);
}

void SourceImage::writePage(std::uint32_t number, const QByteArray& bytes) {
    writeAt(image_.get(), reinterpret_cast<const unsigned char*>(bytes.constData()),
            std::size_t(pageSize_), std::int64_t(number - 1) * pageSize_, files_.nativeImageFolder);
}

// A page of zeros is no page the database can use, unless it is free.
void SourceImage::markZeroPagesInUse(const std::vector<std::uint32_t>& zeroPages) {
    if (zeroPages.empty()) return;
    const QByteArray one = page(1);
    const format::Freelist freelist = format::walkFreelist(
        format::parseHeader(reinterpret_cast<const unsigned char*>(one.constData())), pageCount_,
        [this](std::uint32_t number) -> std::optional<std::vector<unsigned char>> {
            if (std::binary_search(badPages_.begin(), badPages_.end(), number)) return {};
            const QByteArray bytes = page(number);
            return std::vector<unsigned char>(bytes.begin(), bytes.end());
        });
    for (const std::uint32_t zero : zeroPages) {
        if (!freelist.pages.count(zero)) badPages_.push_back(zero);
    }
}

}  // namespace platform::engine
