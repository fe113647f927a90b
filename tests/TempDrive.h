#pragma once

#include <sys/xattr.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "platform/DriveMap.h"

// A drive letter mapped to a fresh temporary folder, removed with the object.
// Relative paths below are host paths inside the drive, slash-separated and
// in their stored letter case.
class TempDrive {
  public:
    explicit TempDrive(QChar letter = QLatin1Char('C'))
        : drives_(platform::DriveMap::withRoot(letter, dir_.path())) {}

    std::shared_ptr<const platform::DriveMap> drives() const { return drives_; }
    QString root() const { return dir_.path(); }
    QString host(const QString& relative) const { return dir_.filePath(relative); }

    bool makeFolder(const QString& relative) const { return QDir(root()).mkpath(relative); }

    bool writeFile(const QString& relative, const QByteArray& content) const {
        QFile file(host(relative));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(content) == content.size();
    }

    QByteArray readFile(const QString& relative) const {
        QFile file(host(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Sets `user.DOSATTRIB` in Wine's text form; false when the file system
    // keeps no extended attributes (tests then skip).
    bool setDosAttributes(const QString& relative, unsigned bits) const {
        const QByteArray value = "0x" + QByteArray::number(bits, 16);
        return ::setxattr(QFile::encodeName(host(relative)).constData(), "user.DOSATTRIB",
                          value.constData(), static_cast<size_t>(value.size()), 0) == 0;
    }

    // Every entry of a folder, hidden ones included, sorted by character code
    // (upper case before lower case).
    QStringList entries(const QString& relative = QString()) const {
        QStringList names =
            QDir(host(relative))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        names.sort(Qt::CaseSensitive);
        return names;
    }

  private:
    QTemporaryDir dir_;
    std::shared_ptr<const platform::DriveMap> drives_;
};
