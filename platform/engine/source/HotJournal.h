#pragma once

#include <QString>
#include <cstdint>
#include <map>

#include "platform/engine/format/RollbackJournal.h"
#include "platform/host/UniqueFd.h"

namespace platform::engine {

class PageCipher;
struct DecryptedPages;

// A rollback journal beside the database that SQLite would call hot:
// present, not empty, its header not zeroed.
bool hasHotJournal(const QString& hostDatabase);

// The hot journal beside a database and what rolling it back does, as SQLite
// would at its next open.
struct HotJournal {
    UniqueFd fd;
    QString nativePath;
    format::JournalRollback rollback;  // rollsBack false: nothing to roll back
};

// Raises 3049 for a journal of pages of another size than the database's:
// the state it would restore cannot be told.
HotJournal readHotJournal(const QString& hostDatabase, const QString& nativeDatabase, int pageSize);

// Writes the journal's pages into the image as SQLite writes them back into
// the file, each decrypted and judged like the file's own (a null cipher
// copies plaintext). Pages past `pageCount`, and those the log holds newer
// versions of, stay as they are. `pages` follows: a page put back is failed
// or zeros only by its journal version.
void rollBackInto(const HotJournal& journal, PageCipher* cipher, std::uint32_t pageCount,
                  const std::map<std::uint32_t, std::int64_t>& logged, int imageFd,
                  const QString& nativeImage, DecryptedPages& pages);

}  // namespace platform::engine
