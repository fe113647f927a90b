#pragma once

#include <QChar>
#include <QHash>
#include <QString>
#include <memory>

namespace platform {

// Maps native drive-letter paths ("C:\DATA\x") to host paths. Backslash and
// slash both separate; repeated separators collapse; each component is
// matched against the directory's entries without regard to letter case (an
// exact-case match wins, otherwise the first case-insensitive match in byte
// order). A component that is "." or "..", or holds a NUL, fails with 52, so
// no path can leave its drive.
class DriveMap {
  public:
    // The drive map under which Windows programs on Linux keep their drives:
    // $WINEPREFIX/dosdevices/<letter>: (WINEPREFIX defaults to ~/.wine).
    static std::shared_ptr<const DriveMap> fromWinePrefix();
    static std::shared_ptr<const DriveMap> fromWinePrefix(const QString& prefix);
    // One drive mapped straight to a host directory; for tests and tools.
    static std::shared_ptr<const DriveMap> withRoot(QChar drive, const QString& hostDirectory);

    // The host path for a native path. Components that exist are resolved
    // case-insensitively; the first missing one and all after it are kept as
    // written. Fails with 52 for a refused or relative path, 76 for an
    // unknown drive (saying where the drive was looked for).
    QString toHostPath(const QString& nativePath) const;

    // The native path's components after the drive, validated as above.
    static QStringList components(const QString& nativePath, QChar* drive = nullptr);

  private:
    QString driveRoot(QChar drive) const;
    // Why a drive has no host folder, naming the prefix it was looked for in.
    QString unmappedDrive(QChar drive) const;

    QString winePrefix_;
    QHash<QChar, QString> fixedRoots_;
};

// Finds the entry of a host directory that a name denotes: the exact name if
// present, else the first case-insensitive match in byte order, else empty.
QString matchEntry(const QString& hostDirectory, const QString& name);

}  // namespace platform
