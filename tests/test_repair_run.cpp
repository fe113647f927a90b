#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "app/ProductionServices.h"
#include "platform/Failures.h"
#include "platform/KeyedCollection.h"
#include "repair/DataLayout.h"
#include "repair/RepairRun.h"
#include "repair/RunMessages.h"
#include "repair/fn1.h"
#include "sample/RecordingWindow.h"
#include "tests/QStringPrinter.h"
#include "tests/ScriptedFileSystem.h"
#include "tests/TestHelpers.h"

using platform::Failure;
using platform::MessageIcon;
using repair::Outcome;
using repair::RecordingWindow;
using repair::RepairRun;

namespace {

repair::RunServices scriptedServices(QStringList folders, std::optional<int> failure = {}) {
    return {[folders, failure] { return std::make_unique<ScriptedFileSystem>(folders, failure); },
            std::make_shared<platform::ClassRegistry>(), nullptr};
}

}  // namespace

TEST(RepairRunNormalise, RemovesEverySpaceAndUpperCases) {
    EXPECT_EQ(repair::NormaliseSchoolCode(" abc 12 34 "), "ABC1234");
    EXPECT_EQ(repair::NormaliseSchoolCode("a\tb"), "A\tB");  // only U+0020 goes
    EXPECT_EQ(repair::NormaliseSchoolCode("x-1/é"), "X-1/É");
    EXPECT_EQ(repair::trimSpaces("\t a \t"), "\t a \t");
}

TEST(RepairRunNormalise, SixteenBitCounterOverflowsAt32767) {
    EXPECT_EQ(repair::NormaliseSchoolCode(QString(32766, 'a')).size(), 32766);
    EXPECT_EQ(failureOf([] { repair::NormaliseSchoolCode(QString(32767, 'a')); }),
              platform::failures::Overflow);
    // Surrounding spaces are trimmed before the length counts.
    EXPECT_EQ(repair::NormaliseSchoolCode("  " + QString(32766, 'a') + "  ").size(), 32766);
}

TEST(RepairRunCodeMissing, BlankCodeKeepsWindowOpenAndFocusesBox) {
    for (const QString& code : {QString(), QString("    ")}) {
        RecordingWindow window(code);
        RepairRun run(window, scriptedServices({"DataSesi2024-SM-ABC"}));
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::CodeMissing);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].prompt,
                  "Kod sekolah belum dimasukkan\r\n\r\nSila masukkan kod sekolah");
        EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
        EXPECT_FALSE(window.messages[0].title.has_value());
        EXPECT_EQ(window.focusRequests, 1);
        EXPECT_FALSE(window.closed);
    }
}

TEST(RepairRunCodeMissing, SecondPressAfterTypingRunsAnew) {
    RecordingWindow window(" ");
    RepairRun run(window, scriptedServices({}));
    EXPECT_EQ(run.cmdRepair_Click(), Outcome::CodeMissing);
    EXPECT_TRUE(run.schoolCode().isEmpty());
    window.code = " ab c ";
    EXPECT_EQ(run.cmdRepair_Click(), Outcome::NoSessionFolder);
    EXPECT_EQ(run.schoolCode(), "ABC");
    EXPECT_TRUE(window.closed);
}

TEST(RepairRunFailure, OverflowAndMissingDataRootReportTheirNumbers) {
    struct Case {
        QString code;
        std::optional<int> rootFailure;
        int number;
        QString description;
    };
    const Case cases[] = {
        {QString(40000, 'k'), std::nullopt, 6, "Overflow"},
        {"ABC", platform::failures::PathNotFound, 76, "Path not found: C:\\DATA-TINJARA-SM$"},
    };
    for (const Case& c : cases) {
        RecordingWindow window(c.code);
        RepairRun run(window, scriptedServices({}, c.rootFailure));
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::RepairFailed);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(
            window.messages[0].prompt,
            "Compact and Repair TIDAK BERJAYA\r\n\r\nErr.Number = " + QString::number(c.number) +
                "\r\n\r\nErr.Description = " + c.description + "\r\n\r\nSila hubungi " +
                repair::messages::SupportContact + " untuk bantuan");
        EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
        EXPECT_FALSE(window.messages[0].title.has_value());
        EXPECT_TRUE(window.closed);
        EXPECT_EQ(window.exitStatus, 5);
        EXPECT_TRUE(run.sessionFolder().isEmpty());
    }
}

