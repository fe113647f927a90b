#pragma once

#include <QDateTime>
#include <QString>

// Where the school-records product keeps its data, and the names of every
// file the repair run touches. The only place that forms paths.
namespace repair::layout {

inline const QString DataRoot = QStringLiteral("C:\\DATA-TINJARA-SM$");

// True when the name, upper-cased, starts with "DATASESI".
bool IsSessionFolderName(const QString& folderName);
// Characters 9 to 12 of the name, letter case kept; fewer for a short name.
QString SessionKeyOf(const QString& folderName);

QString SessionFolderPath(const QString& key, const QString& schoolCode);
QString DatabaseFile(const QString& sessionFolder, const QString& key);
QString CompactedCopy(const QString& sessionFolder, const QString& key);
QString BackupCopy(const QString& sessionFolder, const QString& key);
QString LockFile(const QString& sessionFolder, const QString& key);
QString DatabaseDisplayName(const QString& key);

// The files SQLite keeps beside a database in write-ahead-log mode.
QString LogFile(const QString& databaseFile);
QString SharedMemoryFile(const QString& databaseFile);
// The rollback journal SQLite keeps beside a database during a transaction.
QString RollbackJournalFile(const QString& databaseFile);

// The name a damaged original is kept under after a repair that lost data:
// "TinjaraSM<key> rosak <yyyymmdd-hhmm>.tnjra" for the run's local time; a
// second such file in the same minute takes " (2)", " (3)", ... before the
// extension (attempt 1 is the plain name).
QString DamagedOriginalName(const QString& key, const QDateTime& localTime, int attempt = 1);
QString DamagedOriginal(const QString& sessionFolder, const QString& key,
                        const QDateTime& localTime, int attempt = 1);
// The list of what was lost, beside it under the same name with ".txt".
QString LossReportName(const QString& key, const QDateTime& localTime, int attempt = 1);
QString LossReport(const QString& sessionFolder, const QString& key, const QDateTime& localTime,
                   int attempt = 1);

}  // namespace repair::layout
