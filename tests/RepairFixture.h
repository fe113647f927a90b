#pragma once

#include <gtest/gtest.h>

#include <QFile>

#include "app/ProductionServices.h"
#include "repair/RepairRun.h"
#include "sample/ObservedServices.h"
#include "sample/RecordingWindow.h"
#include "sample/SampleDatabase.h"
#include "tests/QStringPrinter.h"
#include "tests/TempDrive.h"

// One school session on a temporary drive C: with a real password-protected
// database, and the run's real services with a hook before every operation.
class RepairFixture : public ::testing::Test {
  protected:
    static inline const QString kFolder =
        QStringLiteral("DATA-TINJARA-SM$/DataSesi2024-SM-ABC1234");
    static inline const QString kDatabase = kFolder + QStringLiteral("/TinjaraSM2024.tnjra");
    static inline const QString kCompacted =
        kFolder + QStringLiteral("/TinjaraSM2024 compact.tnjra");
    static inline const QString kBackup = kFolder + QStringLiteral("/TinjaraSM2024 backup.tnjra");
    static inline const QString kLockFile = kFolder + QStringLiteral("/TinjaraSM2024.ldb");

    void SetUp() override {
        ASSERT_TRUE(drive.makeFolder(kFolder));
        sample::DatabaseOptions options;
        options.sizeBytes = 192 * 1024;
        options.freeShare = 0.5;
        sample::createDatabase(drive.host(kDatabase), options);
        originalBytes = drive.readFile(kDatabase);
        originalDigest = digest(kDatabase);
    }

    QByteArray digest(const QString& relative) const {
        return sample::contentDigest(drive.host(relative));
    }

    repair::RunServices services(sample::Observer observer = [](const QString&, const QString&) {
    }) {
        return sample::observeServices(productionServices(drive.drives()), std::move(observer));
    }

    repair::Outcome runWith(repair::RunServices runServices, const QString& code = "abc1234") {
        window = std::make_unique<repair::RecordingWindow>(code);
        repair::RepairRun run(*window, std::move(runServices));
        return run.cmdRepair_Click();
    }

    // The one message the run showed.
    const platform::Message& message() const {
        EXPECT_EQ(window->messages.size(), 1u);
        return window->messages.at(0);
    }

    QStringList sessionFiles() const { return drive.entries(kFolder); }

    TempDrive drive;
    QByteArray originalBytes;
    QByteArray originalDigest;
    std::unique_ptr<repair::RecordingWindow> window;
};
