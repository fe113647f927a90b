#include "platform/engine/EngineFailures.h"

namespace platform::engine {

QString describe(FailureNumber number) {
    switch (number) {
        case EngineFault:
            return QStringLiteral("The database engine's encryption library failed");
        case InvalidArgument:
            return QStringLiteral("Invalid argument");
        case SourceNotFound:
            return QStringLiteral("Could not find the database file");
        case NotValidPassword:
            return QStringLiteral("Not a valid password");
        case DatabaseCorrupt:
            return QStringLiteral("The database is corrupt beyond repair or is not a database");
        case DestinationExists:
            return QStringLiteral("The destination database already exists");
        case DatabaseInUse:
            return QStringLiteral("The database is in use by another user; it could not be locked");
    }
    return QStringLiteral("Database engine failure");
}

Failure fail(FailureNumber number, const QString& detail) {
    QString description = describe(number);
    if (!detail.isEmpty()) description += QStringLiteral(": ") + detail;
    return Failure(number, description);
}

}  // namespace platform::engine
