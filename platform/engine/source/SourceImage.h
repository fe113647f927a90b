#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/crypto/CipherFormat.h"
#include "platform/engine/crypto/PageCipher.h"
#include "platform/engine/source/SchemaVetting.h"
#include "platform/host/UniqueFd.h"

namespace platform::engine {

// Whether the free list's leaf pages are read. They hold nothing a copy of
// the database's rows needs, but a repair looks at every page.
enum class FreePages { Read, LeaveOut };

// Where a source is read from and how its failures name it.
struct SourceFiles {
    QString hostSource;
    QString nativeSource;
    // The folder of the private image file (the destination's).
    QString hostImageFolder;
    QString nativeImageFolder;
};

// The database as its pages read: every page of the source, with a hot
// rollback journal rolled back and the committed frames of its write-ahead
// log applied, decrypted into a private plaintext file that has no name (gone
// with its descriptor, whatever happens) and that SQLite reads as an ordinary
// database. Pages that fail
// authentication, are missing or are zeros where the database uses them are
// listed and left as zeros. The source is only read. With
// FreePages::LeaveOut the leaf pages of the source's free list are zeros,
// unread, when the list reads whole and no log or journal changes it.
class SourceImage {
  public:
    // Raises the engine's refusals: 3049 for no database (or page 1 damaged
    // while the rest opens under the key, or a journal of another page size)
    // and 3031 for a key that opens nothing.
    SourceImage(const SourceFiles& files, const std::optional<QByteArray>& password,
                FreePages freePages = FreePages::Read);

    // The SQLCipher format the source was written in; nullptr for plaintext.
    const CipherFormat* cipher() const { return keys_ ? &keys_->format() : nullptr; }
    // Its keys, for a copy written in the same format; nullptr for plaintext.
    const PageCipher* pageCipher() const { return keys_.get(); }
    int pageSize() const { return pageSize_; }
    std::uint32_t pageCount() const { return pageCount_; }
    const std::vector<std::uint32_t>& badPages() const { return badPages_; }
    // Every page there and read: none failed, none is missing.
    bool whole() const { return badPages_.empty() && !truncated_; }
    // Free pages were left out: a repair needs an image that reads them.
    bool leftOutFreePages() const { return leftOutFreePages_; }
    // Schema entries whose text was cut to its first statement, or refused.
    const VettedSchema& vettedSchema() const { return vetted_; }
    // A read-only URI of the image for SQLite.
    std::string uri() const;
    // A URI of the image for a whole copy to read from (see ImageUse).
    std::string copyUri() const;

    QByteArray page(std::uint32_t number) const;
    void writePage(std::uint32_t number, const QByteArray& bytes);
    // The first four bytes of a page: where an overflow page's chain goes on.
    std::uint32_t nextOverflowPage(std::uint32_t number) const;

  private:
    void markZeroPagesInUse(const std::vector<std::uint32_t>& zeroPages);

    SourceFiles files_;
    std::unique_ptr<PageCipher> keys_;
    int pageSize_ = 0;
    std::uint32_t pageCount_ = 0;
    std::vector<std::uint32_t> badPages_;
    bool truncated_ = false;
    bool leftOutFreePages_ = false;
    VettedSchema vetted_;
    UniqueFd image_;
};

}  // namespace platform::engine
