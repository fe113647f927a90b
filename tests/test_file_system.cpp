#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <functional>

#include "QStringPrinter.h"
#include "TempDrive.h"
#include "TestHelpers.h"
#include "platform/Failures.h"
#include "platform/host/FastCopy.h"
#include "platform/host/FileAttributes.h"
#include "platform/host/HostFileSystem.h"

namespace failures = platform::failures;

namespace {

mode_t modeOf(const QString& hostPath) {
    struct stat status {};
    ::stat(QFile::encodeName(hostPath).constData(), &status);
    return status.st_mode & 0777;
}

QByteArray patterned(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919) >> 3);
    return data;
}

class FileSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drive.makeFolder("Data/Session"));
        fs = platform::makeHostFileSystem(drive.drives());
    }
    void requireDosAttributes(const QString& relative, unsigned bits) {
        if (!drive.setDosAttributes(relative, bits))
            GTEST_SKIP() << "no extended attributes on this file system";
    }

    TempDrive drive;
    std::unique_ptr<platform::FileSystemService> fs;
};

}  // namespace

TEST_F(FileSystem, FoldersByStoredNameAndOnlyFolders) {
    ASSERT_TRUE(drive.makeFolder("Data/.Hidden"));
    ASSERT_TRUE(drive.writeFile("Data/file.txt", "x"));
    ASSERT_TRUE(QFile::link(drive.host("Data/Session"), drive.host("Data/LinkToFolder")));
    ASSERT_TRUE(QFile::link(drive.host("Data/file.txt"), drive.host("Data/LinkToFile")));
    ASSERT_TRUE(QFile::link(drive.host("Data/gone"), drive.host("Data/Dangling")));

    const platform::Folder data = fs->GetFolder("c:\\DATA");
    EXPECT_EQ(data.Name, "Data");
    EXPECT_EQ(fs->GetFolder("C:\\").Name, "");
    QStringList seen;
    for (const platform::Folder& folder : fs->SubFolders(data)) {
        EXPECT_EQ(folder.path, "c:\\DATA\\" + folder.Name);
        seen << folder.Name;
    }
    seen.sort();
    EXPECT_EQ(seen, QStringList({".Hidden", "LinkToFolder", "Session"}));

    EXPECT_EQ(failureOf([&] { fs->GetFolder("C:\\Data\\Missing"); }), failures::PathNotFound);
    EXPECT_EQ(failureOf([&] { fs->GetFolder("C:\\Data\\file.txt"); }), failures::PathNotFound);
    EXPECT_EQ(failureOf([&] {
                  fs->SubFolders({"C:\\Missing", "Missing"});
              }),
              failures::PathNotFound);
}

TEST_F(FileSystem, FileExistsSeesEveryFileListFileOnlyOrdinaryOnes) {
    const QStringList names = {"Plain.tnjra", ".dotted",     "doshidden",
                               "system",      "dosreadonly", "modereadonly"};
    for (const QString& name : names) ASSERT_TRUE(drive.writeFile("Data/" + name, "x"));
    ASSERT_TRUE(QFile::setPermissions(drive.host("Data/modereadonly"), QFile::ReadOwner));
    requireDosAttributes("Data/doshidden", platform::dos::Hidden);
    requireDosAttributes("Data/system", platform::dos::System);
    requireDosAttributes("Data/dosreadonly", platform::dos::ReadOnly);

    for (const QString& name : names) {
        const QString path = "C:\\DATA\\" + name.toUpper();
        EXPECT_TRUE(fs->FileExists(path)) << name.toStdString();
        const bool ordinary = name == "Plain.tnjra" || name.endsWith("readonly");
        EXPECT_EQ(fs->listFile(path), ordinary ? name : QString()) << name.toStdString();
    }
    // A folder, a missing folder and an unknown drive hold no file.
    for (const char* path : {"C:\\Data\\Session", "C:\\Missing\\x.tnjra", "Q:\\x.tnjra"}) {
        EXPECT_FALSE(fs->FileExists(path)) << path;
        EXPECT_EQ(fs->listFile(path), "") << path;
    }
}

TEST_F(FileSystem, ListFileTakesWildcardsLiterally) {
    ASSERT_TRUE(drive.writeFile("Data/axb.tnjra", "x"));
    EXPECT_EQ(fs->listFile("C:\\Data\\a?b.tnjra"), "");
    EXPECT_EQ(fs->listFile("C:\\Data\\*"), "");
    ASSERT_TRUE(drive.writeFile("Data/a*b.tnjra", "x"));
    EXPECT_EQ(fs->listFile("C:\\Data\\A*B.tnjra"), "a*b.tnjra");
}

