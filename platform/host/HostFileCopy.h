#pragma once

#include <QString>
#include <optional>

#include "platform/DriveMap.h"
#include "platform/host/FastCopy.h"

namespace platform {

// Makes `destination` a byte copy of `source`. The copy is written beside the
// destination under a hidden temporary name and renamed into place only when
// complete and on disk, so a failed copy leaves an existing destination as it
// was and a symbolic link at the destination is replaced, not written through.
void copyHostFile(const DriveMap& drives, const QString& source, const QString& destination,
                  bool overWriteFiles, const std::optional<WriteFault>& fault);

}  // namespace platform
