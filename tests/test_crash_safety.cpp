#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>

#include "tests/RepairFixture.h"

// The headless driver in another process, killed at every step and inside
// the long ones: some complete copy of the data must always survive.
class CrashSafety : public RepairFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(drive.makeFolder(kFolder));
        sample::DatabaseOptions options;
        options.sizeBytes = 4 << 20;
        sample::createDatabase(drive.host(kDatabase), options);
        originalDigest = digest(kDatabase);
    }

    QStringList driverArguments(const QStringList& extra) const {
        return QStringList{"--drive-root", drive.root(), "--code", "ABC1234"} + extra;
    }

    void startDriver(QProcess& driver, const QStringList& extra) const {
        driver.start(QStringLiteral(TOOLS_DIR "/headless_run"), driverArguments(extra));
        ASSERT_TRUE(driver.waitForStarted());
    }

    // Waits until the driver reports that it reached an operation.
    static bool waitForOperation(QProcess& driver, const QString& operation) {
        QByteArray seen;
        while (driver.state() == QProcess::Running) {
            driver.waitForReadyRead(100);
            seen += driver.readAllStandardError();
            if (seen.contains(("op: " + operation).toUtf8())) return true;
        }
        return false;
    }

    // Puts the session back as it was, from a surviving copy, for the next case.
    void restoreSession() const {
        const QStringList survivors = completeCopies();
        ASSERT_FALSE(survivors.isEmpty());
        const QByteArray data = drive.readFile(kFolder + "/" + survivors.first());
        for (const QString& name : sessionFiles()) QFile::remove(drive.host(kFolder + "/" + name));
        ASSERT_TRUE(drive.writeFile(kDatabase, data));
    }

    // Names (of the database, backup and compacted copy) that hold the data
    // complete and sound.
    QStringList completeCopies() const {
        QStringList complete;
        for (const QString& name : {kDatabase, kBackup, kCompacted}) {
            if (!QFile::exists(drive.host(name))) continue;
            try {
                if (sample::integrityCheck(drive.host(name)) == "ok" &&
                    digest(name) == originalDigest) {
                    complete << name.section('/', -1);
                }
            } catch (const std::exception&) {
            }
        }
        return complete;
    }
};

TEST_F(CrashSafety, KilledAtEveryStepBoundaryKeepsACompleteCopy) {
    const char* points[] = {"lockFolder",      "FileExists:1", "CopyFile",     "CreateObject",
                            "CompactDatabase", "FileExists:2", "DeleteFile:1", "rename",
                            "FileExists:3",    "FileExists:4", "FileExists:5", "DeleteFile:2",
                            "FileExists:6"};
    for (const char* point : points) {
        SCOPED_TRACE(point);
        QProcess driver;
        startDriver(driver, {"--kill-before", point});
        ASSERT_TRUE(driver.waitForFinished(60000));
        EXPECT_EQ(driver.exitStatus(), QProcess::CrashExit)
            << driver.readAllStandardOutput().constData();
        EXPECT_FALSE(completeCopies().isEmpty()) << sessionFiles().join(", ").toStdString();
        restoreSession();
    }
}

TEST_F(CrashSafety, KilledInsideTheCopyAndTheCompactionKeepsTheDatabase) {
    for (const char* operation : {"CopyFile", "CompactDatabase"}) {
        for (int delayMs : {1, 20, 150}) {
            SCOPED_TRACE(std::string(operation) + " +" + std::to_string(delayMs) + " ms");
            QProcess driver;
            startDriver(driver, {"--trace"});
            ASSERT_TRUE(waitForOperation(driver, operation));
            QThread::msleep(static_cast<unsigned long>(delayMs));
            driver.kill();
            ASSERT_TRUE(driver.waitForFinished(60000));
            EXPECT_FALSE(completeCopies().isEmpty()) << sessionFiles().join(", ").toStdString();
            restoreSession();
        }
    }
}

TEST_F(CrashSafety, TwoDriversAtOnceLoseNothing) {
    QProcess first;
    startDriver(first, {"--trace", "--sleep-before", "CompactDatabase=1500"});
    ASSERT_TRUE(waitForOperation(first, "CompactDatabase"));
    QProcess second;
    startDriver(second, {});
    ASSERT_TRUE(second.waitForFinished(60000));
    ASSERT_TRUE(first.waitForFinished(60000));
    const QByteArray secondOutput = second.readAllStandardOutput();
    EXPECT_TRUE(secondOutput.contains("outcome: RepairFailed")) << secondOutput.constData();
    EXPECT_TRUE(secondOutput.contains("Err.Number = 70")) << secondOutput.constData();
    EXPECT_TRUE(first.readAllStandardOutput().contains("outcome: RepairSucceeded"));
    EXPECT_EQ(sessionFiles(), QStringList{"TinjaraSM2024.tnjra"});
    EXPECT_EQ(completeCopies(), QStringList{"TinjaraSM2024.tnjra"});
}
