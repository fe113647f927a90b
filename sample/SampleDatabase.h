#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "platform/sqlite/Database.h"

namespace sample {

// The password the program opens every session database with.
inline constexpr char kPassword[] = "Wq7#Lm.2%xR!9z";

struct DatabaseOptions {
    // Approximate size of the file when made.
    std::int64_t sizeBytes = 1 << 20;
    // Share of the file's pages left free (rows inserted, then deleted).
    double freeShare = 0.5;
    QByteArray password = kPassword;
    std::uint32_t seed = 1;
    // SQLCipher's file format by its major version: 3 is the product's (1 KiB
    // pages, PBKDF2-HMAC-SHA1 64,000 iterations), 4 the library's default.
    int cipherFormat = 3;
};

// Makes a new SQLCipher database (in the given format) that looks like a
// school's records: classes, students, subjects, marks and an audit table,
// with indexes, a view and a trigger. Fails (std::runtime_error) if the file
// exists.
void createDatabase(const QString& hostPath, const DatabaseOptions& options = {});

// Overwrites `pages` whole 1 KiB pages in the middle of the file with random
// bytes, spread a few pages apart; page 1 is never touched.
void damage(const QString& hostPath, int pages, std::uint32_t seed = 1);

// Overwrites one leaf page in the middle of a table's (or an index's) b-tree
// with random bytes: what that page held is gone. Returns the page number.
std::int64_t damageLeaf(const QString& hostPath, const QByteArray& name, std::uint32_t seed = 1,
                        const QByteArray& password = kPassword);

// Opens a database read-only in whichever SQLCipher format (4, 3, 2, 1) the
// password opens it; plaintext for an empty password. Raises SqliteError.
std::unique_ptr<platform::sqlite::Database> openForReading(const QString& hostPath,
                                                           const QByteArray& password = kPassword);

// A digest of the schema (without root page numbers), user_version and every
// row of every table in a stable order: equal digests mean equal content.
QByteArray contentDigest(const QString& hostPath, const QByteArray& password = kPassword);

// The number of rows in one table.
std::int64_t rowCount(const QString& hostPath, const QByteArray& table,
                      const QByteArray& password = kPassword);

// The first answer of PRAGMA integrity_check: "ok" for a sound database.
QByteArray integrityCheck(const QString& hostPath, const QByteArray& password = kPassword);

}  // namespace sample
