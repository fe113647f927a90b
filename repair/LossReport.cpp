#include "repair/LossReport.h"

#include <QStringList>
#include <optional>

#include "platform/DatabaseEngineClass.h"
#include "platform/Failure.h"

namespace repair {

namespace {

using platform::AutomationObject;
using platform::Variant;

// The report's own words.
const QString kDatabase = QStringLiteral("Pangkalan data: ");
const QString kTime = QStringLiteral("Masa: ");
const QString kTable = QStringLiteral("Jadual %1: %2 rekod disimpan, %3, rowid: %4");
const QString kLostExact = QStringLiteral("%1 rekod hilang");
const QString kLostAtLeast = QStringLiteral("sekurang-kurangnya %1 rekod hilang");
const QString kLostUnknown = QStringLiteral("bilangan rekod hilang tidak diketahui");
const QString kNoRowids = QStringLiteral("tidak diketahui");
const QString kFrom = QStringLiteral("%1 ke atas");
const QString kUpTo = QStringLiteral("hingga %1");
const QString kAll = QStringLiteral("semua");
const QString kSchemaLost = QStringLiteral("Skema yang hilang: ");
const QString kSchemaUnreadable = QStringLiteral("Entri skema yang tidak dapat dibaca: ");

// A detail of one Errors item, if the item has it.
std::optional<Variant> detail(AutomationObject& item, const char* name) {
    try {
        return item.invoke(QString::fromLatin1(name), {});
    } catch (const platform::Failure&) {
        return std::nullopt;
    }
}

QString text(AutomationObject& item, const char* name) {
    const auto value = detail(item, name);
    return value && value->holds<QString>() ? value->get<QString>() : QString();
}

}  // namespace

QString rowidList(const QString& engineList) {
    QStringList items;
    for (const QString& item : engineList.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qsizetype colon = item.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            items << item;
            continue;
        }
        const QString from = item.left(colon), to = item.mid(colon + 1);
        if (!from.isEmpty() && !to.isEmpty()) {
            items << from + QLatin1Char('-') + to;
        } else if (!from.isEmpty()) {
            items << kFrom.arg(from);
        } else if (!to.isEmpty()) {
            items << kUpTo.arg(to);
        } else {
            items << kAll;
        }
    }
    return items.isEmpty() ? kNoRowids : items.join(QStringLiteral(", "));
}

QByteArray lossReportText(const QString& database, const QDateTime& time,
                          AutomationObject& errors) {
    QStringList lines{kDatabase + database,
                      kTime + time.toString(QStringLiteral("yyyy-MM-dd HH:mm")), QString()};
    QStringList schema;
    QString unreadable;
    const Variant count = errors.invoke(QStringLiteral("Count"), {});
    const int items = count.holds<std::int32_t>() ? count.get<std::int32_t>() : 0;
    for (int i = 0; i < items; ++i) {
        const Variant got =
            errors.invoke(QStringLiteral("Item"), {Variant::int32(std::int32_t(i))});
        if (!got.holds<std::shared_ptr<AutomationObject>>()) continue;
        AutomationObject& item = *got.get<std::shared_ptr<AutomationObject>>();
        namespace lost = platform::lost_data;
        if (const QString table = text(item, lost::kTable); !table.isEmpty()) {
            const QString rows = text(item, lost::kRowsLost);
            const auto atLeast = detail(item, lost::kAtLeast);
            const bool floor = atLeast && atLeast->holds<bool>() && atLeast->get<bool>();
            const QString lostText = !floor        ? kLostExact.arg(rows)
                                     : rows == "0" ? kLostUnknown
                                                   : kLostAtLeast.arg(rows);
            lines << kTable.arg(table, text(item, lost::kRowsKept), lostText,
                                rowidList(text(item, lost::kLostRowids)));
        } else if (const QString entry = text(item, lost::kSchemaEntry); !entry.isEmpty()) {
            schema << entry;
        } else if (const QString n = text(item, lost::kUnreadableSchemaEntries); !n.isEmpty()) {
            unreadable = n;
        }
    }
    if (!schema.isEmpty()) lines << kSchemaLost + schema.join(QStringLiteral(", "));
    if (!unreadable.isEmpty()) lines << kSchemaUnreadable + unreadable;
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

}  // namespace repair
