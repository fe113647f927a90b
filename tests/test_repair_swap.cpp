#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <cstring>

#include "platform/Failures.h"
#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/RollbackJournal.h"
#include "platform/host/HostFileSystem.h"
#include "repair/RunMessages.h"
#include "tests/RepairFixture.h"
#include "tests/TestHelpers.h"

using repair::Outcome;
namespace format = platform::engine::format;

namespace {

// Fails the first call of an operation whose argument ends with a suffix.
sample::Observer failOnce(QString operation, QString suffix, int number = 75) {
    auto fired = std::make_shared<bool>(false);
    return [=](const QString& op, const QString& argument) {
        if (*fired || op != operation || !argument.endsWith(suffix)) return;
        *fired = true;
        throw platform::failures::make(number, QStringLiteral("injected"));
    };
}

}  // namespace

using RepairSwap = RepairFixture;

TEST_F(RepairSwap, SucceedsAndLeavesOnlyTheSmallerDatabaseWithSameContent) {
    ::chmod(QFile::encodeName(drive.host(kDatabase)).constData(), 0640);
    // Left-overs of an earlier interrupted run: all replaced or removed.
    drive.writeFile(kCompacted, "stale compacted copy");
    drive.writeFile(kBackup, "stale backup copy");
    drive.writeFile(kLockFile, "");

    EXPECT_EQ(runWith(services()), Outcome::RepairSucceeded);
    EXPECT_EQ(message().prompt,
              "Compact and Repair BERJAYA\r\n\r\nSila mulakan Tinjara seperti biasa");
    EXPECT_EQ(message().icon, platform::MessageIcon::Information);
    EXPECT_EQ(message().title, QString(""));
    EXPECT_TRUE(window->closed);
    EXPECT_EQ(window->exitStatus, 0);

    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(digest(kDatabase), originalDigest);
    EXPECT_EQ(sample::integrityCheck(drive.host(kDatabase)), "ok");
    EXPECT_LT(drive.readFile(kDatabase).size(), originalBytes.size() * 3 / 4);
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(drive.host(kDatabase)).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A run at a fixed local time, so the kept original's name is known.
repair::RunServices atTime(repair::RunServices services, const QString& stamp) {
    services.now = [stamp] { return QDateTime::fromString(stamp, Qt::ISODate); };
    return services;
}

TEST_F(RepairSwap, ARepairThatLostDataKeepsTheDamagedOriginalBesideTheDatabase) {
    sample::damageLeaf(drive.host(kDatabase), "marks");
    const QByteArray damaged = drive.readFile(kDatabase);
    EXPECT_EQ(runWith(atTime(services(), "2024-06-11T09:30:59")), Outcome::RepairSucceeded);
    EXPECT_EQ(message().prompt,
              "Compact and Repair BERJAYA\r\n\r\nSila mulakan Tinjara seperti biasa\r\n\r\n"
              "Sebahagian data yang rosak tidak dapat dipulihkan.\r\n\r\n"
              "Fail asal disimpan sebagai TinjaraSM2024 rosak 20240611-0930.tnjra\r\n\r\n"
              "Senarai data yang hilang disimpan dalam TinjaraSM2024 rosak 20240611-0930.txt");
    EXPECT_EQ(message().icon, platform::MessageIcon::Information);
    EXPECT_EQ(sample::integrityCheck(drive.host(kDatabase)), "ok");
    EXPECT_EQ(sessionFiles(),
              (QStringList{"TinjaraSM2024 rosak 20240611-0930.tnjra",
                           "TinjaraSM2024 rosak 20240611-0930.txt", "TinjaraSM2024.tnjra"}));
    EXPECT_EQ(drive.readFile(kFolder + "/TinjaraSM2024 rosak 20240611-0930.tnjra"), damaged);
    // The list names the database and the table, with the database's mode.
    const QString report = drive.host(kFolder + "/TinjaraSM2024 rosak 20240611-0930.txt");
    const QByteArray text = drive.readFile(kFolder + "/TinjaraSM2024 rosak 20240611-0930.txt");
    EXPECT_TRUE(
        text.startsWith("Pangkalan data: C:\\DATA-TINJARA-SM$\\DataSesi2024-SM-ABC1234\\"
                        "TinjaraSM2024.tnjra\nMasa: 2024-06-11 09:30\n"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("\nJadual marks: ")) << text.toStdString();
    struct stat status {
    }, database{};
    ASSERT_EQ(::stat(QFile::encodeName(report).constData(), &status), 0);
    ASSERT_EQ(::stat(QFile::encodeName(drive.host(kDatabase)).constData(), &database), 0);
    EXPECT_EQ(status.st_mode & 07777, database.st_mode & 07777);

    // A second repair in the same minute keeps both originals.
    drive.writeFile(kDatabase, damaged);
    EXPECT_EQ(runWith(atTime(services(), "2024-06-11T09:30:59")), Outcome::RepairSucceeded);
    EXPECT_TRUE(message().prompt.endsWith("TinjaraSM2024 rosak 20240611-0930 (2).txt"));
    EXPECT_EQ(drive.readFile(kFolder + "/TinjaraSM2024 rosak 20240611-0930 (2).tnjra"), damaged);
}

TEST_F(RepairSwap, KeepingTheOriginalFailsSafely) {
    // The rename to the kept name fails: the repair is undone, the original
    // goes back in place byte for byte.
    sample::damageLeaf(drive.host(kDatabase), "marks");
    const QByteArray damaged = drive.readFile(kDatabase);
    EXPECT_EQ(runWith(services(failOnce("rename", " backup.tnjra", 70))), Outcome::RepairFailed);
    EXPECT_TRUE(message().prompt.contains("Err.Number = 70\r\n"));
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(drive.readFile(kDatabase), damaged);
}

// Leaves the session's database as a writer that stopped after committing
// leaves it: rows in its log, the log and its index beside it.
QByteArray leaveCommittedLog(const TempDrive& drive, const QString& database) {
    const QString writerPath = drive.host("writer.tnjra");
    QFile::copy(drive.host(database), writerPath);
    platform::sqlite::Database writer(QFile::encodeName(writerPath).toStdString(), 0x2);
    writer.key(sample::kPassword);
    writer.execute("PRAGMA cipher_compatibility = 3");
    writer.execute("PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;");
    writer.execute("INSERT INTO students (admission_no, name) VALUES ('LOG1', 'In the log')");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(drive.host(database + suffix));
        QFile::copy(writerPath + suffix, drive.host(database + suffix));
    }
    return writer.queryText("SELECT name FROM students WHERE admission_no = 'LOG1'");
}

TEST_F(RepairSwap, TheLogOfTheOldDatabaseGoesWithIt) {
    ASSERT_EQ(leaveCommittedLog(drive, kDatabase), "In the log");
    EXPECT_EQ(runWith(services()), Outcome::RepairSucceeded);
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(sample::integrityCheck(drive.host(kDatabase)), "ok");
    EXPECT_EQ(sample::openForReading(drive.host(kDatabase))
                  ->queryText("SELECT name FROM students WHERE admission_no = 'LOG1'"),
              "In the log");
}

TEST_F(RepairSwap, OnceTheLogIsGoneAFailureKeepsTheNewDatabase) {
    leaveCommittedLog(drive, kDatabase);
    // The backup lacks the log's rows: restoring it would lose them.
    EXPECT_EQ(runWith(services(failOnce("DeleteFile", " backup.tnjra", 70))),
              Outcome::RepairFailed);
    EXPECT_EQ(sessionFiles(), (QStringList{"TinjaraSM2024 backup.tnjra", "TinjaraSM2024.tnjra"}));
    EXPECT_EQ(sample::openForReading(drive.host(kDatabase))
                  ->queryText("SELECT name FROM students WHERE admission_no = 'LOG1'"),
              "In the log");
}

TEST_F(RepairSwap, TheJournalOfTheOldDatabaseGoesWithIt) {
    // A writer stopped inside a transaction that changed page 2: its journal
    // holds the page as it was. Left beside the new file, it would be played
    // onto it at the product's next open.
    const QByteArray database = drive.readFile(kDatabase);
    QByteArray journal(512, '\0');
    auto* header = reinterpret_cast<unsigned char*>(journal.data());
    std::memcpy(header, format::kJournalMagic, sizeof format::kJournalMagic);
    format::putBigEndian32(header + 8, 1);
    format::putBigEndian32(header + 16, std::uint32_t(database.size() / 1024));
    format::putBigEndian32(header + 20, 512);
    format::putBigEndian32(header + 24, 1024);
    const QByteArray page = database.mid(1024, 1024);
    unsigned char number[4], sum[4];
    format::putBigEndian32(number, 2);
    format::putBigEndian32(
        sum, format::journalChecksum(0, reinterpret_cast<const unsigned char*>(page.data()), 1024));
    journal += QByteArray(reinterpret_cast<const char*>(number), 4) + page +
               QByteArray(reinterpret_cast<const char*>(sum), 4);
    ASSERT_TRUE(drive.writeFile(kDatabase + "-journal", journal));

    EXPECT_EQ(runWith(services()), Outcome::RepairSucceeded);
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(sample::integrityCheck(drive.host(kDatabase)), "ok");
}

TEST_F(RepairSwap, DatabaseNotFoundTouchesNothing) {
    struct Case {
        QString code;
        bool hidden;
    };
    for (const Case& c : {Case{"XYZ", false}, Case{"ABC1234", true}}) {
        if (c.hidden && !drive.setDosAttributes(kDatabase, 0x2)) continue;
        EXPECT_EQ(runWith(services(), c.code), Outcome::DatabaseNotFound);
        EXPECT_EQ(message().prompt,
                  "TinjaraSM2024.tnjra TIDAK ditemui\r\n\r\nCompact and Repair GAGAL");
        EXPECT_EQ(message().icon, platform::MessageIcon::Critical);
        EXPECT_EQ(window->exitStatus, 4);
        EXPECT_EQ(message().title, QString(""));
        EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
        EXPECT_EQ(drive.readFile(kDatabase), originalBytes);
    }
}

TEST_F(RepairSwap, FailureAtEachStepRestoresOrKeepsTheData) {
    struct Case {
        const char* step;
        QString operation;
        QString suffix;
        QStringList leftovers;  // made before the run
        QStringList filesAfter;
        bool databaseUnchanged;  // else: repaired, same content
    };
    const QString db = "TinjaraSM2024.tnjra";
    const QString compacted = "TinjaraSM2024 compact.tnjra";
    const Case cases[] = {
        {"3 delete old compacted copy",
         "DeleteFile",
         " compact.tnjra",
         {compacted},
         {compacted, db},
         true},
        {"4 backup copy", "CopyFile", ".tnjra", {}, {db}, true},
        {"5 create engine", "CreateObject", "DAO.DBEngine.36", {}, {db}, true},
        {"6 compaction", "CompactDatabase", ".tnjra", {}, {db}, true},
        {"7 delete old database", "DeleteFile", "\\TinjaraSM2024.tnjra", {}, {db}, true},
        {"8 rename compacted copy", "rename", " compact.tnjra", {}, {db}, true},
        {"9 delete backup", "DeleteFile", " backup.tnjra", {}, {db}, true},
        {"10 lock file", "FileExists", ".ldb", {}, {db}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        for (const QString& name : c.leftovers) drive.writeFile(kFolder + "/" + name, "left over");
        EXPECT_EQ(runWith(services(failOnce(c.operation, c.suffix, 61))), Outcome::RepairFailed);
        EXPECT_EQ(message().prompt,
                  "Compact and Repair TIDAK BERJAYA\r\n\r\nErr.Number = 61\r\n\r\n"
                  "Err.Description = Disk full: injected\r\n\r\nSila hubungi " +
                      repair::messages::SupportContact + " untuk bantuan");
        EXPECT_TRUE(window->closed);
        EXPECT_EQ(sessionFiles(), c.filesAfter);
        if (c.databaseUnchanged) {
            EXPECT_EQ(drive.readFile(kDatabase), originalBytes);
        } else {
            EXPECT_EQ(digest(kDatabase), originalDigest);
        }
        // Start the next case from the original session.
        for (const QString& name : sessionFiles()) QFile::remove(drive.host(kFolder + "/" + name));
        drive.writeFile(kDatabase, originalBytes);
    }
}

TEST_F(RepairSwap, EngineUnavailableIsReportedWith429) {
    auto runServices = services();
    runServices.classes = std::make_shared<platform::ClassRegistry>();
    EXPECT_EQ(runWith(runServices), Outcome::RepairFailed);
    EXPECT_TRUE(message().prompt.contains(
        "Err.Number = 429\r\n\r\nErr.Description = ActiveX component can't create object"));
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(drive.readFile(kDatabase), originalBytes);
}

TEST_F(RepairSwap, ProductStillRunningLeavesDatabaseByteIdentical) {
    // The product holds its database and lock file while it runs.
    HeldFileLock database(drive.host(kDatabase));
    HeldFileLock lockFile(drive.host(kLockFile));
    ASSERT_TRUE(database.locked() && lockFile.locked());
    EXPECT_EQ(runWith(services()), Outcome::RepairFailed);
    EXPECT_TRUE(message().prompt.contains("Err.Number = 3356\r\n"))
        << message().prompt.toStdString();
    // Paths reach the user in their drive-letter form only.
    EXPECT_TRUE(message().prompt.contains("C:\\DATA-TINJARA-SM$\\DataSesi2024-SM-ABC1234\\"));
    EXPECT_FALSE(message().prompt.contains(drive.root())) << message().prompt.toStdString();
    EXPECT_EQ(drive.readFile(kDatabase), originalBytes);
    EXPECT_EQ(sessionFiles(), (QStringList{"TinjaraSM2024.ldb", "TinjaraSM2024.tnjra"}));
}

TEST_F(RepairSwap, SecondRunOnTheSameSessionTouchesNothing) {
    auto other = platform::makeHostFileSystem(drive.drives());
    auto held = other->lockFolder("C:\\DATA-TINJARA-SM$\\DataSesi2024-SM-ABC1234");
    EXPECT_EQ(runWith(services()), Outcome::RepairFailed);
    EXPECT_TRUE(message().prompt.contains("Err.Number = 70\r\n")) << message().prompt.toStdString();
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(drive.readFile(kDatabase), originalBytes);
}

TEST_F(RepairSwap, FailureInsideRecoveryEndsProgramAndKeepsEveryCopy) {
    // The rename fails, then so does the recovery's first delete.
    auto renameFails = failOnce("rename", " compact.tnjra", 75);
    auto recoveryFails = failOnce("DeleteFile", " compact.tnjra", 70);
    auto seenRename = std::make_shared<bool>(false);
    auto observer = [=](const QString& op, const QString& argument) {
        if (op == "rename") *seenRename = true;
        renameFails(op, argument);
        if (*seenRename) recoveryFails(op, argument);
    };
    EXPECT_EQ(runWith(services(observer)), Outcome::RecoveryFailed);
    EXPECT_EQ(message().prompt, "Run-time error '70':\r\n\r\nPermission denied: injected");
    EXPECT_EQ(message().icon, platform::MessageIcon::Critical);
    EXPECT_FALSE(message().title.has_value());
    EXPECT_EQ(window->exitStatus, 1);
    EXPECT_EQ(sessionFiles(),
              (QStringList{"TinjaraSM2024 backup.tnjra", "TinjaraSM2024 compact.tnjra"}));
    EXPECT_EQ(drive.readFile(kBackup), originalBytes);
}
