#pragma once

#include <memory>

#include "platform/DriveMap.h"
#include "platform/FileSystemService.h"

namespace platform {

// The file-system service on the host's disk, through a drive map.
std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap> drives);

}  // namespace platform
