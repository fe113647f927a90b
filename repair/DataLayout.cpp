#include "repair/DataLayout.h"

namespace repair::layout {

namespace {

const QString kPrefixTested = QStringLiteral("DATASESI");
const QString kPrefixWritten = QStringLiteral("DataSesi");
const QString kSchoolSeparator = QStringLiteral("-SM-");
const QString kDatabasePrefix = QStringLiteral("TinjaraSM");
const QString kDatabaseSuffix = QStringLiteral(".tnjra");
const QString kCompactedSuffix = QStringLiteral(" compact.tnjra");
const QString kBackupSuffix = QStringLiteral(" backup.tnjra");
const QString kLockSuffix = QStringLiteral(".ldb");
const QString kDamagedInfix = QStringLiteral(" rosak ");
const QString kReportSuffix = QStringLiteral(".txt");

QString databaseBase(const QString& sessionFolder, const QString& key) {
    return sessionFolder + QLatin1Char('\\') + kDatabasePrefix + key;
}

}  // namespace

bool IsSessionFolderName(const QString& folderName) {
    return folderName.toUpper().left(kPrefixTested.size()) == kPrefixTested;
}

QString SessionKeyOf(const QString& folderName) {
    return folderName.mid(8, 4);
}

QString SessionFolderPath(const QString& key, const QString& schoolCode) {
    return DataRoot + QLatin1Char('\\') + kPrefixWritten + key + kSchoolSeparator + schoolCode;
}

QString DatabaseFile(const QString& sessionFolder, const QString& key) {
    return databaseBase(sessionFolder, key) + kDatabaseSuffix;
}

QString CompactedCopy(const QString& sessionFolder, const QString& key) {
    return databaseBase(sessionFolder, key) + kCompactedSuffix;
}

QString BackupCopy(const QString& sessionFolder, const QString& key) {
    return databaseBase(sessionFolder, key) + kBackupSuffix;
}

QString LockFile(const QString& sessionFolder, const QString& key) {
    return databaseBase(sessionFolder, key) + kLockSuffix;
}

QString DatabaseDisplayName(const QString& key) {
    return kDatabasePrefix + key + kDatabaseSuffix;
}

QString LogFile(const QString& databaseFile) {
    return databaseFile + QStringLiteral("-wal");
}

QString SharedMemoryFile(const QString& databaseFile) {
    return databaseFile + QStringLiteral("-shm");
}

QString RollbackJournalFile(const QString& databaseFile) {
    return databaseFile + QStringLiteral("-journal");
}

namespace {
QString damagedBase(const QString& key, const QDateTime& localTime, int attempt) {
    const QString stamp = localTime.toString(QStringLiteral("yyyyMMdd-HHmm"));
    const QString suffix = attempt > 1 ? QStringLiteral(" (%1)").arg(attempt) : QString();
    return kDatabasePrefix + key + kDamagedInfix + stamp + suffix;
}
}  // namespace

QString DamagedOriginalName(const QString& key, const QDateTime& localTime, int attempt) {
    return damagedBase(key, localTime, attempt) + kDatabaseSuffix;
}

QString LossReportName(const QString& key, const QDateTime& localTime, int attempt) {
    return damagedBase(key, localTime, attempt) + kReportSuffix;
}

QString LossReport(const QString& sessionFolder, const QString& key, const QDateTime& localTime,
                   int attempt) {
    return sessionFolder + QLatin1Char('\\') + LossReportName(key, localTime, attempt);
}

QString DamagedOriginal(const QString& sessionFolder, const QString& key,
                        const QDateTime& localTime, int attempt) {
    return sessionFolder + QLatin1Char('\\') + DamagedOriginalName(key, localTime, attempt);
}

}  // namespace repair::layout
