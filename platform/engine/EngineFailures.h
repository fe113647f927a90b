#pragma once

#include <QString>
#include <cstdint>

#include "platform/Failure.h"

// The database engine's own failures, numbered as the original engine numbers
// them; disk-full and permission failures use the platform's numbers.
namespace platform::engine {

enum FailureNumber : std::int32_t {
    // The engine's own fault rather than the file's: its encryption library
    // lacks an algorithm or refused a call.
    EngineFault = 3000,
    InvalidArgument = 3001,
    SourceNotFound = 3024,
    NotValidPassword = 3031,
    DatabaseCorrupt = 3049,
    DestinationExists = 3204,
    DatabaseInUse = 3356,
};

QString describe(FailureNumber number);

// A failure with the engine's description, followed by a detail if given.
Failure fail(FailureNumber number, const QString& detail = QString());

}  // namespace platform::engine
