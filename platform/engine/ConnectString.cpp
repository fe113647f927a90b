#include "platform/engine/ConnectString.h"

#include <QMap>
#include <QStringList>

namespace platform::engine {

namespace {
// The key=value entries of a connect string, keys case-folded. A part without
// "=" (a source type such as "MS Access") is no entry.
QMap<QString, QString> entriesOf(const QString& connect) {
    QMap<QString, QString> entries;
    for (const QString& part : connect.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(QLatin1Char('='));
        if (equals < 0) continue;
        entries.insert(part.left(equals).trimmed().toCaseFolded(), part.mid(equals + 1));
    }
    return entries;
}
}  // namespace

std::optional<QByteArray> passwordOf(const QString& connect) {
    const QString password = entriesOf(connect).value(QStringLiteral("pwd"));
    if (password.isEmpty()) return std::nullopt;
    return password.toUtf8();
}

bool isGeneralLocale(const QString& locale) {
    const auto entries = entriesOf(locale);
    if (entries.size() != 3) return false;
    bool ok = false;
    const uint langId = entries.value(QStringLiteral("langid")).trimmed().toUInt(&ok, 0);
    if (!ok || langId != 0x0409) return false;
    if (entries.value(QStringLiteral("cp")).trimmed() != QLatin1String("1252")) return false;
    return entries.value(QStringLiteral("country")).trimmed() == QLatin1String("0");
}

}  // namespace platform::engine