// The user of a machine with Wine learns where drive C: and the data root
// were looked for, and can tell a missing prefix from a missing folder.
TEST(RepairRunFailure, MissingDataRootOrDriveSaysWhereItLooked) {
    QTemporaryDir temp;
    const QString prefix = temp.filePath("prefix");
    ASSERT_TRUE(QDir().mkpath(prefix + "/drive_c") && QDir().mkpath(prefix + "/dosdevices"));
    const QString driveC = QFileInfo(prefix + "/drive_c").canonicalFilePath();
    struct Case {
        std::shared_ptr<const platform::DriveMap> drives;
        QString where;
    };
    const Case cases[] = {
        {platform::DriveMap::withRoot('C', driveC), driveC + "/DATA-TINJARA-SM$"},
        {platform::DriveMap::fromWinePrefix(prefix),
         "drive C: is not mapped: " + prefix + "/dosdevices/c: leads to no folder"},
        {platform::DriveMap::fromWinePrefix(temp.filePath("none")),
         "drive C: is not mapped: no Wine prefix at " + temp.filePath("none")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where.toStdString());
        RecordingWindow window("ABC");
        RepairRun run(window, productionServices(c.drives));
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::RepairFailed);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_TRUE(window.messages[0].prompt.contains(
            "\r\n\r\nErr.Number = 76\r\n\r\nErr.Description = Path not found: "
            "C:\\DATA-TINJARA-SM$ (" +
            c.where + ")\r\n\r\n"))
            << window.messages[0].prompt.toStdString();
    }
    // Where the prefix does map drive C:, the data root is named inside it.
    ASSERT_TRUE(QFile::link("../drive_c", prefix + "/dosdevices/c:"));
    RecordingWindow window("ABC");
    RepairRun run(window, productionServices(platform::DriveMap::fromWinePrefix(prefix)));
    EXPECT_EQ(run.cmdRepair_Click(), Outcome::RepairFailed);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_TRUE(window.messages[0].prompt.contains("Path not found: C:\\DATA-TINJARA-SM$ (" +
                                                   driveC + "/DATA-TINJARA-SM$)\r\n"));
}

TEST(RepairRunFailure, NegativeNumbersKeepTheirSign) {
    EXPECT_TRUE(repair::messages::repairFailed(-2147467259, "x")
                    .prompt.contains("Err.Number = -2147467259\r\n"));
}

TEST(RepairRunDiscovery, PicksGreatestKeyByCharacterCodeInAnyOrder) {
    struct Case {
        QStringList folders;
        QString best;
    };
    const Case cases[] = {
        {{"DataSesi2023-SM-ABC1234", "DataSesi2024-SM-ABC1234"}, "2024"},
        {{"DataSesi2024-SM-ABC1234", "DataSesi2023-SM-ABC1234"}, "2024"},
        {{"DataSesi999", "DataSesi2024-SM-X"}, "999"},
        {{"Backup", "datasesi2023-sm-abc", "XDataSesi2099", "DataSesi202"}, "2023"},
        {{"DataSesi", "DataSesi20"}, "20"},
    };
    for (const Case& c : cases) {
        RecordingWindow window("abc");
        RepairRun run(window, scriptedServices(c.folders));
        // No database on the scripted disk: the run goes on to the listing test.
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::DatabaseNotFound)
            << c.folders.join(',').toStdString();
        EXPECT_EQ(run.bestSessionKey(), c.best);
        EXPECT_EQ(run.sessionFolder(), "C:\\DATA-TINJARA-SM$\\DataSesi" + c.best + "-SM-ABC");
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].prompt,
                  "TinjaraSM" + c.best + ".tnjra TIDAK ditemui\r\n\r\nCompact and Repair GAGAL");
        EXPECT_EQ(window.messages[0].icon, MessageIcon::Critical);
        EXPECT_EQ(window.messages[0].title, QString(""));
    }
}

TEST(RepairRunDiscovery, RepeatedKeyNamesTheFolderListedSecond) {
    const QStringList listings[] = {
        {"DataSesi2024-SM-ABC1234", "DATASESI2024-SM-XYZ9999"},
        {"DATASESI2024-SM-XYZ9999", "DataSesi2024-SM-ABC1234"},
        {"DataSesi2024-SM-ABC1234", "Temp", "DataSesi2024 (copy)", "DataSesi2025-SM-A"},
    };
    for (const QStringList& folders : listings) {
        RecordingWindow window("abc");
        RepairRun run(window, scriptedServices(folders));
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::DuplicateSessionFolder);
        ASSERT_EQ(window.messages.size(), 1u);
        const QString second =
            folders[0] == "DataSesi2024-SM-ABC1234" && folders.size() > 2 ? folders[2] : folders[1];
        EXPECT_EQ(window.messages[0].prompt,
                  "Terdapat folder data yang berulang dalam C:\\DATA-TINJARA-SM$\r\n\r\n"
                  "Antaranya : " +
                      second + "\r\n\r\nSila hapus folder data yang lebih lama tarikhnya");
        EXPECT_EQ(window.messages[0].title, QString("RALAT FOLDER DATA BERULANG"));
        EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
        EXPECT_TRUE(window.closed);
        EXPECT_EQ(window.exitStatus, 2);
        EXPECT_TRUE(run.sessionFolder().isEmpty());
    }
}

