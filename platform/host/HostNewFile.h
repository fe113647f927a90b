#pragma once

#include <QByteArray>
#include <QString>

#include "platform/DriveMap.h"

namespace platform {

// Writes a new file at a native path holding `bytes`, owned and permissioned
// as the file `likeFile`, synced with its folder. A taken name fails with 58;
// on any failure the new file is removed again.
void writeNewHostFile(const DriveMap& drives, const QString& path, const QByteArray& bytes,
                      const QString& likeFile);

}  // namespace platform
