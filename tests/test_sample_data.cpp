#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "sample/DataRoot.h"
#include "sample/SampleDatabase.h"

namespace {

sample::Session session(const char* key, qint64 size, int damagedPages = 0) {
    sample::Session made;
    made.key = QString::fromLatin1(key);
    made.database.sizeBytes = size;
    made.database.freeShare = 0.5;
    made.damagedPages = damagedPages;
    return made;
}

TEST(SampleData, LaysOutSessionsUnderTheDataRoot) {
    QTemporaryDir drive;
    const auto made = sample::layOutDataRoot(
        drive.path(), {session("2023", 64 << 10), session("2024", 200 << 10)});
    const QString folder = drive.path() + "/DATA-TINJARA-SM$/DataSesi2024-SM-ABC1234";
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[1], folder + "/TinjaraSM2024.tnjra");
    EXPECT_TRUE(QFileInfo::exists(drive.path() +
                                  "/DATA-TINJARA-SM$/DataSesi2023-SM-ABC1234/TinjaraSM2023.tnjra"));
    // About the size asked for, with students left after the deletions.
    EXPECT_GE(QFileInfo(made[1]).size(), 200 << 10);
    EXPECT_LT(QFileInfo(made[1]).size(), 300 << 10);
    EXPECT_GT(sample::rowCount(made[1], "students"), 0);
    EXPECT_EQ(sample::integrityCheck(made[1]), "ok");
}

TEST(SampleData, SameSeedSameDigestAndDamageBreaksTheFile) {
    QTemporaryDir drive;
    sample::Session otherSeed = session("2026", 128 << 10);
    otherSeed.database.seed = 2;
    const auto made = sample::layOutDataRoot(
        drive.path(), {session("2024", 128 << 10), session("2025", 128 << 10), otherSeed,
                       session("2027", 128 << 10, 4)});
    EXPECT_EQ(sample::contentDigest(made[0]), sample::contentDigest(made[1]));
    EXPECT_NE(sample::contentDigest(made[0]), sample::contentDigest(made[2]));
    EXPECT_ANY_THROW(sample::contentDigest(made[3]));
}

TEST(SampleData, WinePrefixMapsDriveCToDriveC) {
    QTemporaryDir prefix;
    const QString drive = sample::layOutWinePrefix(prefix.path());
    EXPECT_EQ(QFileInfo(prefix.path() + "/dosdevices/c:").canonicalFilePath(),
              QFileInfo(drive).canonicalFilePath());
    EXPECT_EQ(sample::layOutWinePrefix(prefix.path()), drive) << "again, unchanged";
}

}  // namespace