TEST(RepairRunDiscovery, NoSessionFolderInEmptyOrForeignRoot) {
    for (const QStringList& folders : {QStringList(), QStringList{"Backup", "Temp"}}) {
        RecordingWindow window("abc");
        RepairRun run(window, scriptedServices(folders));
        EXPECT_EQ(run.cmdRepair_Click(), Outcome::NoSessionFolder);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].prompt,
                  "Tiada sebarang folder data dijumpai dalam C:\\DATA-TINJARA-SM$\r\n\r\n"
                  "Sila masukkan folder data ke dalam C:\\DATA-TINJARA-SM$");
        EXPECT_EQ(window.messages[0].title, QString("RALAT TIADA FOLDER DATA"));
        EXPECT_TRUE(window.closed);
        EXPECT_EQ(window.exitStatus, 3);
    }
}

TEST(RepairRunDiscovery, MoreThan32767SessionFoldersOverflowTheCounter) {
    QStringList folders;
    for (int i = 0; i < 32768; ++i) folders << QString("DataSesi%1").arg(i, 4, 36, QChar('0'));
    RecordingWindow window("abc");
    RepairRun run(window, scriptedServices(folders));
    EXPECT_EQ(run.cmdRepair_Click(), Outcome::RepairFailed);
    EXPECT_TRUE(window.messages[0].prompt.contains("Err.Number = 6\r\n"));
}

TEST(SessionRegistry, KeysIgnoreCaseAndProbeAnswersOnlyNotFoundAsAbsent) {
    platform::KeyedCollection registry;
    EXPECT_FALSE(repair::fn1::HasKey(registry, "2024"));
    registry.Add("ab12", "ab12");
    EXPECT_TRUE(repair::fn1::HasKey(registry, "AB12"));
    EXPECT_EQ(registry.Item(1), "ab12");
    EXPECT_EQ(failureOf([&] { registry.Add("x", "AB12"); }), 457);
    EXPECT_EQ(failureOf([&] { (void)registry.Item(2); }), 5);
    EXPECT_EQ(registry.Count(), 1);
}

TEST(DataLayout, SessionFolderNamesAndKeys) {
    using namespace repair::layout;
    EXPECT_TRUE(IsSessionFolderName("datasesi2023-sm-abc1234"));
    EXPECT_TRUE(IsSessionFolderName("DataSesi"));
    EXPECT_FALSE(IsSessionFolderName("XDataSesi2024"));
    EXPECT_FALSE(IsSessionFolderName("DataSes"));
    EXPECT_EQ(SessionKeyOf("datasesi2023-sm-abc1234"), "2023");
    EXPECT_EQ(SessionKeyOf("DataSesi"), "");
    EXPECT_EQ(SessionKeyOf("DataSesi20"), "20");
}

TEST(DataLayout, PathFormulas) {
    using namespace repair::layout;
    const QString folder = SessionFolderPath("2024", "ABC1234");
    EXPECT_EQ(folder, "C:\\DATA-TINJARA-SM$\\DataSesi2024-SM-ABC1234");
    EXPECT_EQ(DatabaseFile(folder, "2024"), folder + "\\TinjaraSM2024.tnjra");
    EXPECT_EQ(CompactedCopy(folder, "2024"), folder + "\\TinjaraSM2024 compact.tnjra");
    EXPECT_EQ(BackupCopy(folder, "2024"), folder + "\\TinjaraSM2024 backup.tnjra");
    EXPECT_EQ(LockFile(folder, "2024"), folder + "\\TinjaraSM2024.ldb");
    EXPECT_EQ(DatabaseDisplayName("2024"), "TinjaraSM2024.tnjra");
    EXPECT_EQ(DatabaseFile(SessionFolderPath("", "ABC1234"), ""),
              "C:\\DATA-TINJARA-SM$\\DataSesi-SM-ABC1234\\TinjaraSM.tnjra");
}
