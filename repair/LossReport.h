#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "platform/Automation.h"

namespace repair {

// The list of what a repair lost, as the engine's Errors tell it, in the
// program's language: the database's native path and the time, one line per
// table with losses (rows kept, rows lost, the lost rowids), then the schema
// entries lost. Rows are named by rowid only: the report is not encrypted.
// UTF-8.
QByteArray lossReportText(const QString& database, const QDateTime& time,
                          platform::AutomationObject& errors);

// "4, 7-9, 12": the engine's rowid list ("4,7:9,12"; an open end "a:" or
// ":b") as the report writes it.
QString rowidList(const QString& engineList);

}  // namespace repair
