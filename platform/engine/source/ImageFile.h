#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

#include "platform/host/UniqueFd.h"

namespace platform::engine {

// A file of its own in `hostFolder` that no name leads to: removed by the
// system when the last descriptor closes, crash or not.
UniqueFd privateFile(const QString& hostFolder, const QString& nativeFolder);

// Reads `size` bytes at `offset`; past the end of the file they are zeros.
// Failures name `nativePath`.
void readAt(int fd, unsigned char* buffer, std::size_t size, std::int64_t offset,
            const QString& nativePath);
void writeAt(int fd, const unsigned char* buffer, std::size_t size, std::int64_t offset,
             const QString& nativePath);

}  // namespace platform::engine
