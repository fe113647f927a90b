#include "platform/engine/source/HotJournal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Failures.h"
#include "platform/engine/EngineFailures.h"
#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/source/ImageFile.h"
#include "platform/engine/source/PageDecryption.h"

namespace platform::engine {

namespace {

QString journalPath(const QString& database) {
    return database + QStringLiteral("-journal");
}

void forget(std::vector<std::uint32_t>& pages, std::uint32_t page) {
    pages.erase(std::remove(pages.begin(), pages.end(), page), pages.end());
}

}  // namespace

bool hasHotJournal(const QString& hostDatabase) {
    QFile journal(journalPath(hostDatabase));
    if (!journal.open(QIODevice::ReadOnly)) return false;
    const QByteArray first = journal.read(1);
    return !first.isEmpty() && format::journalIsHot(journal.size(), first.at(0));
}

HotJournal readHotJournal(const QString& hostDatabase, const QString& nativeDatabase,
                          int pageSize) {
    HotJournal journal;
    journal.nativePath = journalPath(nativeDatabase);
    // Opened once: a writer that finishes meanwhile removes the name, not
    // what this descriptor reads.
    journal.fd.reset(::open(QFile::encodeName(journalPath(hostDatabase)).constData(),
                            O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!journal.fd.valid()) return journal;
    struct stat info {};
    if (::fstat(journal.fd.get(), &info) != 0) {
        throw failures::systemFailure(errno, journal.nativePath);
    }
    const std::int64_t size = info.st_size;
    unsigned char first = 0;
    if (size > 0) readAt(journal.fd.get(), &first, 1, 0, journal.nativePath);
    if (!format::journalIsHot(size, first)) return journal;
    const format::JournalReader read = [&](std::int64_t at, unsigned char* out, std::size_t bytes) {
        if (at + std::int64_t(bytes) > size) return false;
        readAt(journal.fd.get(), out, bytes, at, journal.nativePath);
        return true;
    };
    // A transaction over several databases whose super-journal is gone has
    // committed: its journal is left over, not to be played.
    const std::string super = format::superJournalName(size, read);
    if (!super.empty() && !QFile::exists(QFile::decodeName(QByteArray::fromStdString(super)))) {
        return journal;
    }
    journal.rollback = format::planRollback(size, pageSize, read);
    if (journal.rollback.rollsBack && journal.rollback.pageSize != pageSize) {
        throw fail(DatabaseCorrupt, journal.nativePath);
    }
    return journal;
}

void rollBackInto(const HotJournal& journal, PageCipher* cipher, std::uint32_t pageCount,
                  const std::map<std::uint32_t, std::int64_t>& logged, int imageFd,
                  const QString& nativeImage, DecryptedPages& pages) {
    const std::size_t size = std::size_t(journal.rollback.pageSize);
    std::vector<unsigned char> raw(size), plain(size);
    for (const auto& [page, at] : journal.rollback.pages) {
        if (page > pageCount || logged.count(page)) continue;
        readAt(journal.fd.get(), raw.data(), size, at, journal.nativePath);
        forget(pages.failed, page);
        forget(pages.zeros, page);
        bool good = true;
        if (cipher) {
            good = cipher->decrypt(page, raw.data(), plain.data());
        } else {
            plain = raw;
            if (format::allZero(raw.data(), size)) pages.zeros.push_back(page);
        }
        if (!good) {
            std::fill(plain.begin(), plain.end(), 0);
            pages.failed.push_back(page);
        }
        writeAt(imageFd, plain.data(), size, std::int64_t(page - 1) * std::int64_t(size),
                nativeImage);
    }
}

}  // namespace platform::engine
