#pragma once

#include "platform/Failure.h"

// The run-time failure numbers of the original platform and their
// descriptions: the one table every layer raises from.
namespace platform::failures {

enum Number : std::int32_t {
    InvalidProcedureCall = 5,
    Overflow = 6,
    OutOfMemory = 7,
    TypeMismatch = 13,
    InternalError = 51,
    BadFileName = 52,
    FileNotFound = 53,
    FileAlreadyExists = 58,
    DiskFull = 61,
    PermissionDenied = 70,
    PathFileAccessError = 75,
    PathNotFound = 76,
    CannotCreateObject = 429,
    MethodNotSupported = 438,
    ArgumentNotOptional = 449,
    WrongArgumentCount = 450,
    DuplicateKey = 457,
};

// The platform's standard description of a failure number.
QString describe(std::int32_t number);

// A failure with the standard description of its number.
Failure make(std::int32_t number);

// A failure with the standard description followed by a detail, for example
// the path or the system's own reason: "File not found: C:\...".
Failure make(std::int32_t number, const QString& detail);

// Maps an errno value to the platform number that stands for it.
std::int32_t fromErrno(int error);

// A failure for a system call's errno on a path: the number that stands for
// it, the path, and the system's own reason, e.g.
// "Disk full: C:\DATA\x.tnjra (No space left on device)".
Failure systemFailure(int error, const QString& path);

}  // namespace platform::failures
