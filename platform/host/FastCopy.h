#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// A test hook: writes of copied data succeed for `afterBytes` bytes in all,
// then fail with `error` (e.g. ENOSPC for a full disk).
struct WriteFault {
    std::int64_t afterBytes = 0;
    int error = 0;
};

// The ways to move the data, fastest first; a copy starts with the given one
// and falls back to the next when the file system cannot do it.
enum class CopyMethod { Clone, CopyRange, ReadWrite };

// Copies all of `sourceFd` into the empty `destinationFd`. Returns 0 or the
// errno of the failure.
int copyContents(int sourceFd, int destinationFd, const std::optional<WriteFault>& fault,
                 CopyMethod first = CopyMethod::Clone);

}  // namespace platform
