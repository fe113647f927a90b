#include "platform/engine/LossProblems.h"

#include "platform/DatabaseEngineClass.h"
#include "platform/engine/CompactDatabase.h"
#include "platform/engine/EngineFailures.h"

namespace platform::engine {

namespace {

QString rowidText(const std::vector<RowidRange>& ranges) {
    QStringList items;
    for (const RowidRange& range : ranges) {
        const QString from = range.from ? QString::number(*range.from) : QString();
        const QString to = range.to ? QString::number(*range.to) : QString();
        items << (range.from && range.to && *range.from == *range.to ? from : from + ':' + to);
    }
    return items.join(',');
}

}  // namespace

std::vector<EngineProblem> lossProblems(const CompactResult& result, const QString& nativeSource) {
    std::vector<EngineProblem> problems;
    if (!result.lostData()) return problems;
    problems.push_back({fail(DatabaseCorrupt,
                             QStringLiteral("The database was damaged and has been repaired; what "
                                            "lay on %1 unreadable pages could not all be kept "
                                            "(%2 tables lost rows, %3 schema entries lost): %4")
                                 .arg(result.badPages)
                                 .arg(result.loss.tables.size())
                                 .arg(result.loss.schemaEntries.size())
                                 .arg(nativeSource)),
                        {}});
    for (const TableLoss& table : result.loss.tables) {
        const QString name = QString::fromUtf8(table.table);
        problems.push_back(
            {fail(DatabaseCorrupt, QStringLiteral("table %1: %2 rows kept, %3%4 lost")
                                       .arg(name)
                                       .arg(table.kept)
                                       .arg(table.atLeast ? QStringLiteral("at least ") : QString())
                                       .arg(table.lost)),
             {{QString::fromLatin1(lost_data::kTable), Variant::text(name)},
              {QString::fromLatin1(lost_data::kRowsKept),
               Variant::text(QString::number(table.kept))},
              {QString::fromLatin1(lost_data::kRowsLost),
               Variant::text(QString::number(table.lost))},
              {QString::fromLatin1(lost_data::kAtLeast), Variant::boolean(table.atLeast)},
              {QString::fromLatin1(lost_data::kLostRowids),
               Variant::text(rowidText(table.rowids))}}});
    }
    for (const QByteArray& entry : result.loss.schemaEntries) {
        const QString text = QString::fromUtf8(entry);
        problems.push_back({fail(DatabaseCorrupt, QStringLiteral("schema entry lost: ") + text),
                            {{QString::fromLatin1(lost_data::kSchemaEntry), Variant::text(text)}}});
    }
    if (result.loss.unreadableSchemaEntries > 0) {
        const QString count = QString::number(result.loss.unreadableSchemaEntries);
        problems.push_back(
            {fail(DatabaseCorrupt, count + QStringLiteral(" schema entries could not be read")),
             {{QString::fromLatin1(lost_data::kUnreadableSchemaEntries), Variant::text(count)}}});
    }
    return problems;
}

}  // namespace platform::engine
