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
