#pragma once

#include <memory>
#include <optional>

#include "platform/DriveMap.h"
#include "platform/FileSystemService.h"
#include "platform/host/FastCopy.h"

namespace platform {

// Test hooks of the host service; production code passes none.
struct HostFileSystemOptions {
    // Makes the data writes of copies fail, e.g. with ENOSPC after N bytes.
    std::optional<WriteFault> copyWriteFault;
};

// The file-system service on the host's disk, through a drive map.
std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap> drives);
std::unique_ptr<FileSystemService> makeHostFileSystem(std::shared_ptr<const DriveMap> drives,
                                                      const HostFileSystemOptions& options);

}  // namespace platform