TEST_F(FileSystem, TraversalRefusedBeforeAnythingIsTouched) {
    ASSERT_TRUE(drive.writeFile("victim", "keep"));
    ASSERT_TRUE(drive.writeFile("Data/source", "new"));
    const QString escape = "C:\\Data\\Session\\..\\..\\victim";
    const QString withNul = QStringLiteral("C:\\Data\\source") + QChar(u'\0');
    EXPECT_EQ(failureOf([&] { fs->FileExists(escape); }), failures::BadFileName);
    EXPECT_EQ(failureOf([&] { fs->listFile("C:/Data/Session/../.."); }), failures::BadFileName);
    EXPECT_EQ(failureOf([&] { fs->DeleteFile(escape, true); }), failures::BadFileName);
    EXPECT_EQ(failureOf([&] { fs->CopyFile("C:\\Data\\source", escape, true); }),
              failures::BadFileName);
    EXPECT_EQ(failureOf([&] { fs->rename(withNul, "C:\\Data\\other"); }), failures::BadFileName);
    EXPECT_EQ(failureOf([&] { fs->GetFolder("C:\\Data\\."); }), failures::BadFileName);
    EXPECT_EQ(drive.readFile("victim"), "keep");
    EXPECT_EQ(drive.entries("Data"), QStringList({"Session", "source"}));
}

TEST_F(FileSystem, DeleteRefusesReadOnlyUnlessForcedAndSyncsAway) {
    ASSERT_TRUE(drive.writeFile("Data/dos", "x"));
    ASSERT_TRUE(drive.writeFile("Data/mode", "x"));
    requireDosAttributes("Data/dos", platform::dos::ReadOnly | platform::dos::Hidden);
    ASSERT_TRUE(QFile::setPermissions(drive.host("Data/mode"), QFile::ReadOwner));

    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Data\\DOS", false); }),
              failures::PermissionDenied);
    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Data\\MODE", false); }),
              failures::PermissionDenied);
    EXPECT_EQ(drive.entries("Data"), QStringList({"Session", "dos", "mode"}));
    fs->DeleteFile("C:\\Data\\DOS", true);
    fs->DeleteFile("C:\\Data\\MODE", true);
    EXPECT_EQ(drive.entries("Data"), QStringList({"Session"}));
}

TEST_F(FileSystem, DeleteFailures) {
    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Data\\missing", true); }),
              failures::FileNotFound);
    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Missing\\x", true); }), failures::PathNotFound);
    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Data\\Session", true); }),
              failures::FileNotFound);
    EXPECT_TRUE(QFileInfo(drive.host("Data/Session")).isDir());
}

