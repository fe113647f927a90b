#include "platform/Failures.h"

#include <cerrno>
#include <cstring>

namespace platform::failures {

QString describe(std::int32_t number) {
    switch (number) {
        case InvalidProcedureCall:
            return QStringLiteral("Invalid procedure call or argument");
        case Overflow:
            return QStringLiteral("Overflow");
        case OutOfMemory:
            return QStringLiteral("Out of memory");
        case TypeMismatch:
            return QStringLiteral("Type mismatch");
        case InternalError:
            return QStringLiteral("Internal error");
        case BadFileName:
            return QStringLiteral("Bad file name or number");
        case FileNotFound:
            return QStringLiteral("File not found");
        case FileAlreadyExists:
            return QStringLiteral("File already exists");
        case DiskFull:
            return QStringLiteral("Disk full");
        case PermissionDenied:
            return QStringLiteral("Permission denied");
        case PathFileAccessError:
            return QStringLiteral("Path/File access error");
        case PathNotFound:
            return QStringLiteral("Path not found");
        case CannotCreateObject:
            return QStringLiteral("ActiveX component can't create object");
        case MethodNotSupported:
            return QStringLiteral("Object doesn't support this property or method");
        case ArgumentNotOptional:
            return QStringLiteral("Argument not optional");
        case WrongArgumentCount:
            return QStringLiteral("Wrong number of arguments or invalid property assignment");
        case DuplicateKey:
            return QStringLiteral(
                "This key is already associated with an element of this collection");
        default:
            return QStringLiteral("Application-defined or object-defined error");
    }
}

Failure make(std::int32_t number) {
    return Failure(number, describe(number));
}

Failure make(std::int32_t number, const QString& detail) {
    return Failure(number, describe(number) + QStringLiteral(": ") + detail);
}

std::int32_t fromErrno(int error) {
    switch (error) {
        case ENOENT:
            return FileNotFound;
        case ENOTDIR:
            return PathNotFound;
        case EEXIST:
            return FileAlreadyExists;
        case ENOSPC:
        case EDQUOT:
            return DiskFull;
        case EACCES:
        case EPERM:
        case EROFS:
        case EWOULDBLOCK:
        case EBUSY:
        case ETXTBSY:
            return PermissionDenied;
        default:
            return PathFileAccessError;
    }
}

Failure systemFailure(int error, const QString& path) {
    return make(fromErrno(error), path + QStringLiteral(" (") +
                                      QString::fromLocal8Bit(std::strerror(error)) +
                                      QLatin1Char(')'));
}

}  // namespace platform::failures
