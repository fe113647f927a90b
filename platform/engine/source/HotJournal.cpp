#include "platform/engine/source/HotJournal.h"

#include <QFile>

namespace platform::engine {

bool hasHotJournal(const QString& hostDatabase) {
    QFile journal(hostDatabase + QStringLiteral("-journal"));
    if (!journal.open(QIODevice::ReadOnly)) return false;
    const QByteArray first = journal.read(1);
    return !first.isEmpty() && first.at(0) != 0;
}

}  // namespace platform::engine