TEST_F(FileSystem, CopyMakesAByteCopyWithTheSourcesMode) {
    const QByteArray content = patterned(5 * 1024 * 1024 + 17);
    ASSERT_TRUE(drive.writeFile("Data/Source.tnjra", content));
    ASSERT_TRUE(QFile::setPermissions(drive.host("Data/Source.tnjra"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    ASSERT_TRUE(drive.writeFile("Data/Backup.tnjra", "older backup"));

    fs->CopyFile("C:\\DATA\\source.tnjra", "c:\\data\\BACKUP.TNJRA", true);
    fs->CopyFile("C:\\DATA\\source.tnjra", "c:\\data\\New Copy.tnjra", false);
    // The existing name keeps its stored case; the new one is created as written.
    EXPECT_EQ(drive.entries("Data"),
              QStringList({"Backup.tnjra", "New Copy.tnjra", "Session", "Source.tnjra"}));
    EXPECT_EQ(drive.readFile("Data/Backup.tnjra"), content);
    EXPECT_EQ(drive.readFile("Data/New Copy.tnjra"), content);
    EXPECT_EQ(modeOf(drive.host("Data/Backup.tnjra")), 0640u);
}

TEST_F(FileSystem, CopyFailuresLeaveTheDestinationAsItWas) {
    ASSERT_TRUE(drive.writeFile("Data/source", "new"));
    ASSERT_TRUE(drive.writeFile("Data/taken", "old"));
    ASSERT_TRUE(drive.writeFile("Data/dosreadonly", "old"));
    ASSERT_TRUE(drive.writeFile("Data/modereadonly", "old"));
    requireDosAttributes("Data/dosreadonly", platform::dos::ReadOnly);
    ASSERT_TRUE(QFile::setPermissions(drive.host("Data/modereadonly"), QFile::ReadOwner));
    const QStringList before = drive.entries("Data");

    auto copy = [&](const QString& from, const QString& to, bool overwrite) {
        return failureOf([&] { fs->CopyFile(from, to, overwrite); });
    };
    EXPECT_EQ(copy("C:\\Data\\missing", "C:\\Data\\x", true), failures::FileNotFound);
    EXPECT_EQ(copy("C:\\Missing\\source", "C:\\Data\\x", true), failures::PathNotFound);
    EXPECT_EQ(copy("C:\\Data\\source", "C:\\Missing\\x", true), failures::PathNotFound);
    EXPECT_EQ(copy("C:\\Data\\Session", "C:\\Data\\x", true), failures::FileNotFound);
    EXPECT_EQ(copy("C:\\Data\\source", "C:\\Data\\TAKEN", false), failures::FileAlreadyExists);
    EXPECT_EQ(copy("C:\\Data\\source", "C:\\Data\\Session", true), failures::PermissionDenied);
    EXPECT_EQ(copy("C:\\Data\\source", "C:\\Data\\dosreadonly", true), failures::PermissionDenied);
    EXPECT_EQ(copy("C:\\Data\\source", "C:\\Data\\modereadonly", true), failures::PermissionDenied);
    EXPECT_EQ(drive.entries("Data"), before);
    for (const char* name : {"Data/taken", "Data/dosreadonly", "Data/modereadonly"})
        EXPECT_EQ(drive.readFile(name), "old") << name;
}

TEST_F(FileSystem, CopyReplacesALinkInsteadOfWritingThroughIt) {
    ASSERT_TRUE(drive.writeFile("Data/source", "new"));
    ASSERT_TRUE(drive.writeFile("outside", "target"));
    ASSERT_TRUE(QFile::link(drive.host("outside"), drive.host("Data/link")));
    ASSERT_TRUE(QFile::link(drive.host("gone"), drive.host("Data/dangling")));

    fs->CopyFile("C:\\Data\\source", "C:\\Data\\link", true);
    fs->CopyFile("C:\\Data\\source", "C:\\Data\\dangling", true);
    EXPECT_EQ(drive.readFile("outside"), "target");
    for (const char* name : {"Data/link", "Data/dangling"}) {
        EXPECT_FALSE(QFileInfo(drive.host(name)).isSymLink()) << name;
        EXPECT_EQ(drive.readFile(name), "new") << name;
    }
    EXPECT_FALSE(QFileInfo::exists(drive.host("gone")));
}

TEST_F(FileSystem, FullDiskLeavesDestinationAndNoTemporaryFile) {
    const QByteArray content = patterned(3 * 1024 * 1024);
    ASSERT_TRUE(drive.writeFile("Data/source", content));
    ASSERT_TRUE(drive.writeFile("Data/backup", "old backup"));
    platform::HostFileSystemOptions options;
    options.copyWriteFault = platform::WriteFault{100000, ENOSPC};
    const auto full = platform::makeHostFileSystem(drive.drives(), options);
    const QStringList before = drive.entries("Data");

    EXPECT_EQ(failureOf([&] { full->CopyFile("C:\\Data\\source", "C:\\Data\\backup", true); }),
              failures::DiskFull);
    EXPECT_EQ(failureOf([&] { full->CopyFile("C:\\Data\\source", "C:\\Data\\fresh", true); }),
              failures::DiskFull);
    EXPECT_EQ(drive.readFile("Data/backup"), "old backup");
    EXPECT_EQ(drive.entries("Data"), before);

    options.copyWriteFault = platform::WriteFault{0, EIO};
    const auto broken = platform::makeHostFileSystem(drive.drives(), options);
    EXPECT_EQ(failureOf([&] { broken->CopyFile("C:\\Data\\source", "C:\\Data\\backup", true); }),
              failures::PathFileAccessError);
    EXPECT_EQ(drive.entries("Data"), before);
}

TEST_F(FileSystem, FilesInUseAreNotDeletedRenamedOrOverwritten) {
    ASSERT_TRUE(drive.writeFile("Data/source", "new"));
    ASSERT_TRUE(drive.writeFile("Data/held.tnjra", "in use"));
    HeldFileLock lock(drive.host("Data/held.tnjra"), LOCK_EX);
    ASSERT_TRUE(lock.locked());

    EXPECT_EQ(failureOf([&] { fs->DeleteFile("C:\\Data\\HELD.tnjra", true); }),
              failures::PermissionDenied);
    EXPECT_EQ(failureOf([&] { fs->rename("C:\\Data\\held.tnjra", "C:\\Data\\x"); }),
              failures::PermissionDenied);
    EXPECT_EQ(failureOf([&] { fs->CopyFile("C:\\Data\\source", "C:\\Data\\held.tnjra", true); }),
              failures::PermissionDenied);
    EXPECT_EQ(drive.entries("Data"), QStringList({"Session", "held.tnjra", "source"}));
    EXPECT_EQ(drive.readFile("Data/held.tnjra"), "in use");
    // Reading a file in use is not changing it.
    fs->CopyFile("C:\\Data\\held.tnjra", "C:\\Data\\copy", true);
    EXPECT_EQ(drive.readFile("Data/copy"), "in use");
}

TEST_F(FileSystem, RenameWithinAFolder) {
    ASSERT_TRUE(drive.writeFile("Data/Compact.tnjra", "new"));
    ASSERT_TRUE(drive.writeFile("Data/Taken.tnjra", "old"));

    EXPECT_EQ(failureOf([&] { fs->rename("C:\\Data\\compact.tnjra", "C:\\Data\\TAKEN.tnjra"); }),
              failures::FileAlreadyExists);
    EXPECT_EQ(failureOf([&] { fs->rename("C:\\Data\\missing", "C:\\Data\\x"); }),
              failures::FileNotFound);
    EXPECT_EQ(drive.readFile("Data/Taken.tnjra"), "old");

    fs->rename("C:\\Data\\COMPACT.tnjra", "C:\\Data\\Database.tnjra");
    EXPECT_EQ(drive.readFile("Data/Database.tnjra"), "new");
    // A change of letter case alone is a rename too.
    fs->rename("C:\\Data\\database.tnjra", "C:\\Data\\DATABASE.TNJRA");
    EXPECT_EQ(drive.entries("Data"), QStringList({"DATABASE.TNJRA", "Session", "Taken.tnjra"}));
}

TEST_F(FileSystem, LockFolderIsExclusiveUntilReleased) {
    const QStringList before = drive.entries("Data/Session");
    {
        const auto held = fs->lockFolder("C:\\DATA\\SESSION");
        EXPECT_EQ(failureOf([&] { fs->lockFolder("C:\\Data\\Session"); }),
                  failures::PermissionDenied);
        EXPECT_EQ(drive.entries("Data/Session"), before);
    }
    EXPECT_NE(fs->lockFolder("C:\\Data\\Session"), nullptr);
    EXPECT_EQ(failureOf([&] { fs->lockFolder("C:\\Data\\Missing"); }), failures::PathNotFound);
}

TEST(FileSystemFastCopy, EveryMethodCopiesTheSameBytes) {
    TempDrive drive;
    const QByteArray content = patterned(3 * 1024 * 1024 + 5);
    ASSERT_TRUE(drive.writeFile("source", content));
    for (const auto method : {platform::CopyMethod::Clone, platform::CopyMethod::CopyRange,
                              platform::CopyMethod::ReadWrite}) {
        const int in = ::open(QFile::encodeName(drive.host("source")).constData(), O_RDONLY);
        const int out = ::open(QFile::encodeName(drive.host("copy")).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_TRUE(in >= 0 && out >= 0);
        EXPECT_EQ(platform::copyContents(in, out, std::nullopt, method), 0);
        ::close(in);
        ::close(out);
        EXPECT_TRUE(drive.readFile("copy") == content) << static_cast<int>(method);
    }
}

TEST(FileSystemDosAttributes, OnlyTheHexTextFormCounts) {
    using platform::parseDosAttributes;
    EXPECT_EQ(parseDosAttributes("0x22"), 0x22u);
    EXPECT_EQ(parseDosAttributes("0x7"), 7u);
    EXPECT_EQ(parseDosAttributes(QByteArray("0x20\0binary", 11)), 0x20u);  // Samba's form
    EXPECT_EQ(parseDosAttributes("0x0000000000000000002"), 2u);
    for (const char* other : {"", "0x", "22", "0xZ2", "0X2", " 0x2"})
        EXPECT_FALSE(parseDosAttributes(other).has_value()) << other;
}
