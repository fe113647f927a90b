#include "sample/DataRoot.h"

#include <QDir>
#include <QFile>
#include <stdexcept>

namespace sample {

namespace {
void makeFolder(const QString& path) {
    if (!QDir().mkpath(path)) throw std::runtime_error("cannot make " + path.toStdString());
}
}  // namespace

std::vector<QString> layOutDataRoot(const QString& driveDirectory,
                                    const std::vector<Session>& sessions) {
    const QString dataRoot = driveDirectory + QStringLiteral("/DATA-TINJARA-SM$");
    makeFolder(dataRoot);
    std::vector<QString> databases;
    for (const Session& session : sessions) {
        const QString folder = dataRoot + QStringLiteral("/DataSesi") + session.key +
                               QStringLiteral("-SM-") + session.schoolCode;
        makeFolder(folder);
        const QString database =
            folder + QStringLiteral("/TinjaraSM") + session.key + QStringLiteral(".tnjra");
        createDatabase(database, session.database);
        if (session.damagedPages > 0) damage(database, session.damagedPages);
        databases.push_back(database);
    }
    return databases;
}

QString layOutWinePrefix(const QString& prefix) {
    const QString drive = QDir(prefix).absolutePath() + QStringLiteral("/drive_c");
    makeFolder(drive);
    makeFolder(prefix + QStringLiteral("/dosdevices"));
    const QString link = prefix + QStringLiteral("/dosdevices/c:");
    if (!QFile::exists(link) && !QFile::link(QStringLiteral("../drive_c"), link)) {
        throw std::runtime_error("cannot link " + link.toStdString());
    }
    return drive;
}

}  // namespace sample
