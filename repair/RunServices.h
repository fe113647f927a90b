#pragma once

#include <QDateTime>
#include <functional>
#include <memory>

#include "platform/Automation.h"
#include "platform/FileSystemService.h"

namespace repair {

// The platform services a run reaches. The file-system service is made on
// first use; the class registry creates the database engine by name.
struct RunServices {
    std::function<std::unique_ptr<platform::FileSystemService>()> makeFileSystem;
    std::shared_ptr<const platform::ClassRegistry> classes;
    // The local time that names a kept original; the system clock if unset.
    std::function<QDateTime()> now;
};

}  // namespace repair
