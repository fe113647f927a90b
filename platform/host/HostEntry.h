#pragma once

#include <QByteArray>
#include <QString>

#include "platform/DriveMap.h"
#include "platform/host/UniqueFd.h"

namespace platform {

// A native path resolved on the host and split into its open folder and its
// own name, so that every later step works on that one folder.
struct HostEntry {
    QString nativePath;
    QByteArray hostPath;
    UniqueFd folder;
    // The entry's name in the folder as stored (or as written when it does
    // not exist yet); "." for a drive root.
    QByteArray name;
};

// Resolves and opens the folder of a path; fails with 76 when a folder on the
// way is missing, 52 for a refused name.
HostEntry openHostEntry(const DriveMap& drives, const QString& nativePath);

// Renames without replacing an existing entry; returns 0 or the errno
// (EEXIST when the new name is taken).
int renameNoReplace(int fromFolder, const QByteArray& fromName, int toFolder,
                    const QByteArray& toName);

}  // namespace platform
