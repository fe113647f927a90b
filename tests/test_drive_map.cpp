#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "QStringPrinter.h"
#include "TempDrive.h"
#include "platform/DriveMap.h"
#include "platform/Failures.h"

using platform::DriveMap;
namespace failures = platform::failures;

namespace {

std::int32_t failureNumberOf(const DriveMap& drives, const QString& path) {
    try {
        drives.toHostPath(path);
    } catch (const platform::Failure& failure) {
        return failure.number();
    }
    return 0;
}

}  // namespace

TEST(DriveMapResolution, MatchesEachComponentWithoutRegardToCase) {
    TempDrive drive;
    ASSERT_TRUE(drive.makeFolder("Data-Root$/DataSesi2024-SM-ABC1234"));
    ASSERT_TRUE(drive.writeFile("Data-Root$/DataSesi2024-SM-ABC1234/TinjaraSM2024.tnjra", "x"));
    EXPECT_EQ(
        drive.drives()->toHostPath("c:\\DATA-ROOT$\\datasesi2024-sm-abc1234\\tinjarasm2024.TNJRA"),
        drive.host("Data-Root$/DataSesi2024-SM-ABC1234/TinjaraSM2024.tnjra"));
    // Both separators, repeated, and a trailing one.
    EXPECT_EQ(drive.drives()->toHostPath("C:/data-root$//DATASESI2024-sm-ABC1234\\\\"),
              drive.host("Data-Root$/DataSesi2024-SM-ABC1234"));
    EXPECT_EQ(drive.drives()->toHostPath("C:\\"), drive.root());
}

TEST(DriveMapResolution, ExactCaseWinsElseFirstInByteOrder) {
    TempDrive drive;
    for (const char* name : {"data", "Data", "DATA"}) ASSERT_TRUE(drive.makeFolder(name));
    EXPECT_EQ(drive.drives()->toHostPath("C:\\Data"), drive.host("Data"));
    EXPECT_EQ(drive.drives()->toHostPath("C:\\data"), drive.host("data"));
    // No exact match: "DATA" sorts first byte by byte.
    EXPECT_EQ(drive.drives()->toHostPath("C:\\dATA"), drive.host("DATA"));
}

TEST(DriveMapResolution, KeepsMissingComponentsAsWritten) {
    TempDrive drive;
    ASSERT_TRUE(drive.makeFolder("Data"));
    ASSERT_TRUE(drive.writeFile("Data/file.txt", "x"));
    EXPECT_EQ(drive.drives()->toHostPath("C:\\DATA\\New Name.TXT"),
              drive.host("Data/New Name.TXT"));
    EXPECT_EQ(drive.drives()->toHostPath("C:\\data\\Missing\\Data\\x"),
              drive.host("Data/Missing/Data/x"));
    // A file on the way is not a folder: the rest stays as written.
    EXPECT_EQ(drive.drives()->toHostPath("C:\\data\\FILE.TXT\\x"), drive.host("Data/file.txt/x"));
}

TEST(DriveMapRefusal, TraversalAndNulRefusedBeforeTheDriveIsLookedAt) {
    // The drive's folder does not exist: a refusal must come before any lookup.
    const auto drives = DriveMap::withRoot(QLatin1Char('C'), "/nonexistent-drive-root");
    const QString withNul = QStringLiteral("C:\\DATA\\a") + QChar(u'\0') + QStringLiteral("b");
    for (const QString& path :
         {QStringLiteral("C:\\DATA\\X\\..\\..\\elsewhere"), QStringLiteral("C:/DATA/X/../.."),
          QStringLiteral("C:\\.\\DATA"), QStringLiteral("C:\\DATA\\.."), withNul,
          QStringLiteral("C:DATA"), QStringLiteral("DATA\\x"), QStringLiteral("\\\\server\\share"),
          QStringLiteral("1:\\x"), QString()}) {
        EXPECT_EQ(failureNumberOf(*drives, path), failures::BadFileName) << path.toStdString();
    }
    // Names that merely contain dots are ordinary names.
    EXPECT_EQ(failureNumberOf(*drives, "C:\\...\\a..b\\.hidden"), 0);
}

TEST(DriveMapRefusal, UnknownDriveIsPathNotFound) {
    TempDrive drive;
    EXPECT_EQ(failureNumberOf(*drive.drives(), "D:\\DATA"), failures::PathNotFound);
    EXPECT_EQ(failureNumberOf(*drive.drives(), "c:\\DATA"), 0);
}

TEST(DriveMapWinePrefix, FollowsTheDosDevicesLink) {
    QTemporaryDir prefix;
    ASSERT_TRUE(QDir(prefix.path()).mkpath("drive_c/Windows"));
    ASSERT_TRUE(QDir(prefix.path()).mkpath("dosdevices"));
    // Wine writes a relative link.
    ASSERT_TRUE(QFile::link("../drive_c", prefix.filePath("dosdevices/c:")));
    const auto drives = DriveMap::fromWinePrefix(prefix.path());
    const QString driveC = QFileInfo(prefix.filePath("drive_c")).canonicalFilePath();
    EXPECT_EQ(drives->toHostPath("C:\\WINDOWS\\x.txt"), driveC + "/Windows/x.txt");
    EXPECT_EQ(drives->toHostPath("c:\\"), driveC);
    EXPECT_EQ(failureNumberOf(*drives, "D:\\x"), failures::PathNotFound);

    // A link whose target is gone maps nowhere.
    ASSERT_TRUE(QFile::link("../drive_d", prefix.filePath("dosdevices/d:")));
    EXPECT_EQ(failureNumberOf(*drives, "D:\\x"), failures::PathNotFound);
}

TEST(DriveMapWinePrefix, TakesThePrefixFromTheEnvironment) {
    QTemporaryDir prefix;
    ASSERT_TRUE(QDir(prefix.path()).mkpath("drive_c"));
    ASSERT_TRUE(QDir(prefix.path()).mkpath("dosdevices"));
    ASSERT_TRUE(QFile::link(prefix.filePath("drive_c"), prefix.filePath("dosdevices/c:")));
    const QByteArray saved = qgetenv("WINEPREFIX");
    const bool hadPrefix = qEnvironmentVariableIsSet("WINEPREFIX");
    qputenv("WINEPREFIX", QFile::encodeName(prefix.path()));
    const auto drives = DriveMap::fromWinePrefix();
    if (hadPrefix) {
        qputenv("WINEPREFIX", saved);
    } else {
        qunsetenv("WINEPREFIX");
    }
    EXPECT_EQ(drives->toHostPath("C:\\a"),
              QFileInfo(prefix.filePath("drive_c")).canonicalFilePath() + "/a");
}
