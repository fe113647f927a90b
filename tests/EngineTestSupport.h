#pragma once

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <vector>

#include "platform/Automation.h"
#include "platform/DriveMap.h"
#include "platform/Failure.h"
#include "platform/Variant.h"
#include "platform/engine/DatabaseEngine.h"
#include "sample/SampleDatabase.h"
#include "tests/TestHelpers.h"

namespace engine_test {

using platform::Variant;

inline const QString kConnect = QStringLiteral(";pwd=") + QString::fromLatin1(sample::kPassword);

// A drive C: in a temporary folder with the engine registered on it.
class EngineTest : public ::testing::Test {
  protected:
    EngineTest() {
        platform::registerDatabaseEngine(classes_,
                                         platform::DriveMap::withRoot('C', drive_.path()));
        QDir(drive_.path()).mkpath(QStringLiteral("db"));
    }

    // The host path of a native path under C:\db.
    QString host(const QString& name) const { return drive_.path() + "/db/" + name; }
    static QString native(const QString& name) { return "C:\\db\\" + name; }

    static sample::DatabaseOptions smallDatabase(double freeShare = 0.5) {
        sample::DatabaseOptions options;
        options.sizeBytes = 256 * 1024;
        options.freeShare = freeShare;
        return options;
    }

    QString makeDatabase(const QString& name,
                         const sample::DatabaseOptions& options = smallDatabase()) {
        sample::createDatabase(host(name), options);
        return host(name);
    }

    std::unique_ptr<platform::AutomationObject> engine() const {
        return classes_.createObject(QStringLiteral("DAO.DBEngine.36"));
    }

    // CompactDatabase as the repair run calls it.
    void compact(const QString& source, const QString& destination,
                 const QString& connect = kConnect) const {
        engine()->invoke(QStringLiteral("CompactDatabase"),
                         {Variant::text(native(source)), Variant::text(native(destination)),
                          Variant::missing(), Variant::int16(128), Variant::text(connect)});
    }

    platform::ClassRegistry classes_;
    QTemporaryDir drive_;
};

inline QByteArray fileHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "absent";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace engine_test

namespace engine_test {

// Rows of a copy (in the product's format 3, or plaintext) that the intact
// original does not hold exactly so, each with its rowid by each of its names
// where its table has one: a sound repair leaves rows out, it never changes
// one.
inline std::int64_t rowsNotInOriginal(const QString& copy, const QString& original,
                                      bool encrypted = true) {
    using platform::sqlite::Database;
    using platform::sqlite::Statement;
    Database database(QFile::encodeName(copy).toStdString(), 0x2 /* read-write */);
    if (encrypted) {
        database.key(sample::kPassword);
        database.execute("PRAGMA cipher_compatibility = 3");
        // An attached file takes the defaults, for this one statement format 3's.
        database.execute("PRAGMA cipher_default_compatibility = 3");
    }
    {
        Statement attach(database.handle(), "ATTACH ?1 AS original KEY ?2");
        attach.bindText(1, QFile::encodeName(original));
        attach.bindText(2, encrypted ? QByteArray(sample::kPassword) : QByteArray());
        attach.step();
    }
    if (encrypted) database.execute("PRAGMA cipher_default_compatibility = 4");
    std::vector<std::pair<QByteArray, bool>> tables;
    {
        Statement list(database.handle(),
                       "SELECT name, wr FROM pragma_table_list WHERE schema = 'main' AND "
                       "type = 'table' AND name NOT LIKE 'sqlite_%'");
        while (list.step()) tables.emplace_back(list.columnText(0), list.columnInt64(1) == 0);
    }
    std::int64_t differing = 0;
    for (const auto& [table, withRowid] : tables) {
        const std::string name = platform::sqlite::identifier(table);
        // Each rowid name reads the rowid unless a column takes it.
        const std::string columns = withRowid ? "rowid, _rowid_, oid, *" : "*";
        differing +=
            database.queryInt64("SELECT count(*) FROM (SELECT " + columns + " FROM main." + name +
                                " EXCEPT SELECT " + columns + " FROM original." + name + ")");
    }
    return differing;
}

// A page of a plaintext table's tree below its root that points to others.
inline std::int64_t interiorPageBelowRoot(const QString& path, const char* table) {
    return sample::openForReading(path, QByteArray())
        ->queryInt64(std::string("SELECT pageno FROM dbstat WHERE name = '") + table +
                     "' AND pagetype = 'internal' AND pageno != (SELECT rootpage FROM "
                     "sqlite_master WHERE name = '" +
                     table + "') LIMIT 1");
}

// The number of problems the engine reported for its last operation.
inline std::int32_t errorCount(platform::AutomationObject& engine) {
    const Variant errors = engine.invoke(QStringLiteral("Errors"), {});
    return errors.get<std::shared_ptr<platform::AutomationObject>>()
        ->invoke(QStringLiteral("Count"), {})
        .get<std::int32_t>();
}

}  // namespace engine_test
