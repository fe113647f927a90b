#include "platform/DriveMap.h"

#include <dirent.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <memory>

#include "platform/Failures.h"

namespace platform {

std::shared_ptr<const DriveMap> DriveMap::fromWinePrefix() {
    QString prefix = qEnvironmentVariable("WINEPREFIX");
    if (prefix.isEmpty()) prefix = QDir::homePath() + QStringLiteral("/.wine");
    return fromWinePrefix(prefix);
}

std::shared_ptr<const DriveMap> DriveMap::fromWinePrefix(const QString& prefix) {
    auto map = std::make_shared<DriveMap>();
    map->winePrefix_ = prefix;
    return map;
}

std::shared_ptr<const DriveMap> DriveMap::withRoot(QChar drive, const QString& hostDirectory) {
    auto map = std::make_shared<DriveMap>();
    map->fixedRoots_.insert(drive.toLower(), hostDirectory);
    return map;
}

QStringList DriveMap::components(const QString& nativePath, QChar* drive) {
    // "C:name" would be relative to a current folder of the drive; only
    // absolute paths are taken.
    if (nativePath.size() < 3 || nativePath.at(1) != QLatin1Char(':') ||
        !nativePath.at(0).isLetter() || nativePath.at(0).unicode() > 0x7f ||
        (nativePath.at(2) != QLatin1Char('\\') && nativePath.at(2) != QLatin1Char('/'))) {
        throw failures::make(failures::BadFileName, nativePath);
    }
    if (drive) *drive = nativePath.at(0).toLower();
    static const QRegularExpression separators(QStringLiteral("[\\\\/]+"));
    QStringList parts = nativePath.mid(2).split(separators, Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..") ||
            part.contains(QChar(u'\0'))) {
            throw failures::make(failures::BadFileName, nativePath);
        }
    }
    return parts;
}

QString DriveMap::driveRoot(QChar drive) const {
    const auto fixed = fixedRoots_.constFind(drive);
    if (fixed != fixedRoots_.constEnd()) return *fixed;
    if (winePrefix_.isEmpty()) return {};
    const QString link = winePrefix_ + QStringLiteral("/dosdevices/") + drive + QLatin1Char(':');
    const QString target = QFileInfo(link).canonicalFilePath();
    return target;
}

QString matchEntry(const QString& hostDirectory, const QString& name) {
    const QByteArray dirBytes = QFile::encodeName(hostDirectory);
    DIR* dir = ::opendir(dirBytes.isEmpty() ? "/" : dirBytes.constData());
    if (!dir) return {};
    const QByteArray exact = QFile::encodeName(name);
    const QString folded = name.toCaseFolded();
    QByteArray best;
    bool exactFound = false;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray entryName(entry->d_name);
        if (entryName == exact) {
            exactFound = true;
            break;
        }
        if (entryName == "." || entryName == "..") continue;
        if (QFile::decodeName(entryName).toCaseFolded() == folded &&
            (best.isEmpty() || entryName < best)) {
            best = entryName;
        }
    }
    ::closedir(dir);
    if (exactFound) return name;
    return best.isEmpty() ? QString() : QFile::decodeName(best);
}

QString DriveMap::unmappedDrive(QChar drive) const {
    const QString letter = drive.toUpper() + QLatin1Char(':');
    if (winePrefix_.isEmpty()) return QStringLiteral("drive %1 is not mapped").arg(letter);
    // Say where the drive was looked for, so that the user can tell a missing
    // Wine prefix from a prefix without this drive.
    if (!QFileInfo(winePrefix_).isDir()) {
        return QStringLiteral("drive %1 is not mapped: no Wine prefix at %2")
            .arg(letter, winePrefix_);
    }
    return QStringLiteral("drive %1 is not mapped: %2/dosdevices/%3: leads to no folder")
        .arg(letter, winePrefix_, drive);
}

QString DriveMap::toHostPath(const QString& nativePath) const {
    QChar drive;
    const QStringList parts = components(nativePath, &drive);
    QString host = driveRoot(drive);
    if (host.isEmpty()) {
        throw failures::make(failures::PathNotFound, nativePath + QStringLiteral(" (") +
                                                         unmappedDrive(drive) + QLatin1Char(')'));
    }
    while (host.size() > 1 && host.endsWith(QLatin1Char('/'))) host.chop(1);
    bool resolving = true;
    for (const QString& part : parts) {
        const QString parent = host;
        QString name = part;
        if (resolving) {
            const QString match = matchEntry(parent, part);
            if (match.isEmpty()) {
                resolving = false;
            } else {
                name = match;
            }
        }
        host = (parent == QLatin1String("/") ? QString() : parent) + QLatin1Char('/') + name;
    }
    return host;
}

}  // namespace platform
